// The rules of the site step: which files of a folder a server built from
// http_server_18.asm can serve, the stored response each becomes, and the
// pages.inc that lists their tables. Pure functions over names and bytes:
// no files, no printing; http2retlw-site's driver words and does the rest.
//
// A site is a folder of ordinary files. Each file NAME directly in it is
// served under its tag, the first byte of NAME, as the response
//
//   HTTP/1.0 200 OK<CR><LF>            404 Not Found for a name "404.*"
//   Content-Type: TYPE<CR><LF>         by NAME's extension, any case
//   Content-Encoding: gzip<CR><LF>     only for NAME.gz, which stands for NAME
//   Content-Length:<CR><LF>            filled in by fill_content_length()
//   LINE<CR><LF>                       each line of the headers file
//   <CR><LF>
//   the file's bytes
//
// and its table is NAME.inc. In a text file each placeholder <!--#NAME-->
// is replaced by its value's filler first, and a value list follows the
// table in NAME.inc, so that the server can write the values in as it
// sends. A fault line reads "  SUBJECT: what is wrong",
// two spaces first, as the refusal lists it under its heading.
#ifndef HTTP2RETLW_SITE_RULES_H_
#define HTTP2RETLW_SITE_RULES_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace http2retlw {

/// The Content-Type of `name` by its extension, the text after its last
/// dot, compared without regard to case: "NOTES.TXT" is text/plain. A name
/// with no extension, or one not in the table, is application/octet-stream.
std::string_view content_type(std::string_view name);

/// True for what the site step passes over without a word: hidden files
/// (a leading dot) and editors' backups (a trailing ~).
bool is_passed_over(std::string_view name);

/// What is wrong with the entry `name` of the folder shown as `site`, as a
/// fault line; empty when it can be served. Checked in this order: a
/// subfolder, a tag gpasm cannot assemble as a quoted character, a tag no
/// browser sends first in a path, a byte make or CMake cannot carry in a
/// name, the name "pages". REQUIRES: `name` is not empty.
std::string entry_fault(std::string_view name, bool is_directory,
                        std::string_view site);

/// The header lines of a headers file: each kept line with its CR removed
/// and CR LF added, and a fault line for each line refused. `shown` names
/// the file in faults as "SHOWN:LINE". Empty lines and lines starting with
/// '#' (after blanks) are skipped; a line needs a field name before a ':',
/// and may not set Content-Type, Content-Length or Content-Encoding.
struct HeaderLines {
  std::string lines;
  std::vector<std::string> faults;
};
HeaderLines parse_header_lines(std::string_view text, std::string_view shown);

/// The stored response ahead of the file's bytes for the file `name`, with
/// `header_lines` (as parse_header_lines() gives them) after the blank
/// Content-Length entry.
std::string response_head(std::string_view name, std::string_view header_lines);

/// The length of the response once fill_content_length() has completed it:
/// the head's blank entry gains a space and the body length's digits.
std::uint64_t completed_length(std::uint64_t head_size,
                               std::uint64_t body_size);

/// One entry of the site folder as the site step sees it.
struct SiteEntry {
  std::string name;
  bool is_directory;
  /// Bytes in the file; 0 for a folder.
  std::uint64_t size;
};

/// What the site step makes of a folder.
struct SitePlan {
  /// The names served, sorted byte by byte: a table each, in this order.
  std::vector<std::string> served;
  /// Every name the name rules accept, sorted: the served and those left
  /// out for their NAME.gz.
  std::vector<std::string> accepted;
  /// Why the site cannot be served, one fault line each; empty when it can.
  std::vector<std::string> faults;
  /// What is worth saying about a site that is served, one line each.
  std::vector<std::string> notes;
  /// Names whose tables must go when the site is refused: they would
  /// otherwise be served under a tag another file holds, or be too long.
  std::vector<std::string> refused;
};

/// Applies every rule to the folder shown as `site` with `entries` (in any
/// order) and the headers file's `headers`; a file whose completed response
/// exceeds kMaxTableResponseLength refuses the site.
SitePlan plan_site(std::vector<SiteEntry> entries, std::string_view site,
                   const HeaderLines& headers);

/// A value of the server a page may show: the placeholder <!--#NAME--> in a
/// text file stands for it. The server writes it in exactly `filler`'s
/// width, right-aligned and padded with spaces; `filler` is how 0 looks,
/// and stands in the placeholder's place in the stored response, so the
/// length and the stored sum are known when the site is built.
struct LiveValue {
  std::string_view name;
  /// Its number in a page's value list, which the server knows it by.
  std::uint8_t number;
  std::string_view filler;
};

/// Every value, in the order of their numbers: uptime, requests, frames_in,
/// frames_dropped, connections, portb, ip, value0 to value7 (0 to 14).
std::span<const LiveValue> live_values();

/// The most placeholders one page may hold: the server counts them in a
/// byte.
inline constexpr std::size_t kMaxPlaceholders = 255;

/// True for a file whose bytes are scanned for placeholders: html, htm,
/// css, js, json, txt, xml and svg, by the extension in any case. NAME.gz
/// and every other type are served as they are.
bool holds_placeholders(std::string_view name);

/// A placeholder found: where its filler starts, and its value's number.
struct Placeholder {
  std::size_t offset;
  std::uint8_t number;
};

/// A file's bytes with each placeholder replaced by its value's filler.
struct FilledBody {
  std::string body;
  /// In order, each offset counted in `body`.
  std::vector<Placeholder> placeholders;
  /// A fault line for each "<!--#" that is no placeholder: one that names
  /// no value, or one that no "-->" closes (the scan then stops). `shown`
  /// names the file in them as "SHOWN:LINE".
  std::vector<std::string> faults;
};
FilledBody fill_placeholders(std::string_view text, std::string_view shown);

/// The value list that follows a page's table in its NAME.inc: one retlw
/// line with the count, then for each placeholder three: its offset in the
/// completed response, high byte then low byte, and its value's number.
/// `head` is the length of the completed response ahead of the body.
/// REQUIRES: at most kMaxPlaceholders placeholders, each offset + `head`
/// below 65,536.
std::string value_list_text(std::span<const Placeholder> placeholders,
                            std::size_t head);

/// The bytes of program memory the value list of `count` placeholders
/// takes: 2 bytes for each of its retlw lines.
std::uint64_t value_list_program_memory(std::size_t count);

/// The bytes of program memory a table of a `length`-byte response takes:
/// one 2-byte retlw for the tag, each length and sum byte and each byte.
std::uint64_t table_program_memory(std::uint64_t length);

/// The text of pages.inc for the tables of `served`, in order. A name also
/// in `live` gets a live_page_table line, which tells the server that a
/// value list follows its table; the others a page_table line.
std::string pages_inc_text(std::span<const std::string> served,
                           std::span<const std::string> live);

/// The line that closes a build: pages, bytes and the share of the
/// PIC18F4620's 64 KiB of program memory, to a tenth, rounded half up.
std::string summary_line(std::size_t pages, std::uint64_t bytes);

/// A make-format depfile: `target` depends on each of `prerequisites`, and
/// each of them is a target of its own with no recipe, so that make does not
/// stop when one is removed. Spaces, '#' and '$' in names are escaped; a
/// backslash is taken as a Windows path's separator and stays.
std::string depfile_text(std::string_view target,
                         std::span<const std::string> prerequisites);

}  // namespace http2retlw

#endif  // HTTP2RETLW_SITE_RULES_H_
