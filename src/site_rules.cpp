#include "site_rules.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http2retlw/response.h"

namespace http2retlw {
namespace {

struct TypeByExtension {
  std::string_view extension;  // lower case
  std::string_view type;
};

constexpr std::array<TypeByExtension, 16> kTypes{{
    {"html", "text/html"},
    {"htm", "text/html"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"txt", "text/plain"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"gif", "image/gif"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"ico", "image/x-icon"},
    {"xml", "application/xml"},
    {"pdf", "application/pdf"},
    {"woff2", "font/woff2"},
    {"wasm", "application/wasm"},
}};

constexpr std::string_view kOctetStream = "application/octet-stream";

// Only ASCII letters fold: a name's other bytes are not characters of any
// one encoding, and no extension in the table holds them.
char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view lower) {
  return a.size() == lower.size() &&
         std::equal(a.begin(), a.end(), lower.begin(),
                    [](char x, char y) { return ascii_lower(x) == y; });
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\n';
}

std::string_view strip(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// gpasm 1.4 refuses these four as a quoted character.
bool gpasm_rejects(std::uint8_t tag) {
  return tag == 0x0A || tag == 0x0D || tag == '"' || tag == '\\';
}

// The server reads the byte after "GET /". A browser sends a space, a
// control byte, a byte past 0x7E and these others percent-encoded, or never
// as a path's first character.
bool never_sent_first(std::uint8_t tag) {
  constexpr std::string_view kEncoded = " \"#%<>?`{}\x7F";
  return tag < 0x20 || tag > 0x7E ||
         kEncoded.find(static_cast<char>(tag)) != std::string_view::npos;
}

// What make's and CMake's rules can hold in a file name unquoted.
bool carried_by_build_tools(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '+' ||
         c == '~' || c == '-';
}

std::string shown_tag(std::uint8_t tag) {
  if (tag > 0x20 && tag < 0x7F) return std::string{'\'', char(tag), '\''};
  constexpr std::string_view kHex = "0123456789ABCDEF";
  return std::string{'0', 'x', kHex[tag >> 4], kHex[tag & 0x0F]};
}

bool is_gzip_name(std::string_view name) {
  return name.size() > 3 && name.ends_with(".gz");
}

// Each filler is the value 0 as the server writes it: right-aligned in the
// value's width, padded with spaces.
constexpr std::array<LiveValue, 15> kLiveValues{{
    {"uptime", 0, "         0"},
    {"requests", 1, "         0"},
    {"frames_in", 2, "         0"},
    {"frames_dropped", 3, "         0"},
    {"connections", 4, "0"},
    {"portb", 5, "00000000"},
    {"ip", 6, "        0.0.0.0"},
    {"value0", 7, "    0"},
    {"value1", 8, "    0"},
    {"value2", 9, "    0"},
    {"value3", 10, "    0"},
    {"value4", 11, "    0"},
    {"value5", 12, "    0"},
    {"value6", 13, "    0"},
    {"value7", 14, "    0"},
}};

constexpr std::array<std::string_view, 8> kScannedExtensions{
    "html", "htm", "css", "js", "json", "txt", "xml", "svg"};

constexpr std::string_view kPlaceholderOpen = "<!--#";
constexpr std::string_view kPlaceholderClose = "-->";

// What a fault shows of a placeholder's text: its first line, at most 40
// bytes, with bytes a terminal would act on shown as '?'.
std::string shown_placeholder_text(std::string_view text) {
  text = text.substr(0, text.find_first_of("\r\n"));
  std::string shown;
  for (const char c : text.substr(0, 40)) {
    const auto byte = static_cast<std::uint8_t>(c);
    shown.push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
  }
  if (text.size() > 40) shown.append("...");
  return shown;
}

std::string hex_retlw_line(std::uint64_t value) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  return std::string{"\tretlw\t0x"} + kHex[(value >> 4) & 0x0F] +
         kHex[value & 0x0F] + "\n";
}

std::uint64_t decimal_digits(std::uint64_t value) {
  std::uint64_t digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

}  // namespace

std::string_view content_type(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return kOctetStream;
  const std::string_view extension = name.substr(dot + 1);
  for (const TypeByExtension& known : kTypes) {
    if (equal_ignoring_case(extension, known.extension)) return known.type;
  }
  return kOctetStream;
}

bool is_passed_over(std::string_view name) {
  return name.starts_with('.') || name.ends_with('~');
}

std::string entry_fault(std::string_view name, bool is_directory,
                        std::string_view site) {
  const std::string subject = "  " + std::string(name) + ": ";
  const auto tag = static_cast<std::uint8_t>(name.front());
  if (is_directory) {
    return subject +
           "a subfolder; a page is found by its tag alone, which holds no "
           "path, so every file stands directly in " +
           std::string(site);
  }
  if (gpasm_rejects(tag)) {
    return subject + "its tag " + shown_tag(tag) +
           " does not assemble (gpasm rejects 0x0A, 0x0D, '\"' and '\\' as a "
           "quoted character)";
  }
  if (never_sent_first(tag)) {
    return subject + "its tag " + shown_tag(tag) +
           " is never the first character of a path a browser sends";
  }
  if (!std::all_of(name.begin(), name.end(), carried_by_build_tools)) {
    return subject +
           "make and CMake cannot carry this name; use letters, digits and "
           ". _ - + ~";
  }
  if (name == "pages") return subject + "its table would be pages.inc";
  return {};
}

HeaderLines parse_header_lines(std::string_view text, std::string_view shown) {
  std::string lf_only;
  lf_only.reserve(text.size());
  for (const char c : text) {
    if (c != '\r') lf_only.push_back(c);
  }
  HeaderLines result;
  std::string_view rest = lf_only;
  for (int number = 1; !rest.empty(); ++number) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{}
                                         : rest.substr(end + 1);
    const std::string_view stripped = strip(line);
    if (stripped.empty() || stripped.front() == '#') continue;
    const std::string where =
        "  " + std::string(shown) + ":" + std::to_string(number) + ": ";
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
      result.faults.push_back(where + "not a header line (NAME: VALUE)");
      continue;
    }
    std::string field(strip(line.substr(0, colon)));
    std::transform(field.begin(), field.end(), field.begin(), ascii_lower);
    if (field == "content-type" || field == "content-length" ||
        field == "content-encoding") {
      std::string fault = where;
      fault.append("sets ").append(field).append(
          ", which the site step writes itself");
      result.faults.push_back(std::move(fault));
      continue;
    }
    result.lines.append(line).append("\r\n");
  }
  return result;
}

