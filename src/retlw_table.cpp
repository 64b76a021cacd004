#include "http2retlw/retlw_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace http2retlw {
namespace {

constexpr std::size_t kLineSize = 12;  // "\tretlw\t0xHH\n"

// Every data line starts with the same eight bytes; only the last four
// ("xHH\n") depend on the value. Storing the prefix as one constant word and
// the suffix from a 1 KiB table keeps the hot loop at two stores per byte.
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

// Collects lines into one fixed-size buffer and hands it to the sink when
// full, so output costs a few large writes whatever the response's size.
class ChunkedWriter {
 public:
  explicit ChunkedWriter(const TableSink& sink)
      : sink_(sink), buffer_(new char[kTableChunkSize]) {}

  bool append(std::string_view text) {
    if (kTableChunkSize - used_ < text.size() && !flush()) return false;
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }

  bool append_byte_lines(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      if (kTableChunkSize - used_ < kLineSize && !flush()) return false;
      const std::size_t fit =
          std::min(bytes.size(), (kTableChunkSize - used_) / kLineSize);
      char* out = buffer_.get() + used_;
      for (std::size_t i = 0; i < fit; ++i, out += kLineSize) {
        std::memcpy(out, kLinePrefix, kPrefixSize);
        std::memcpy(out + kPrefixSize, kLineSuffixes[bytes[i]].data(),
                    kSuffixSize);
      }
      used_ += fit * kLineSize;
      bytes = bytes.subspan(fit);
    }
    return true;
  }

  bool flush() {
    if (used_ == 0) return true;
    const bool delivered = sink_(std::string_view(buffer_.get(), used_));
    used_ = 0;
    return delivered;
  }

 private:
  const TableSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace

bool write_retlw_table(std::uint8_t tag, std::span<const std::uint8_t> response,
                       std::uint16_t sum, const TableSink& sink) {
  ChunkedWriter out(sink);
  const char tag_line[] = {'\n', '\t', 'r',  'e',  't',
                           'l',  'w',  '\t', '\'', static_cast<char>(tag),
                           '\'', '\n'};
  const std::size_t length = response.size();
  const std::uint8_t header[] = {
      static_cast<std::uint8_t>((length >> 8) & 0xFF),
      static_cast<std::uint8_t>(length & 0xFF),
      static_cast<std::uint8_t>(sum >> 8),
      static_cast<std::uint8_t>(sum & 0xFF),
  };
  return out.append(std::string_view(tag_line, sizeof tag_line)) &&
         out.append_byte_lines(header) && out.append_byte_lines(response) &&
         out.append("\n\n") && out.flush();
}

}  // namespace http2retlw
