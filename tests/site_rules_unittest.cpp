#include "site_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http2retlw/retlw_table.h"

namespace http2retlw {
namespace {

TEST(SiteContentType, ByTheLastExtensionInAnyCase) {
  struct Case {
    const char* name;
    std::string_view want;
  };
  const Case kCases[] = {
      {"index.html", "text/html"},
      {"guide.htm", "text/html"},
      // The sites hold lower-case names only; a case-sensitive match served
      // this one as application/octet-stream.
      {"NOTES.TXT", "text/plain"},
      {"Logo.Png", "image/png"},
      {"style.css", "text/css"},
      {"app.js", "text/javascript"},
      {"data.json", "application/json"},
      {"icon.svg", "image/svg+xml"},
      {"a.gif", "image/gif"},
      {"a.jpg", "image/jpeg"},
      {"a.JPEG", "image/jpeg"},
      {"favicon.ico", "image/x-icon"},
      {"feed.xml", "application/xml"},
      {"manual.pdf", "application/pdf"},
      {"font.woff2", "font/woff2"},
      {"code.wasm", "application/wasm"},
      {"v1.2.js", "text/javascript"},
      {"README", "application/octet-stream"},
      {"trailing.", "application/octet-stream"},
      {"archive.tar.gz", "application/octet-stream"},
      // An extension is compared whole, never as a pattern or a prefix.
      {"a.htm+", "application/octet-stream"},
      {"a.ht", "application/octet-stream"},
      {"a.htmlx", "application/octet-stream"},
      {"a.woff", "application/octet-stream"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(content_type(c.name), c.want);
  }
}

TEST(SiteResponseHead, StatusTypeEncodingEntryAndHeaderLines) {
  struct Case {
    const char* name;
    const char* header_lines;
    std::string_view want;
  };
  const Case kCases[] = {
      {"index.html", "",
       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length:\r\n\r\n"},
      {"404.html", "",
       "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n"
       "Content-Length:\r\n\r\n"},
      {"4040.html", "",
       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length:\r\n\r\n"},
      {"style.css.gz", "Cache-Control: max-age=3600\r\n",
       "HTTP/1.0 200 OK\r\nContent-Type: text/css\r\n"
       "Content-Encoding: gzip\r\nContent-Length:\r\n"
       "Cache-Control: max-age=3600\r\n\r\n"},
      {"404.html.gz", "",
       "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n"
       "Content-Encoding: gzip\r\nContent-Length:\r\n\r\n"},
      // Only a lower-case .gz is an encoding, as in the name rules' NAME.gz.
      {"STYLE.CSS.GZ", "",
       "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
       "Content-Length:\r\n\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(response_head(c.name, c.header_lines), c.want);
  }
}

TEST(SiteEntryFault, TagThenNameRules) {
  const std::string gpasm =
      " does not assemble (gpasm rejects 0x0A, 0x0D, '\"' and '\\' as a "
      "quoted character)";
  const std::string unsent =
      " is never the first character of a path a browser sends";
  const std::string unnamed =
      ": make and CMake cannot carry this name; use letters, digits and "
      ". _ - + ~";
  struct Case {
    std::string name;
    bool is_directory;
    std::string want;
  };
  const Case kCases[] = {
      {"index.html", false, ""},
      {"~x", false, ""},  // 0x7E, the last byte a path may start with
      // 0x21, the first tag a path may start with; the name rule still
      // holds it.
      {"!x", false, "  !x" + unnamed},
      {"+-_.x", false, ""},
      {"pages.txt", false, ""},
      {"sub", true,
       "  sub: a subfolder; a page is found by its tag alone, which holds no "
       "path, so every file stands directly in site"},
      {"\"q.htm", false, "  \"q.htm: its tag '\"'" + gpasm},
      {"\\q.htm", false, "  \\q.htm: its tag '\\'" + gpasm},
      {"\nq", false, "  \nq: its tag 0x0A" + gpasm},
      {"\rq", false, "  \rq: its tag 0x0D" + gpasm},
      {" q", false, "   q: its tag 0x20" + unsent},
      {"?q", false, "  ?q: its tag '?'" + unsent},
      {"#q", false, "  #q: its tag '#'" + unsent},
      {"\x01q", false, "  \x01q: its tag 0x01" + unsent},
      {"\x7Fq", false, "  \x7Fq: its tag 0x7F" + unsent},
      {"\xC3\xA9t\xC3\xA9.htm", false,
       "  \xC3\xA9t\xC3\xA9.htm: its tag 0xC3" + unsent},
      {"\xE9q.htm", false, "  \xE9q.htm: its tag 0xE9" + unsent},
      {"caf\xC3\xA9.htm", false, "  caf\xC3\xA9.htm" + unnamed},
      {"a b.htm", false, "  a b.htm" + unnamed},
      {"a;b.htm", false, "  a;b.htm" + unnamed},
      {"a$b.htm", false, "  a$b.htm" + unnamed},
      {"pages", false, "  pages: its table would be pages.inc"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(entry_fault(c.name, c.is_directory, "site"), c.want);
  }
}

TEST(SiteHeaderLines, KeptSkippedAndRefused) {
  struct Case {
    const char* name;
    std::string_view text;
    std::string_view want_lines;
    std::vector<std::string> want_faults;
  };
  const Case kCases[] = {
      {"comment, empty line, LF and CR LF",
       "# every page\r\n\nCache-Control: max-age=3600\n",
       "Cache-Control: max-age=3600\r\n",
       {}},
      {"last line without a line end",
       "X-A: 1\nX-B: 2",
       "X-A: 1\r\nX-B: 2\r\n",
       {}},
      {"blank and indented comment lines",
       " \t\n   # c\nX: y\n",
       "X: y\r\n",
       {}},
      {"no colon",
       "X: y\nno colon\r\n",
       "X: y\r\n",
       {"  h.txt:2: not a header line (NAME: VALUE)"}},
      {"no field name",
       ": v\n",
       "",
       {"  h.txt:1: not a header line (NAME: VALUE)"}},
      {"the type, in any case",
       "Content-TYPE: x\n",
       "",
       {"  h.txt:1: sets content-type, which the site step writes itself"}},
      {"the length, blanks round the field",
       " Content-Length : 3\n",
       "",
       {"  h.txt:1: sets content-length, which the site step writes itself"}},
      {"the encoding, line numbers count skipped lines",
       "# c\n\nContent-Encoding: br\n",
       "",
       {"  h.txt:3: sets content-encoding, which the site step writes itself"}},
      {"a field that only holds the name",
       "X-Content-Type-Options: nosniff\n",
       "X-Content-Type-Options: nosniff\r\n",
       {}},
      {"a value with ; and [ stays whole",
       "X: a;b [c]\n",
       "X: a;b [c]\r\n",
       {}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const HeaderLines got = parse_header_lines(c.text, "h.txt");
    EXPECT_EQ(got.lines, c.want_lines);
    EXPECT_EQ(got.faults, c.want_faults);
  }
}

TEST(SiteCompletedLength, TheEntryGainsASpaceAndTheDigits) {
  struct Case {
    std::uint64_t head;
    std::uint64_t body;
    std::uint64_t want;
  };
  const Case kCases[] = {
      {0, 0, 2},          {10, 9, 21},        {10, 10, 23},
      {76, 65453, 65535}, {76, 65454, 65536},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.head) + "+" + std::to_string(c.body));
    EXPECT_EQ(completed_length(c.head, c.body), c.want);
  }
}

TEST(SitePlan, ServedNotesFaultsAndRefusedTables) {
  // "zeros.bin" has a 76-byte head: 65,453 body bytes complete to 65,535.
  struct Case {
    const char* name;
    std::vector<SiteEntry> entries;
    const char* headers;
    std::vector<std::string> served;
    std::vector<std::string> faults;
    std::vector<std::string> notes;
    std::vector<std::string> refused;
  };
  const std::string no_i =
      "  no file's name starts with i: the server answers GET / with the "
      "page tagged i";
  const std::string no_4 =
      "  no file's name starts with 4: a path no page is tagged with gets "
      "the server's built-in 404";
  const Case kCases[] = {
      {"NAME.gz in NAME's place, hidden files and backups passed over",
       {{"style.css", false, 3},
        {"index.html", false, 1},
        {"style.css.gz", false, 2},
        {".index.html.swp", false, 1},
        {"index.html~", false, 1},
        {"404.html", false, 1}},
       "",
       {"404.html", "index.html", "style.css.gz"},
       {},
       {"  style.css left out: style.css.gz is served in its place"},
       {}},
      {"one tag for two files; no 4 is only a note",
       {{"scripts.js", false, 1},
        {"index.html", false, 1},
        {"style.css", false, 1}},
       "",
       {"index.html", "scripts.js", "style.css"},
       {"  scripts.js, style.css: one tag, 's', for 2 files; the server "
        "would serve one of them for all"},
       {no_4},
       {"scripts.js", "style.css"}},
      {"every fault in its order: names, tags, i, headers",
       {{"sub", true, 0},
        {"a b", false, 1},
        {"start.html", false, 1},
        {"style.css", false, 1}},
       "no colon\n",
       {"start.html", "style.css"},
       {"  a b: make and CMake cannot carry this name; use letters, digits "
        "and . _ - + ~",
        "  sub: a subfolder; a page is found by its tag alone, which holds "
        "no path, so every file stands directly in site",
        "  start.html, style.css: one tag, 's', for 2 files; the server "
        "would serve one of them for all",
        no_i, "  h.txt:1: not a header line (NAME: VALUE)"},
       {no_4},
       {"start.html", "style.css"}},
      {"the limit",
       {{"index.html", false, 1}, {"zeros.bin", false, 65453}},
       "",
       {"index.html", "zeros.bin"},
       {},
       {no_4},
       {}},
      {"the limit + 1",
       {{"index.html", false, 1}, {"zeros.bin", false, 65454}},
       "",
       {"index.html", "zeros.bin"},
       {"  zeros.bin: completed response too long for table (65536 bytes, at "
        "most 65535)"},
       {no_4},
       {"zeros.bin"}},
      {"the headers' lines count towards the limit",
       {{"index.html", false, 1}, {"zeros.bin", false, 65453}},
       "X: y\n",
       {"index.html", "zeros.bin"},
       {"  zeros.bin: completed response too long for table (65541 bytes, at "
        "most 65535)"},
       {no_4},
       {"zeros.bin"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const SitePlan plan =
        plan_site(c.entries, "site", parse_header_lines(c.headers, "h.txt"));
    EXPECT_EQ(plan.served, c.served);
    EXPECT_EQ(plan.faults, c.faults);
    EXPECT_EQ(plan.notes, c.notes);
    EXPECT_EQ(plan.refused, c.refused);
  }
}

TEST(SitePlaceholders, ScannedByTextTypeNeverGzip) {
  struct Case {
    const char* name;
    bool want;
  };
  const Case kCases[] = {
      {"index.html", true}, {"a.htm", true},       {"STATUS.JSON", true},
      {"a.css", true},      {"a.js", true},        {"a.txt", true},
      {"a.xml", true},      {"a.svg", true},       {"logo.png", false},
      {"a.pdf", false},     {"a.html.gz", false},  {"status.json.gz", false},
      {"README", false},    {"a.html.bak", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(holds_placeholders(c.name), c.want);
  }
}

TEST(SitePlaceholders, EachBecomesItsFillerOrAFaultLine) {
  struct Case {
    const char* name;
    std::string_view text;
    std::string_view want_body;
    std::vector<std::pair<std::size_t, int>> want_placeholders;
    std::vector<std::string> want_faults;
  };
  const Case kCases[] = {
      {"no placeholder; an ordinary comment stays",
       "a <!-- c --> <!--b-->",
       "a <!-- c --> <!--b-->",
       {},
       {}},
      {"the widths of 1, 8 and 15, back to back",
       "<!--#connections--><!--#portb--><!--#ip-->",
       "000000000        0.0.0.0",
       {{0, 4}, {1, 5}, {9, 6}},
       {}},
      {"the counters, 10 wide, the first at an odd offset",
       "x<!--#uptime-->|<!--#requests-->|<!--#frames_in-->|"
       "<!--#frames_dropped-->",
       "x         0|         0|         0|         0",
       {{1, 0}, {12, 1}, {23, 2}, {34, 3}},
       {}},
      {"the first and last application values, 5 wide",
       "<!--#value0-->,<!--#value7-->",
       "    0,    0",
       {{0, 7}, {6, 14}},
       {}},
      {"a name in another case, blanks round a name, an include",
       "<!--#UPTIME-->\r\n<!--# uptime -->\n<!--#include virtual=\"f\" -->",
       "<!--#UPTIME-->\r\n<!--# uptime -->\n<!--#include virtual=\"f\" -->",
       {},
       {"  s.html:1: <!--#UPTIME--> names none of the server's values",
        "  s.html:2: <!--# uptime --> names none of the server's values",
        "  s.html:3: <!--#include virtual=\"f\" --> names none of the "
        "server's values"}},
      {"lines counted inside a placeholder's text; a long one cut",
       "<!--#a\nb--> <!--#0123456789012345678901234567890123456789x-->",
       "<!--#a\nb--> <!--#0123456789012345678901234567890123456789x-->",
       {},
       {"  s.html:1: <!--#a--> names none of the server's values",
        "  s.html:2: <!--#0123456789012345678901234567890123456789...--> "
        "names none of the server's values"}},
      {"unclosed after a good one: the scan stops there",
       "<!--#uptime-->\n\n<!--#ip <!--#uptime-->",
       "         0\n\n<!--#ip <!--#uptime-->",
       {{0, 0}},
       {"  s.html:3: <!--#ip <!--#uptime--> names none of the server's "
        "values"}},
      {"unclosed at the end",
       "<!--#uptime-->\n<!--#uptime",
       "         0\n<!--#uptime",
       {{0, 0}},
       {"  s.html:2: <!--# is not closed by -->"}},
      {"a zero byte and a byte past 0x7E in the text",
       std::string_view("<!--#a\0\xFF-->", 11),
       std::string_view("<!--#a\0\xFF-->", 11),
       {},
       {"  s.html:1: <!--#a?"
        "?--> names none of the server's values"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const FilledBody got = fill_placeholders(c.text, "s.html");
    EXPECT_EQ(got.body, c.want_body);
    std::vector<std::pair<std::size_t, int>> placeholders;
    for (const Placeholder& p : got.placeholders) {
      placeholders.emplace_back(p.offset, p.number);
    }
    EXPECT_EQ(placeholders, c.want_placeholders);
    EXPECT_EQ(got.faults, c.want_faults);
  }
}

TEST(SitePlaceholders, ValueListCarriesIntoTheOffsetsHighByte) {
  const Placeholder placeholders[] = {{0, 0}, {0x3D, 14}, {0xFF9E, 6}};
  EXPECT_EQ(value_list_text(placeholders, 0x61),
            "; the value list: how many, then each one's offset in the "
            "response (high\n; byte, low byte) and the number of its value\n"
            "\tretlw\t0x03\n"
            "\tretlw\t0x00\n\tretlw\t0x61\n\tretlw\t0x00\n"
            "\tretlw\t0x00\n\tretlw\t0x9E\n\tretlw\t0x0E\n"
            "\tretlw\t0xFF\n\tretlw\t0xFF\n\tretlw\t0x06\n");
  EXPECT_EQ(value_list_program_memory(3), 20u);
}

TEST(SitePagesInc, ALivePageGetsItsOwnDirectoryLine) {
  const std::string served[] = {"404.html", "index.html", "status.json"};
  const std::string live[] = {"status.json", "index.html"};
  const std::string text = pages_inc_text(served, live);
  EXPECT_NE(text.find("\n\tpage_table\tpage_1\n\tlive_page_table\tpage_2\n"
                      "\tlive_page_table\tpage_3\n\tend_of_pages\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("live"), text.find("live_page_table"));
}

// The summary once counted 2 x (L + 4) bytes a table, and every row that
// only matched its shape passed.
TEST(SiteSummary, CountsTwoBytesForEachRetlwLineWritten) {
  for (const std::size_t length : {1u, 41u, 256u, 4097u}) {
    SCOPED_TRACE(length);
    const std::vector<std::uint8_t> response(length, 0x41);
    std::string table;
    ASSERT_TRUE(write_retlw_table('i', response, 0, [&](std::string_view p) {
      table.append(p);
      return true;
    }));
    std::uint64_t lines = 0;
    for (std::size_t at = table.find("\tretlw\t"); at != std::string::npos;
         at = table.find("\tretlw\t", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(table_program_memory(length), 2 * lines);
  }
}

TEST(SiteSummary, ShareOfProgramMemoryToATenth) {
  struct Case {
    std::size_t pages;
    std::uint64_t bytes;
    const char* want;
  };
  const Case kCases[] = {
      // examples/site as 1.2.0 summed it up.
      {6, 7780,
       "pages.inc: 6 pages, 7780 bytes of program memory, 11.9% of "
       "the PIC18F4620's 64 KiB\n"},
      // 32/65536 is 0.049%, 33/65536 0.050%: the half rounds up.
      {1, 32,
       "pages.inc: 1 pages, 32 bytes of program memory, 0.0% of the "
       "PIC18F4620's 64 KiB\n"},
      {1, 33,
       "pages.inc: 1 pages, 33 bytes of program memory, 0.1% of the "
       "PIC18F4620's 64 KiB\n"},
      {9, 65536,
       "pages.inc: 9 pages, 65536 bytes of program memory, 100.0% "
       "of the PIC18F4620's 64 KiB\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(summary_line(c.pages, c.bytes), c.want);
  }
}

}  // namespace
}  // namespace http2retlw
