#include "http2retlw/table_checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace http2retlw {
namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(TableChecksum, MatchesHandWorkedSums) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint16_t want;
  };
  const Case kCases[] = {
      {"empty", {}, 0x0000},
      {"odd count: last byte is a high byte", bytes_of("abc"), 0xC462},
      {"one byte", {0x01}, 0x0100},
      // RFC 1071, section 3: 0001 + f203 + f4f5 + f6f7 = ddf2.
      {"RFC 1071 example",
       {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7},
       0xDDF2},
      {"carry wraps around", {0xFF, 0xFF, 0x00, 0x01}, 0x0001},
      {"0xFFFF is never folded to zero", {0xFF, 0xFF}, 0xFFFF},
      {"bytes 0x80 and above are unsigned", {0x80, 0xFF}, 0x80FF},
      {"completed example response",
       bytes_of("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc"), 0x7363},
      // 32767 words of 0xFFFF and a last 0xFF00: 0x7FFF7F01 folds to 0xFF00.
      {"largest table response of 0xFF", std::vector<std::uint8_t>(65535, 0xFF),
       0xFF00},
      // 0xFFFF + 0xFFFF = 0x1FFFE wraps to 0xFFFF; adding 0x0001 carries
      // out of bit 15 once more, so a single fold would give 0x0000.
      {"carry out of the first fold",
       {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01},
       0x0001},
      // Any number of 0xFFFF words sums to 0xFFFF; 65,538 of them overflow a
      // 32-bit total (to 0xFFFE once folded).
      {"longer than a 32-bit total holds",
       std::vector<std::uint8_t>(131076, 0xFF), 0xFFFF},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(table_checksum(c.bytes), c.want);
  }
}

}  // namespace
}  // namespace http2retlw
