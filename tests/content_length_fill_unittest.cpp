#include "http2retlw/content_length_fill.h"

#include <gtest/gtest.h>

#include <string>

namespace http2retlw {
namespace {

using namespace std::string_literals;  // "..."s keeps embedded zero bytes

struct Case {
  const char* name;
  std::string input;
  FillStatus want_status;
  std::string want;  // the completed response; ignored on failure
};

void check(const Case& c) {
  SCOPED_TRACE(c.name);
  ResponseBuffer response(c.input.begin(), c.input.end());
  const FillResult result = fill_content_length(response);
  ASSERT_EQ(result.status, c.want_status);
  const std::string got(response.begin(), response.end());
  if (c.want_status == FillStatus::kFilled) {
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(result.completed_length, c.want.size());
  } else {
    EXPECT_EQ(got, c.input) << "a failed fill-in must leave the input alone";
  }
}

const std::string kStatus = "HTTP/1.0 200 OK\r\n";

TEST(FillContentLength, GrowsAndShrinksTheEntryLine) {
  const Case kCases[] = {
      {"five spaces before three bytes shrink by 3",
       kStatus + "Content-Length:     \r\n\r\nabc", FillStatus::kFilled,
       kStatus + "Content-Length: 3\r\n\r\nabc"},
      {"exact room: nothing moves", kStatus + "Content-Length:  \r\n\r\nabc",
       FillStatus::kFilled, kStatus + "Content-Length: 3\r\n\r\nabc"},
      {"no space before a 12-byte body grows by 3",
       "Content-Length:\r\n\r\nabcdefghijkl", FillStatus::kFilled,
       "Content-Length: 12\r\n\r\nabcdefghijkl"},
      {"later headers follow the shrunk line",
       kStatus + "Content-Length:          \r\nServer: x\r\n\r\nab",
       FillStatus::kFilled,
       kStatus + "Content-Length: 2\r\nServer: x\r\n\r\nab"},
      {"later headers follow the grown line",
       kStatus + "Content-Length:\r\nServer: x\r\n\r\nab", FillStatus::kFilled,
       kStatus + "Content-Length: 2\r\nServer: x\r\n\r\nab"},
      {"empty body is length 0", kStatus + "Content-Length:   \r\n\r\n",
       FillStatus::kFilled, kStatus + "Content-Length: 0\r\n\r\n"},
      {"body bytes 0x00 0x0A 0x0D 0xFF count and stay",
       "Content-Length: \r\n\r\n\0\n\r\xFF\r\n\r\n"s, FillStatus::kFilled,
       "Content-Length: 8\r\n\r\n\0\n\r\xFF\r\n\r\n"s},
      {"only the first entry is filled in",
       "Content-Length: \r\nContent-Length: \r\n\r\nab", FillStatus::kFilled,
       "Content-Length: 2\r\nContent-Length: \r\n\r\nab"},
      {"entry after the delimiter: body measured before the rewrite",
       kStatus + "\r\nContent-Length:\r\nxyz", FillStatus::kFilled,
       kStatus + "\r\nContent-Length: 20\r\nxyz"},
      {"tab placeholder: the whole line is replaced",
       "Content-Length:\t\r\n\r\nab", FillStatus::kFilled,
       "Content-Length: 2\r\n\r\nab"},
      {"stale number: the whole line is replaced",
       "Content-Length:   12\r\n\r\nabcde", FillStatus::kFilled,
       "Content-Length: 5\r\n\r\nabcde"},
      {"entry need not start a line", "X-Content-Length:\r\n\r\na",
       FillStatus::kFilled, "X-Content-Length: 1\r\n\r\na"},
  };
  for (const Case& c : kCases) check(c);
}

TEST(FillContentLength, WritesEveryDigitOfTheBodyLength) {
  struct Row {
    std::size_t body;
    const char* line;
  };
  const Row kRows[] = {
      {9, "Content-Length: 9\r\n"},       {10, "Content-Length: 10\r\n"},
      {99, "Content-Length: 99\r\n"},     {100, "Content-Length: 100\r\n"},
      {1000, "Content-Length: 1000\r\n"}, {10000, "Content-Length: 10000\r\n"}};
  for (const Row& r : kRows) {
    const std::string body(r.body, 'b');
    check({r.line, kStatus + "Content-Length:  \r\n\r\n" + body,
           FillStatus::kFilled, kStatus + r.line + "\r\n" + body});
  }
}

TEST(FillContentLength, RejectsResponsesItCannotComplete) {
  const Case kCases[] = {
      {"no entry", kStatus + "\r\nabc", FillStatus::kNoEntry, ""},
      // Found by the fuzzer: an empty buffer's data() may be null, which
      // the zero-byte search must not hand to the C library.
      {"empty response", "", FillStatus::kNoEntry, ""},
      {"neither entry nor delimiter: the entry is reported", kStatus,
       FillStatus::kNoEntry, ""},
      {"entry is case-sensitive", "content-length: \r\n\r\nab",
       FillStatus::kNoEntry, ""},
      {"no delimiter", kStatus + "Content-Length: \r\nabc",
       FillStatus::kNoDelimiter, ""},
      {"LF-only line ends", "HTTP/1.0 200 OK\nContent-Length: \n\nabc",
       FillStatus::kNoDelimiter, ""},
      {"zero byte hides the entry", "HTTP\0Content-Length: \r\n\r\nab"s,
       FillStatus::kNoEntry, ""},
      {"zero byte hides the delimiter", "Content-Length: \r\n\0\r\n\r\nab"s,
       FillStatus::kNoDelimiter, ""},
      {"bare CR ends the placeholder", "Content-Length:  \rServer: x\r\n\r\nab",
       FillStatus::kNoEntryLineEnd, ""},
      {"bare LF ends the placeholder", "Content-Length:  \nServer: x\r\n\r\nab",
       FillStatus::kNoEntryLineEnd, ""},
      {"no CR LF after an entry in the body",
       kStatus + "\r\nbody Content-Length:  ", FillStatus::kNoEntryLineEnd, ""},
      // The buffer ends at the CR, so a search that looks for the LF after
      // it reads past the end.
      {"the entry line's only CR is the last byte",
       kStatus + "\r\nContent-Length:  \r", FillStatus::kNoEntryLineEnd, ""},
      {"zero byte before the entry's CR LF",
       kStatus + "\r\nContent-Length:\0\r\n"s, FillStatus::kNoEntryLineEnd, ""},
  };
  for (const Case& c : kCases) check(c);
}

TEST(FillContentLength, KeepsCompletedResponsesWithinTheTable) {
  // "Content-Length: NNNNN\r\n\r\n" is 25 bytes; the body makes up the rest.
  const std::string largest_body(65535 - 25, 'x');
  const std::string one_past_body(65536 - 25, 'x');
  const Case kCases[] = {
      {"65,535 completed bytes fit", "Content-Length:\r\n\r\n" + largest_body,
       FillStatus::kFilled, "Content-Length: 65510\r\n\r\n" + largest_body},
      {"a longer file whose placeholder shrinks still fits",
       "Content-Length:" + std::string(100, ' ') + "\r\n\r\n" + largest_body,
       FillStatus::kFilled, "Content-Length: 65510\r\n\r\n" + largest_body},
      {"65,536 completed bytes do not",
       "Content-Length:\r\n\r\n" + one_past_body, FillStatus::kTooLongForTable,
       ""},
  };
  for (const Case& c : kCases) check(c);

  ResponseBuffer too_long(kCases[2].input.begin(), kCases[2].input.end());
  EXPECT_EQ(fill_content_length(too_long).completed_length, 65536u);
}

}  // namespace
}  // namespace http2retlw