std::string response_head(std::string_view name,
                          std::string_view header_lines) {
  const bool gzip = is_gzip_name(name);
  const std::string_view served = gzip ? name.substr(0, name.size() - 3) : name;
  std::string head = name.starts_with("404.") ? "HTTP/1.0 404 Not Found\r\n"
                                              : "HTTP/1.0 200 OK\r\n";
  head.append("Content-Type: ").append(content_type(served)).append("\r\n");
  if (gzip) head.append("Content-Encoding: gzip\r\n");
  head.append("Content-Length:\r\n");
  head.append(header_lines);
  head.append("\r\n");
  return head;
}

std::uint64_t completed_length(std::uint64_t head_size,
                               std::uint64_t body_size) {
  return head_size + body_size + 1 + decimal_digits(body_size);
}

SitePlan plan_site(std::vector<SiteEntry> entries, std::string_view site,
                   const HeaderLines& headers) {
  std::sort(
      entries.begin(), entries.end(),
      [](const SiteEntry& a, const SiteEntry& b) { return a.name < b.name; });
  SitePlan plan;
  std::vector<const SiteEntry*> accepted;
  for (const SiteEntry& entry : entries) {
    if (entry.name.empty() || is_passed_over(entry.name)) continue;
    std::string fault = entry_fault(entry.name, entry.is_directory, site);
    if (fault.empty()) {
      accepted.push_back(&entry);
      plan.accepted.push_back(entry.name);
    } else {
      plan.faults.push_back(std::move(fault));
    }
  }

  // NAME.gz stands for NAME: one tag, one file.
  std::vector<const SiteEntry*> served;
  for (const SiteEntry* entry : accepted) {
    const std::string gzip = entry->name + ".gz";
    if (std::any_of(
            accepted.begin(), accepted.end(),
            [&](const SiteEntry* other) { return other->name == gzip; })) {
      plan.notes.push_back("  " + entry->name + " left out: " + gzip +
                           " is served in its place");
      continue;
    }
    served.push_back(entry);
    plan.served.push_back(entry->name);
  }

  std::string tags;
  for (const std::string& name : plan.served) {
    if (tags.find(name.front()) != std::string::npos) continue;
    tags.push_back(name.front());
    std::vector<std::string> sharing;
    for (const std::string& other : plan.served) {
      if (other.front() == name.front()) sharing.push_back(other);
    }
    if (sharing.size() < 2) continue;
    std::string shown;
    for (const std::string& other : sharing) {
      shown.append(shown.empty() ? "" : ", ").append(other);
    }
    plan.faults.push_back("  " + shown + ": one tag, '" + name.front() +
                          "', for " + std::to_string(sharing.size()) +
                          " files; the server would serve one of them for all");
    plan.refused.insert(plan.refused.end(), sharing.begin(), sharing.end());
  }
  if (tags.find('i') == std::string::npos) {
    plan.faults.push_back(
        "  no file's name starts with i: the server answers GET / with the "
        "page tagged i");
  }
  if (tags.find('4') == std::string::npos) {
    plan.notes.push_back(
        "  no file's name starts with 4: a path no page is tagged with gets "
        "the server's built-in 404");
  }
  plan.faults.insert(plan.faults.end(), headers.faults.begin(),
                     headers.faults.end());

  for (const SiteEntry* entry : served) {
    const std::uint64_t length = completed_length(
        response_head(entry->name, headers.lines).size(), entry->size);
    if (length <= kMaxTableResponseLength) continue;
    plan.faults.push_back("  " + entry->name +
                          ": completed response too long for table (" +
                          std::to_string(length) + " bytes, at most 65535)");
    plan.refused.push_back(entry->name);
  }
  return plan;
}

