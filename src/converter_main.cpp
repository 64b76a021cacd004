// http2retlw: turns a stored HTTP response into a PIC retlw table.
//
// The driver: checks the command line, loads the input, runs the fill-in,
// checksum and table writer in order, and is the only place that prints a
// message or picks the exit status.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_platform.h"
#include "http2retlw/content_length_fill.h"
#include "http2retlw/response.h"
#include "http2retlw/retlw_table.h"
#include "http2retlw/table_checksum.h"
#include "response_loading.h"

namespace http2retlw {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

enum class Failure {
  kUsage,
  kOpen,
  kRead,
  kTooLarge,
  kOutOfMemory,
  kNoEntry,
  kNoDelimiter,
  kNoEntryLineEnd,
  kTooLongForTable,
  kWrite,
  kInternal,
};

// Every text the program can print on standard error. `detail` is the
// input path for kOpen and the completed length for kTooLongForTable.
std::string failure_message(Failure failure, const std::string& program,
                            const std::string& detail) {
  switch (failure) {
    case Failure::kUsage:
      return "Usage: " + program + " <input_file>\n";
    case Failure::kOpen:
      return program + ": couldn't open file " + detail + "\n";
    case Failure::kRead:
      return program + ": binary read failed on input file\n";
    case Failure::kTooLarge:
      return program + ": input file too large\n";
    case Failure::kOutOfMemory:
      return program + ": out of memory\n";
    case Failure::kNoEntry:
      return program + ": couldn't find pseudo Content-Length entry\n";
    case Failure::kNoDelimiter:
      return program +
             ": couldn't find header <-> body delimiter (\"\\r\\n\") in "
             "file\n";
    case Failure::kNoEntryLineEnd:
      return program +
             ": couldn't find end of pseudo Content-Length entry "
             "(\"\\r\\n\")\n";
    case Failure::kTooLongForTable:
      return program + ": completed response too long for table (" + detail +
             " bytes, at most 65535)\n";
    case Failure::kWrite:
      return program + ": couldn't write to standard output\n";
    case Failure::kInternal:
      break;
  }
  return program + ": internal error\n";
}

Failure load_failure(LoadStatus status) {
  switch (status) {
    case LoadStatus::kCannotOpen:
      return Failure::kOpen;
    case LoadStatus::kTooLarge:
      return Failure::kTooLarge;
    case LoadStatus::kReadFailed:
    case LoadStatus::kLoaded:
      break;
  }
  return Failure::kRead;
}

Failure fill_failure(FillStatus status) {
  switch (status) {
    case FillStatus::kNoEntry:
      return Failure::kNoEntry;
    case FillStatus::kNoDelimiter:
      return Failure::kNoDelimiter;
    case FillStatus::kNoEntryLineEnd:
      return Failure::kNoEntryLineEnd;
    case FillStatus::kTooLongForTable:
    case FillStatus::kFilled:
      break;
  }
  return Failure::kTooLongForTable;
}

bool write_to_stdout(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

int fail(Failure failure, const std::string& program,
         const std::string& detail = {}) noexcept {
  try {
    // If standard error refuses too, there is nowhere left to say so.
    static_cast<void>(
        write_to_stderr(failure_message(failure, program, detail)));
  } catch (...) {
    // Not even the message fits in memory; the status still tells.
  }
  return kExitFailure;
}

}  // namespace

int run_converter(int argc, char** argv) {
  std::string program;
  try {
    program = executable_path(argc > 0 && argv[0] != nullptr ? argv[0]
                                                             : "http2retlw");
    const std::vector<std::string> arguments =
        command_line_arguments(argc, argv);
    if (arguments.size() != 2) return fail(Failure::kUsage, program);
    const std::string& input_file = arguments[1];

    LoadResult loaded = load_response(input_file.c_str());
    if (loaded.status != LoadStatus::kLoaded) {
      return fail(load_failure(loaded.status), program, input_file);
    }
    ResponseBuffer& response = loaded.response;

    const FillResult filled = fill_content_length(response);
    if (filled.status != FillStatus::kFilled) {
      return fail(fill_failure(filled.status), program,
                  std::to_string(filled.completed_length));
    }

    const std::uint16_t sum = table_checksum(response);
    const auto tag = static_cast<std::uint8_t>(input_file[0]);
    // The writer hands over whole 4 KiB pages from its own buffer; stdio's
    // buffer would only copy part of each one again. Buffered output is
    // still correct, so a refusal changes nothing.
    static_cast<void>(std::setvbuf(stdout, nullptr, _IONBF, 0));
    // Some file systems (NFS, FUSE, quotas) report a failed write only when
    // the file is closed; left to exit(), that failure would go unheard.
    if (!write_retlw_table(tag, response, sum, write_to_stdout) ||
        std::fclose(stdout) != 0) {
      return fail(Failure::kWrite, program);
    }
    return kExitSuccess;
  } catch (const std::bad_alloc&) {
    return fail(Failure::kOutOfMemory, program);
  } catch (const std::length_error&) {
    // More than a container may hold: memory by another name.
    return fail(Failure::kOutOfMemory, program);
  } catch (...) {
    return fail(Failure::kInternal, program);
  }
}

}  // namespace http2retlw

int main(int argc, char** argv) {
  return http2retlw::run_converter(argc, argv);
}
