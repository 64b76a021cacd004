// Runs the whole conversion on arbitrary bytes and checks every result
// against a model written here, independently of the converter's code.
//
// Input: the first byte is the table's tag, the rest is the stored response.
// Any disagreement, crash or sanitizer report is a finding; disagreements
// stop the run with a trap so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "http2retlw/content_length_fill.h"
#include "http2retlw/response.h"
#include "http2retlw/retlw_table.h"
#include "http2retlw/table_checksum.h"

namespace http2retlw {
namespace {

// The table's 16-bit length field; written out rather than taken from the
// converter's headers so a wrong constant there is caught too.
constexpr std::size_t kLongestResponse = 65535;

// Names the broken property before trapping, so a crash report says which
// check failed, not only where libFuzzer caught the signal.
[[noreturn]] void property_failed(const char* property, int line) {
  std::fprintf(stderr, "conversion_fuzzer.cpp:%d: property failed: %s\n", line,
               property);
  __builtin_trap();
}

#define REQUIRE(property) \
  ((property) ? void() : property_failed(#property, __LINE__))

// For the model's loops over every byte and line, which run over 65,535
// bytes at the length limit: tracing their comparisons would slow the search
// without guiding it.
#define UNTRACED __attribute__((no_sanitize("coverage")))

struct Outcome {
  FillStatus status;
  std::string completed;  // kFilled and kTooLongForTable only
  std::size_t body = 0;   // likewise
};

std::size_t decimal_width(std::size_t value) {
  return static_cast<std::size_t>(std::snprintf(nullptr, 0, "%zu", value));
}

// What the fill-in must do with `input`, worked out byte by byte.
Outcome expected_fill(std::string_view input) {
  const std::string_view text = input.substr(0, input.find('\0'));
  const std::size_t entry = text.find("Content-Length:");
  if (entry == std::string_view::npos) return {FillStatus::kNoEntry, {}};
  const std::size_t delimiter = text.find("\r\n\r\n");
  if (delimiter == std::string_view::npos) {
    return {FillStatus::kNoDelimiter, {}};
  }
  // The entry's line ends at the first CR that a LF follows; any other CR
  // or LF on the way, or the end of the text, leaves the line unended.
  std::size_t line_end = entry + 15;
  for (;; ++line_end) {
    if (line_end >= text.size()) return {FillStatus::kNoEntryLineEnd, {}};
    const char c = text[line_end];
    if (c == '\r' && line_end + 1 < text.size() && text[line_end + 1] == '\n') {
      break;
    }
    if (c == '\r' || c == '\n') return {FillStatus::kNoEntryLineEnd, {}};
  }
  const std::size_t body = input.size() - delimiter - 4;
  char number[32];
  std::snprintf(number, sizeof number, "%zu", body);
  std::string completed(input.substr(0, entry));
  completed += "Content-Length: ";
  completed += number;
  completed += "\r\n";
  completed += input.substr(line_end + 2);
  const FillStatus status = completed.size() > kLongestResponse
                                ? FillStatus::kTooLongForTable
                                : FillStatus::kFilled;
  return {status, completed, body};
}

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Runs the fill-in on `input`, checks it against the model and gives the
// model's outcome.
Outcome check_fill(std::string_view input) {
  Outcome want = expected_fill(input);
  const auto in = bytes_of(input);
  ResponseBuffer response(in.begin(), in.end());
  const FillResult got = fill_content_length(response);
  const std::string_view after(reinterpret_cast<const char*>(response.data()),
                               response.size());
  REQUIRE(got.status == want.status);
  switch (got.status) {
    case FillStatus::kFilled:
      REQUIRE(got.completed_length == want.completed.size());
      REQUIRE(after == want.completed);
      break;
    case FillStatus::kTooLongForTable:
      REQUIRE(got.completed_length == want.completed.size());
      REQUIRE(after == input);
      break;
    case FillStatus::kNoEntry:
    case FillStatus::kNoDelimiter:
    case FillStatus::kNoEntryLineEnd:
      REQUIRE(got.completed_length == 0);
      REQUIRE(after == input);
      break;
    default:
      __builtin_trap();  // a status outside the known set
  }
  return want;
}

// RFC 1071's running form: each 16-bit word is added with its carry wrapped
// around at once, rather than summed wide and folded at the end.
UNTRACED std::uint16_t ones_complement_sum(std::string_view bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const std::uint32_t high = static_cast<unsigned char>(bytes[i]);
    const std::uint32_t low =
        i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    sum += high << 8 | low;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(sum);
}

// Reads "\tretlw\t0xHH\n" at `pos` (upper-case digits only) and advances.
UNTRACED unsigned read_numeric_line(std::string_view table, std::size_t& pos) {
  constexpr std::string_view kPrefix = "\tretlw\t0x";
  REQUIRE(table.substr(pos, kPrefix.size()) == kPrefix);
  pos += kPrefix.size();
  REQUIRE(pos + 3 <= table.size() && table[pos + 2] == '\n');
  unsigned value = 0;
  for (int i = 0; i < 2; ++i) {
    const char c = table[pos++];
    REQUIRE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
    value =
        value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  ++pos;
  return value;
}

void check_table(std::uint8_t tag, const std::string& completed) {
  const std::uint16_t sum = table_checksum(bytes_of(completed));
  REQUIRE(sum == ones_complement_sum(completed));

  // Kept from one input to the next: a fresh 786 KB string for each table
  // at the length limit would cost more than all the checks.
  static std::string table;
  table.clear();
  const bool written = write_retlw_table(
      tag, bytes_of(completed), sum, [](std::string_view piece) {
        REQUIRE(!piece.empty() && piece.size() <= kTableChunkSize);
        table += piece;
        return true;
      });
  REQUIRE(written);
  REQUIRE(table.size() == 62 + 12 * completed.size());

  std::size_t pos = 0;
  const std::string tag_line =
      std::string("\n\tretlw\t'") + static_cast<char>(tag) + "'\n";
  REQUIRE(table.compare(0, tag_line.size(), tag_line) == 0);
  pos = tag_line.size();
  const std::size_t length = completed.size() % 65536;
  REQUIRE(read_numeric_line(table, pos) == length >> 8);
  REQUIRE(read_numeric_line(table, pos) == (length & 0xFF));
  REQUIRE(read_numeric_line(table, pos) == static_cast<unsigned>(sum >> 8));
  REQUIRE(read_numeric_line(table, pos) == static_cast<unsigned>(sum & 0xFF));
  for (const char c : completed) {
    REQUIRE(read_numeric_line(table, pos) == static_cast<unsigned char>(c));
  }
  REQUIRE(table.substr(pos) == "\n\n");

  // A sink that refuses stops the writer at once, and the writer says so.
  int pieces = 0;
  const bool refused = write_retlw_table(tag, bytes_of(completed), sum,
                                         [&pieces](std::string_view) {
                                           ++pieces;
                                           return false;
                                         });
  REQUIRE(!refused && pieces == 1);
}

// Short inputs never reach the table's limit, so each fillable response is
// also tried with its end padded until the completed response is exactly
// 65,535 bytes long, or 65,536 (by the input's parity, to keep runs fast):
// where a length check would be off by one. The longest table is checked
// whole too: its sum and every one of its 65 pieces.
void check_at_length_limit(std::uint8_t tag, std::string_view input,
                           const Outcome& filled) {
  const std::size_t target = kLongestResponse + input.size() % 2;
  if (filled.completed.size() >= target) return;
  std::size_t pad = target - filled.completed.size();
  // The longer body may need more digits; take them back from the pad.
  const std::size_t more_digits =
      decimal_width(filled.body + pad) - decimal_width(filled.body);
  if (more_digits >= pad) return;
  pad -= more_digits;
  std::string padded(input);
  padded.append(pad, 'x');
  const Outcome longest = check_fill(padded);
  if (longest.status == FillStatus::kFilled) {
    check_table(tag, longest.completed);
  }
}

}  // namespace
}  // namespace http2retlw

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace http2retlw;
  if (size == 0) return 0;
  const std::uint8_t tag = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1,
                               size - 1);
  const Outcome filled = check_fill(input);
  if (filled.status != FillStatus::kFilled) return 0;
  check_table(tag, filled.completed);
  check_at_length_limit(tag, input, filled);
  return 0;
}
