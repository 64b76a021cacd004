#include "http2retlw/retlw_table.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace http2retlw {
namespace {

constexpr std::size_t kLineSize = 12;  // "\tretlw\t0xHH\n"

// Every data line starts with the same eight bytes; only the last four
// ("xHH\n") depend on the value, and come from a 1 KiB table.
constexpr char kLinePrefix[] = {'\t', 'r', 'e', 't', 'l', 'w', '\t', '0'};
constexpr std::size_t kPrefixSize = sizeof kLinePrefix;
constexpr std::size_t kSuffixSize = kLineSize - kPrefixSize;
using LineSuffix = std::array<char, kSuffixSize>;

constexpr std::array<LineSuffix, 256> make_line_suffixes() {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::array<LineSuffix, 256> suffixes{};
  for (unsigned value = 0; value < 256; ++value) {
    suffixes[value] = {'x', kHex[value >> 4], kHex[value & 0xF], '\n'};
  }
  return suffixes;
}

constexpr std::array<LineSuffix, 256> kLineSuffixes = make_line_suffixes();

// Builds the table in one reused buffer of whole lines and hands it to the
// sink when full. A full buffer is also a whole number of 4 KiB pages, which
// a stream can pass straight to the system.
//
// The tag line fills the first slot and every later line is a data line, so
// each slot keeps its data-line prefix from one chunk to the next and a data
// line costs only the store of its last four bytes.
class TableWriter {
 public:
  // `data_lines`: how many lines follow the tag line, so a short table
  // prepares no more slots than it uses.
  TableWriter(const TableSink& sink, std::uint8_t tag, std::size_t data_lines)
      : sink_(sink) {
    const std::size_t end =
        std::min(buffer_.size() / kLineSize, 1 + data_lines) * kLineSize;
    for (std::size_t at = kLineSize; at < end; at += kLineSize) {
      std::memcpy(buffer_.data() + at, kLinePrefix, kPrefixSize);
    }
    const char tag_line[] = {'\n', '\t', 'r',  'e',  't',
                             'l',  'w',  '\t', '\'', static_cast<char>(tag),
                             '\'', '\n'};
    static_assert(sizeof tag_line == kLineSize);
    std::memcpy(buffer_.data(), tag_line, kLineSize);
    used_ = kLineSize;
  }

  bool append_byte_lines(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      if (used_ == buffer_.size() && !flush()) return false;
      const std::size_t fit =
          std::min(bytes.size(), (buffer_.size() - used_) / kLineSize);
      // Each line's place comes from its index: a pointer stepped past the
      // last line of a full buffer would point outside it.
      char* const out = buffer_.data() + used_ + kPrefixSize;
      const std::uint8_t* in = bytes.data();
      // Eight lines a round: the loop's own bookkeeping would otherwise cost
      // more than the lines.
      std::size_t i = 0;
      for (; i + 8 <= fit; i += 8) {
        for (std::size_t k = 0; k < 8; ++k) {
          put_suffix(out + (i + k) * kLineSize, in[i + k]);
        }
      }
      for (; i < fit; ++i) put_suffix(out + i * kLineSize, in[i]);
      used_ += fit * kLineSize;
      bytes = bytes.subspan(fit);
    }
    return true;
  }

  // The two empty lines that end the table, then the last chunk.
  bool finish() {
    if (used_ == buffer_.size() && !flush()) return false;
    buffer_[used_++] = '\n';
    buffer_[used_++] = '\n';
    return flush();
  }

 private:
  static void put_suffix(char* out, std::uint8_t value) {
    std::memcpy(out, kLineSuffixes[value].data(), kSuffixSize);
  }

  bool flush() {
    const bool delivered = sink_(std::string_view(buffer_.data(), used_));
    used_ = 0;
    // The tag line's slot holds data lines from now on.
    std::memcpy(buffer_.data(), kLinePrefix, kPrefixSize);
    return delivered;
  }

  const TableSink& sink_;
  std::array<char, kTableChunkSize> buffer_;
  std::size_t used_ = 0;
};
static_assert(kTableChunkSize % kLineSize == 0);

}  // namespace

bool write_retlw_table(std::uint8_t tag, std::span<const std::uint8_t> response,
                       std::uint16_t sum, const TableSink& sink) {
  const std::size_t length = response.size();
  TableWriter out(sink, tag, 4 + length);
  const std::uint8_t header[] = {
      static_cast<std::uint8_t>((length >> 8) & 0xFF),
      static_cast<std::uint8_t>(length & 0xFF),
      static_cast<std::uint8_t>(sum >> 8),
      static_cast<std::uint8_t>(sum & 0xFF),
  };
  return out.append_byte_lines(header) && out.append_byte_lines(response) &&
         out.finish();
}

}  // namespace http2retlw