std::span<const LiveValue> live_values() { return kLiveValues; }

bool holds_placeholders(std::string_view name) {
  if (is_gzip_name(name)) return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view extension = name.substr(dot + 1);
  return std::any_of(kScannedExtensions.begin(), kScannedExtensions.end(),
                     [&](std::string_view known) {
                       return equal_ignoring_case(extension, known);
                     });
}

FilledBody fill_placeholders(std::string_view text, std::string_view shown) {
  FilledBody result;
  result.body.reserve(text.size());
  std::size_t line = 1;
  std::size_t from = 0;
  const auto count_lines = [&line](std::string_view part) {
    line +=
        static_cast<std::size_t>(std::count(part.begin(), part.end(), '\n'));
  };
  while (from < text.size()) {
    const std::size_t open = text.find(kPlaceholderOpen, from);
    const std::string_view before = text.substr(from, open - from);
    result.body.append(before);
    count_lines(before);
    if (open == std::string_view::npos) break;
    const std::string where =
        "  " + std::string(shown) + ":" + std::to_string(line) + ": ";
    const std::size_t name_at = open + kPlaceholderOpen.size();
    const std::size_t close = text.find(kPlaceholderClose, name_at);
    if (close == std::string_view::npos) {
      // Nothing after it can be told apart from the placeholder's text.
      result.faults.push_back(where + "<!--# is not closed by -->");
      result.body.append(text.substr(open));
      break;
    }
    const std::string_view name = text.substr(name_at, close - name_at);
    const std::size_t end = close + kPlaceholderClose.size();
    const auto value =
        std::find_if(kLiveValues.begin(), kLiveValues.end(),
                     [&](const LiveValue& v) { return v.name == name; });
    if (value == kLiveValues.end()) {
      result.faults.push_back(where + "<!--#" + shown_placeholder_text(name) +
                              "--> names none of the server's values");
      result.body.append(text.substr(open, end - open));
    } else {
      result.placeholders.push_back({result.body.size(), value->number});
      result.body.append(value->filler);
    }
    count_lines(text.substr(open, end - open));
    from = end;
  }
  return result;
}

std::string value_list_text(std::span<const Placeholder> placeholders,
                            std::size_t head) {
  std::string text =
      "; the value list: how many, then each one's offset in the response "
      "(high\n; byte, low byte) and the number of its value\n";
  text.append(hex_retlw_line(placeholders.size()));
  for (const Placeholder& placeholder : placeholders) {
    const std::size_t offset = placeholder.offset + head;
    text.append(hex_retlw_line(offset >> 8));
    text.append(hex_retlw_line(offset & 0xFF));
    text.append(hex_retlw_line(placeholder.number));
  }
  return text;
}

std::uint64_t value_list_program_memory(std::size_t count) {
  return 2 * (1 + 3 * static_cast<std::uint64_t>(count));
}

std::uint64_t table_program_memory(std::uint64_t length) {
  return 2 * (length + 5);
}

std::string pages_inc_text(std::span<const std::string> served,
                           std::span<const std::string> live) {
  std::string directory;
  std::string tables;
  for (std::size_t i = 0; i < served.size(); ++i) {
    const std::string label = "page_" + std::to_string(i + 1);
    const bool has_values =
        std::find(live.begin(), live.end(), served[i]) != live.end();
    directory.append(has_values ? "\tlive_page_table\t" : "\tpage_table\t")
        .append(label)
        .append("\n");
    tables.append(label).append("\t; ").append(served[i]).append("\n");
    tables.append("\t#include \"").append(served[i]).append(".inc\"\n");
  }
  return "; The page set of http_server_18.asm, written by the http2retlw "
         "site step:\n"
         "; the directory, then each table under its label. Assemble with\n"
         "; -I set to this folder.\n\n" +
         directory + "\tend_of_pages\n\n" + tables;
}

std::string summary_line(std::size_t pages, std::uint64_t bytes) {
  const std::uint64_t tenths = (bytes * 1000 + 32768) / 65536;
  return "pages.inc: " + std::to_string(pages) + " pages, " +
         std::to_string(bytes) + " bytes of program memory, " +
         std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         "% of the PIC18F4620's 64 KiB\n";
}

std::string depfile_text(std::string_view target,
                         std::span<const std::string> prerequisites) {
  const auto escaped = [](std::string_view name) {
    std::string text;
    for (const char c : name) {
      if (c == ' ' || c == '#') text.push_back('\\');
      if (c == '$') text.push_back('$');
      text.push_back(c);
    }
    return text;
  };
  std::string text = escaped(target) + ":";
  for (const std::string& name : prerequisites) {
    text.append(" \\\n  ").append(escaped(name));
  }
  text.append("\n");
  for (const std::string& name : prerequisites) {
    text.append("\n").append(escaped(name)).append(":\n");
  }
  return text;
}

}  // namespace http2retlw
