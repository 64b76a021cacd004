#include "http2retlw/content_length_fill.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace http2retlw {
namespace {

constexpr std::string_view kEntryName = "Content-Length:";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// Where `name` first stands in `response`, provided no zero byte comes
// before its end. Stored responses are text up to their body, and a zero byte
// there means the file is not what it claims to be, so the header searches
// never look past one. Only the bytes up to the first match are checked for
// it: the body, which may hold any bytes, is never scanned.
std::size_t find_before_zero(std::string_view response, std::string_view name) {
  const std::size_t at = response.find(name);
  if (at == std::string_view::npos) return at;
  return response.substr(0, at + name.size()).find('\0') ==
                 std::string_view::npos
             ? at
             : std::string_view::npos;
}

std::size_t decimal_digits(std::size_t value) {
  std::size_t digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

// The entry line's end: the index of the CR of the first CR LF pair after
// the field name, provided no bare CR or LF comes before it. A bare line
// break would make "the entry's line" end somewhere the next header begins.
std::optional<std::size_t> entry_line_end(std::string_view response,
                                          std::size_t entry) {
  for (std::size_t at = entry + kEntryName.size(); at < response.size(); ++at) {
    const char c = response[at];
    if (c == '\r' && at + 1 < response.size() && response[at + 1] == '\n') {
      return at;
    }
    if (c == '\r' || c == '\n' || c == '\0') return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

FillResult fill_content_length(ResponseBuffer& response) {
  const std::string_view text(reinterpret_cast<const char*>(response.data()),
                              response.size());
  const std::size_t entry = find_before_zero(text, kEntryName);
  if (entry == std::string_view::npos) return {FillStatus::kNoEntry, 0};
  const std::size_t header_end = find_before_zero(text, kHeaderEnd);
  if (header_end == std::string_view::npos) {
    return {FillStatus::kNoDelimiter, 0};
  }
  const std::optional<std::size_t> line_end = entry_line_end(text, entry);
  if (!line_end) return {FillStatus::kNoEntryLineEnd, 0};

  const std::size_t length = response.size();
  const std::size_t body_length = length - (header_end + kHeaderEnd.size());
  // The whole old line, stale value and all, gives way to the new one.
  const std::size_t old_line = *line_end + kLineEnd.size() - entry;
  const std::size_t new_line =
      kEntryName.size() + 1 + decimal_digits(body_length) + kLineEnd.size();
  const std::size_t completed = length - old_line + new_line;
  if (completed > kMaxTableResponseLength) {
    return {FillStatus::kTooLongForTable, completed};
  }

  // The tail moves first, while the bytes it overlaps are still the old line;
  // memmove copies correctly in either direction.
  const std::size_t tail_from = entry + old_line;
  const std::size_t tail_size = length - tail_from;
  if (completed > length) response.resize(completed);
  std::memmove(response.data() + entry + new_line, response.data() + tail_from,
               tail_size);
  if (completed < length) response.resize(completed);

  std::string line(kEntryName);
  line += ' ';
  line += std::to_string(body_length);
  line += kLineEnd;
  std::memcpy(response.data() + entry, line.data(), line.size());
  return {FillStatus::kFilled, completed};
}

}  // namespace http2retlw
