#include "http2retlw/table_checksum.h"

#include <cstddef>
#include <cstdint>

namespace http2retlw {

std::uint16_t table_checksum(std::span<const std::uint8_t> bytes) {
  // Each word is at most 0xFFFF, so a 32-bit accumulator cannot wrap for
  // anything shorter than 131,074 bytes, well past the table's 16-bit limit.
  // Longer inputs (a caller outside the converter) simply wrap modulo 2^32.
  std::uint32_t sum = 0;
  const std::size_t pairs = bytes.size() / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    sum += static_cast<std::uint32_t>(bytes[2 * i]) << 8 | bytes[2 * i + 1];
  }
  if (bytes.size() % 2 != 0) {
    sum += static_cast<std::uint32_t>(bytes.back()) << 8;
  }
  // The first fold can itself carry into bit 16 (0x1FFFE -> 0xFFFF + 1 is
  // fine, but 0xFFFF0001 -> 0x10000); the second fold absorbs that carry.
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum = (sum >> 16) + (sum & 0xFFFF);
  return static_cast<std::uint16_t>(sum);
}

}  // namespace http2retlw
