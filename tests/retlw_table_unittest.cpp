#include "http2retlw/retlw_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace http2retlw {
namespace {

std::string table_text(std::uint8_t tag, const std::vector<std::uint8_t>& data,
                       std::uint16_t sum) {
  std::string text;
  const bool ok = write_retlw_table(tag, data, sum, [&](std::string_view s) {
    EXPECT_LE(s.size(), kTableChunkSize);
    text.append(s);
    return true;
  });
  EXPECT_TRUE(ok);
  return text;
}

TEST(RetlwTable, WritesExactText) {
  struct Case {
    const char* name;
    std::uint8_t tag;
    std::vector<std::uint8_t> data;
    std::uint16_t sum;
    std::string want;
  };
  const Case kCases[] = {
      {"three letters",
       'i',
       {'a', 'b', 'c'},
       0xC462,
       "\n\tretlw\t'i'\n"
       "\tretlw\t0x00\n\tretlw\t0x03\n\tretlw\t0xC4\n\tretlw\t0x62\n"
       "\tretlw\t0x61\n\tretlw\t0x62\n\tretlw\t0x63\n"
       "\n\n"},
      {"line-end and high bytes stay numbers",
       'x',
       {0x0A, 0x0D, 0x00, 0xFF},
       0x0AFF,
       "\n\tretlw\t'x'\n"
       "\tretlw\t0x00\n\tretlw\t0x04\n\tretlw\t0x0A\n\tretlw\t0xFF\n"
       "\tretlw\t0x0A\n\tretlw\t0x0D\n\tretlw\t0x00\n\tretlw\t0xFF\n"
       "\n\n"},
      {"single-quote tag",
       '\'',
       {0x7F},
       0x7F00,
       "\n\tretlw\t'''\n"
       "\tretlw\t0x00\n\tretlw\t0x01\n\tretlw\t0x7F\n\tretlw\t0x00\n"
       "\tretlw\t0x7F\n"
       "\n\n"},
      {"high tag byte is written raw",
       0xE9,
       {0x80},
       0x8000,
       "\n\tretlw\t'\xE9'\n"
       "\tretlw\t0x00\n\tretlw\t0x01\n\tretlw\t0x80\n\tretlw\t0x00\n"
       "\tretlw\t0x80\n"
       "\n\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(table_text(c.tag, c.data, c.sum), c.want);
  }
}

// Reads every numeric line back; the text must be exactly the lines the
// table format allows, and nothing else.
std::vector<int> parse_numeric_lines(const std::string& text,
                                     std::size_t skip) {
  std::vector<int> values;
  for (std::size_t at = skip;
       at + 12 <= text.size() && text.compare(at, 7, "\tretlw\t") == 0;
       at += 12) {
    EXPECT_EQ(text.compare(at + 7, 2, "0x"), 0);
    EXPECT_EQ(text[at + 11], '\n');
    values.push_back(std::stoi(text.substr(at + 9, 2), nullptr, 16));
  }
  return values;
}

TEST(RetlwTable, SizeAndLengthFieldsFollowTheResponse) {
  struct Case {
    const char* name;
    std::size_t length;
    int length_high;
    int length_low;
  };
  const Case kCases[] = {
      {"one byte", 1, 0x00, 0x01},
      {"255 bytes", 255, 0x00, 0xFF},
      {"256 bytes", 256, 0x01, 0x00},
      {"lines cross one output chunk", kTableChunkSize / 12 + 1, 0x04, 0x01},
      // With the tag and header lines, the data fills the chunk exactly and
      // the closing empty lines start the next one.
      {"lines fill one output chunk", kTableChunkSize / 12 - 5, 0x03, 0xFB},
      {"largest table response", 65535, 0xFF, 0xFF},
      {"one past: the length field wraps, data is whole", 65536, 0x00, 0x00},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> data(c.length);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const std::string text = table_text('p', data, 0x1234);
    ASSERT_EQ(text.size(), 62 + 12 * c.length);
    ASSERT_EQ(text.substr(text.size() - 2), "\n\n");
    const std::vector<int> values = parse_numeric_lines(text, 12);
    ASSERT_EQ(values.size(), 4 + c.length);
    EXPECT_EQ(values[0], c.length_high);
    EXPECT_EQ(values[1], c.length_low);
    EXPECT_EQ(values[2], 0x12);
    EXPECT_EQ(values[3], 0x34);
    for (std::size_t i = 0; i < data.size(); ++i) {
      ASSERT_EQ(values[4 + i], data[i]) << "data byte " << i;
    }
  }
}

// The sink refuses one piece and would take the next: the writer must stop
// at that piece and say so, wherever it hands one over.
TEST(RetlwTable, StopsWhenTheSinkRefuses) {
  // 1,019 bytes fill the first piece exactly, so the closing lines go out
  // alone; 3,072 bytes make four pieces.
  constexpr std::size_t kFillsOne = kTableChunkSize / 12 - 5;
  constexpr std::size_t kFourPieces = 3 * kTableChunkSize / 12;
  struct Case {
    const char* name;
    std::size_t length;
    int refused;  // which call to the sink returns false, from 1
  };
  const Case kCases[] = {
      {"the first piece", kFourPieces, 1},
      {"a piece in the middle", kFourPieces, 2},
      {"a full piece before the closing lines", kFillsOne, 1},
      {"the last piece: the closing lines alone", kFillsOne, 2},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> data(c.length, 0x41);
    int calls = 0;
    const bool ok = write_retlw_table(
        'r', data, 0, [&](std::string_view) { return ++calls != c.refused; });
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, c.refused);
  }
}

}  // namespace
}  // namespace http2retlw
