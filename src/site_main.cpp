// http2retlw-site: turns a folder of web files into the retlw tables and
// the pages.inc that http_server_18.asm assembles.
//
// The driver: checks the command line, has the rules (site_rules.h) judge
// the folder, converts each file's stored response in memory with the
// converter's own fill-in, checksum and table writer, and has site_files.h
// write the results. It is the only place that prints a message or picks
// the exit status.
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host_platform.h"
#include "http2retlw/content_length_fill.h"
#include "http2retlw/response.h"
#include "http2retlw/retlw_table.h"
#include "http2retlw/table_checksum.h"
#include "site_files.h"
#include "site_rules.h"

#ifndef HTTP2RETLW_VERSION
#define HTTP2RETLW_VERSION "unknown"
#endif

namespace http2retlw {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

enum class Failure {
  kUsage,
  kNoFolder,
  kOpen,
  kWrite,
  kRefused,
  kNotConverted,
  kOutOfMemory,
  kInternal,
};

// Every text the program can print on standard error. `detail` is the file
// or folder for kNoFolder, kOpen, kWrite and kNotConverted, and for
// kRefused the site's folder followed by its fault lines.
std::string failure_message(Failure failure, const std::string& program,
                            const std::string& detail) {
  switch (failure) {
    case Failure::kUsage:
      return "Usage: " + program +
             " [--headers FILE] [--depfile FILE] SITE_DIR TABLE_DIR\n";
    case Failure::kNoFolder:
      return program + ": couldn't open folder " + detail + "\n";
    case Failure::kOpen:
      return program + ": couldn't open file " + detail + "\n";
    case Failure::kWrite:
      return program + ": couldn't write " + detail + "\n";
    case Failure::kRefused:
      return program + ": " + detail;
    case Failure::kNotConverted:
      return program + ": " + detail +
             ": its stored response did not convert; no table written, "
             "pages.inc removed\n";
    case Failure::kOutOfMemory:
      return program + ": out of memory\n";
    case Failure::kInternal:
      break;
  }
  return program + ": internal error\n";
}

constexpr std::string_view kHelp =
    "Turns every file directly in SITE_DIR into a stored HTTP response and "
    "its\n"
    "retlw table, TABLE_DIR/NAME.inc, and writes TABLE_DIR/pages.inc, the "
    "page\n"
    "set of http_server_18.asm. A site that would misbehave on the device is\n"
    "refused with one line per fault, and leaves no pages.inc.\n"
    "\n"
    "  --headers FILE  add FILE's header lines to every response\n"
    "  --depfile FILE  write a make depfile: pages.inc depends on SITE_DIR,\n"
    "                  each file in it and the headers file\n"
    "  --help          show this and exit\n"
    "  --version       show the version and exit\n";

int fail(Failure failure, const std::string& program,
         const std::string& detail = {}) noexcept {
  try {
    static_cast<void>(
        write_to_stderr(failure_message(failure, program, detail)));
  } catch (...) {
    // Not even the message fits in memory; the status still tells.
  }
  return kExitFailure;
}

bool write_to_stdout(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

struct Options {
  std::optional<std::string> headers;
  std::optional<std::string> depfile;
  std::string site;
  std::string tables;
  bool help = false;
  bool version = false;
};

// The options may stand anywhere; "--" ends them, so a folder may be named
// "--help".
std::optional<Options> parse_options(const std::vector<std::string>& words) {
  Options options;
  std::vector<std::string> operands;
  bool options_end = false;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_end || word.empty() || word[0] != '-' || word == "-") {
      operands.push_back(word);
    } else if (word == "--") {
      options_end = true;
    } else if (word == "--help") {
      options.help = true;
    } else if (word == "--version") {
      options.version = true;
    } else if ((word == "--headers" || word == "--depfile") &&
               i + 1 < words.size()) {
      std::optional<std::string>& value =
          word == "--headers" ? options.headers : options.depfile;
      if (value) return std::nullopt;
      value = words[++i];
    } else {
      return std::nullopt;
    }
  }
  if (options.help || options.version) return options;
  if (operands.size() != 2) return std::nullopt;
  options.site = operands[0];
  options.tables = operands[1];
  return options;
}

