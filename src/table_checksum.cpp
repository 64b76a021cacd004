#include "http2retlw/table_checksum.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace http2retlw {

std::uint16_t table_checksum(std::span<const std::uint8_t> bytes) {
  static_assert(std::endian::native == std::endian::big ||
                std::endian::native == std::endian::little);
  // One's-complement addition gives the same result over any even word width
  // and in either byte order (RFC 1071, section 2): so add 64-bit words as
  // they lie in memory, with every carry wrapped around at once, which stays
  // exact for any length, and fold and byte-swap only at the end.
  const auto add = [](std::uint64_t& sum, std::uint64_t word) {
    sum += word;
    sum += static_cast<std::uint64_t>(sum < word);
  };
  const auto load = [](const std::uint8_t* at, std::size_t count) {
    std::uint64_t word = 0;  // a short last word is padded with zero bytes
    std::memcpy(&word, at, count);
    return word;
  };
  // Two sums, so that neither waits for the other's carry.
  std::uint64_t sum = 0;
  std::uint64_t other = 0;
  const std::uint8_t* at = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= 32; at += 32, left -= 32) {
    add(sum, load(at, 8));
    add(other, load(at + 8, 8));
    add(sum, load(at + 16, 8));
    add(other, load(at + 24, 8));
  }
  for (; left >= 8; at += 8, left -= 8) add(sum, load(at, 8));
  if (left > 0) add(sum, load(at, left));
  add(sum, other);
  // Each fold can carry into bit 16 again (0xFFFF + 0xFFFF), so fold until
  // none is left.
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  const auto folded = static_cast<std::uint16_t>(sum);
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint16_t>(folded << 8 | folded >> 8);
  } else {
    return folded;
  }
}

}  // namespace http2retlw