// The folder as messages name it: as given, without a trailing slash.
std::string shown_folder(std::string folder) {
  while (folder.size() > 1 && folder.ends_with('/')) folder.pop_back();
  return folder;
}

// Removes pages.inc and the tables of `names`; nothing can then assemble a
// site that is no longer what the folder holds.
bool remove_tables(const std::string& tables,
                   const std::vector<std::string>& names) {
  bool removed = remove_file(path_in(tables, "pages.inc"));
  for (const std::string& name : names) {
    removed = remove_file(path_in(tables, name + ".inc")) && removed;
  }
  return removed;
}

std::string note_text(const std::vector<std::string>& notes) {
  if (notes.empty()) return {};
  std::string text = "Note:\n";
  for (const std::string& note : notes) text.append(note).append("\n");
  return text + "\n";
}

int run_site(const std::string& program, const Options& options) {
  const std::string site = shown_folder(options.site);
  const std::string pages_inc = path_in(options.tables, "pages.inc");

  HeaderLines headers;
  std::vector<std::string> sources;
  if (options.headers) {
    const std::optional<std::string> text = read_file_bytes(*options.headers);
    if (!text) return fail(Failure::kOpen, program, *options.headers);
    headers = parse_header_lines(*text, *options.headers);
    sources.push_back(*options.headers);
  }
  std::optional<std::vector<SiteEntry>> entries = list_site(site);
  if (!entries) return fail(Failure::kNoFolder, program, site);
  const SitePlan plan = plan_site(std::move(*entries), site, headers);

  // The tables' folder first: the depfile may be kept in it.
  if (!make_folder(options.tables)) {
    return fail(Failure::kWrite, program, options.tables);
  }
  if (options.depfile) {
    std::vector<std::string> prerequisites{site};
    for (const std::string& name : plan.accepted) {
      prerequisites.push_back(path_in(site, name));
    }
    prerequisites.insert(prerequisites.end(), sources.begin(), sources.end());
    if (write_if_changed(*options.depfile,
                         depfile_text(pages_inc, prerequisites),
                         {}) == WriteStatus::kFailed) {
      return fail(Failure::kWrite, program, *options.depfile);
    }
  }

  if (!plan.faults.empty()) {
    std::string detail = site + " cannot be served:\n";
    for (const std::string& fault : plan.faults) detail.append(fault + "\n");
    // A table or pages.inc that could not be removed is not what stops the
    // site: the refusal says that.
    static_cast<void>(remove_tables(options.tables, plan.refused));
    return fail(Failure::kRefused, program, detail);
  }

  // Every file is read and its placeholders judged before any table is
  // written: a fault in one file refuses the whole site, as a name does.
  struct Page {
    std::string name;
    std::string file;
    std::string head;
    FilledBody filled;
  };
  std::vector<Page> pages;
  std::vector<std::string> faults;
  std::vector<std::string> refused;
  std::vector<std::string> live;
  for (const std::string& name : plan.served) {
    Page page{
        name, path_in(site, name), response_head(name, headers.lines), {}};
    std::optional<std::string> body = read_file_bytes(page.file);
    if (!body) {
      static_cast<void>(remove_tables(options.tables, {name}));
      return fail(Failure::kOpen, program, page.file);
    }
    if (holds_placeholders(name)) {
      page.filled = fill_placeholders(*body, page.file);
    } else {
      page.filled.body = std::move(*body);
    }
    const std::size_t count = page.filled.placeholders.size();
    const std::uint64_t length =
        completed_length(page.head.size(), page.filled.body.size());
    if (count > kMaxPlaceholders) {
      page.filled.faults.push_back("  " + name + ": " + std::to_string(count) +
                                   " placeholders, at most 255");
    }
    // A filler may be longer than its placeholder (<!--#ip--> is 10 bytes,
    // its value 15), so the length is judged again once they are filled.
    if (length > kMaxTableResponseLength) {
      page.filled.faults.push_back(
          "  " + name + ": completed response too long for table (" +
          std::to_string(length) + " bytes, at most 65535)");
    }
    if (!page.filled.faults.empty()) {
      faults.insert(faults.end(), page.filled.faults.begin(),
                    page.filled.faults.end());
      refused.push_back(name);
    }
    if (count > 0) live.push_back(name);
    pages.push_back(std::move(page));
  }
  if (!faults.empty()) {
    std::string detail = site + " cannot be served:\n";
    for (const std::string& fault : faults) detail.append(fault + "\n");
    static_cast<void>(remove_tables(options.tables, refused));
    return fail(Failure::kRefused, program, detail);
  }

  bool any_written = false;
  std::uint64_t program_memory = 0;
  for (const Page& page : pages) {
    const std::string table_path = path_in(options.tables, page.name + ".inc");
    ResponseBuffer response(page.head.begin(), page.head.end());
    response.insert(response.end(), page.filled.body.begin(),
                    page.filled.body.end());
    const FillResult filled = fill_content_length(response);
    if (filled.status != FillStatus::kFilled) {
      static_cast<void>(remove_tables(options.tables, {page.name}));
      return fail(Failure::kNotConverted, program, page.file);
    }
    std::string table;
    table.reserve(retlw_table_size(response.size()));
    static_cast<void>(write_retlw_table(
        static_cast<std::uint8_t>(page.name.front()), response,
        table_checksum(response), [&table](std::string_view piece) {
          table.append(piece);
          return true;
        }));
    program_memory += table_program_memory(response.size());
    if (!page.filled.placeholders.empty()) {
      table.append(value_list_text(page.filled.placeholders,
                                   response.size() - page.filled.body.size()));
      program_memory +=
          value_list_program_memory(page.filled.placeholders.size());
    }
    std::vector<std::string> table_sources{page.file};
    table_sources.insert(table_sources.end(), sources.begin(), sources.end());
    switch (write_if_changed(table_path, table, table_sources)) {
      case WriteStatus::kFailed:
        static_cast<void>(remove_tables(options.tables, {page.name}));
        return fail(Failure::kWrite, program, table_path);
      case WriteStatus::kWritten:
        any_written = true;
        break;
      case WriteStatus::kKept:
        break;
    }
  }

  // pages.inc follows its tables: made again when one of them was.
  const std::string pages_text = pages_inc_text(plan.served, live);
  if ((any_written ? replace_contents(pages_inc, pages_text)
                   : write_if_changed(pages_inc, pages_text, {})) ==
      WriteStatus::kFailed) {
    return fail(Failure::kWrite, program, pages_inc);
  }
  if (!write_to_stdout(note_text(plan.notes) +
                       summary_line(plan.served.size(), program_memory)) ||
      std::fflush(stdout) != 0) {
    return fail(Failure::kWrite, program, "to standard output");
  }
  return kExitSuccess;
}

}  // namespace

int run_site_program(int argc, char** argv) {
  std::string program;
  try {
    program = executable_path(
        argc > 0 && argv[0] != nullptr ? argv[0] : "http2retlw-site");
    const std::optional<Options> options =
        parse_options(command_line_arguments(argc, argv));
    if (!options) return fail(Failure::kUsage, program);
    if (options->help || options->version) {
      const std::string text =
          options->help ? failure_message(Failure::kUsage, program, {}) + "\n" +
                              std::string(kHelp)
                        : "http2retlw-site " HTTP2RETLW_VERSION "\n";
      if (!write_to_stdout(text) || std::fflush(stdout) != 0) {
        return fail(Failure::kWrite, program, "to standard output");
      }
      return kExitSuccess;
    }
    return run_site(program, *options);
  } catch (const std::bad_alloc&) {
    return fail(Failure::kOutOfMemory, program);
  } catch (const std::length_error&) {
    return fail(Failure::kOutOfMemory, program);
  } catch (...) {
    return fail(Failure::kInternal, program);
  }
}

}  // namespace http2retlw

int main(int argc, char** argv) {
  return http2retlw::run_site_program(argc, argv);
}
