// The Windows platform file's functions, checked one row at a time where
// whole runs under Wine cannot see them: unpaired surrogates, the \\?\ forms
// (Wine opens a long path without them), the text a console gets, and the
// program's own path beyond MAX_PATH (Wine starts no program there through
// CreateProcessW, so no whole run can show a path taken from argv[0]).
//
//   host_platform_windows_test.exe WINDOWS_PATH_OF_THIS_PROGRAM
//
// Prints "PASS  NAME" or "FAIL  NAME: REASONS" for each row, as
// run_wine_tests.sh does for its own rows, and exits 1 if any row failed.
#include "host_platform_windows.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

#include "host_platform.h"

namespace http2retlw {
namespace {

int failures = 0;

// Units or bytes in hex, from `from` on, at most 12 of them: a path of 300
// units shows only around its first difference.
template <typename Text>
std::string shown(const Text& text, std::size_t from) {
  const int digits = sizeof(text[0]) == 1 ? 2 : 4;
  std::string hex;
  for (std::size_t i = from; i < text.size() && i < from + 12; ++i) {
    char unit[8];
    std::snprintf(
        unit, sizeof unit, " %0*X", digits,
        static_cast<unsigned>(
            static_cast<std::make_unsigned_t<typename Text::value_type>>(
                text[i])));
    hex += unit;
  }
  return (from > 0 ? " ..." : "") + hex +
         (from + 12 < text.size() ? " ..." : "");
}

// One line per row: PASS, or FAIL with every check of the row that failed.
void report(const char* name, const std::string& reasons) {
  if (reasons.empty()) {
    std::printf("PASS  %s\n", name);
  } else {
    std::printf("FAIL  %s:%s\n", name, reasons.c_str());
    ++failures;
  }
}

template <typename Text>
void expect(std::string& reasons, const char* what, const Text& got,
            const Text& want) {
  if (got == want) return;
  std::size_t same = 0;
  while (same < got.size() && same < want.size() && got[same] == want[same]) {
    ++same;
  }
  const std::size_t from = same < 4 ? 0 : same - 4;
  reasons += std::string(" ") + what + " gave" + shown(got, from) + ", want" +
             shown(want, from) + " (" + std::to_string(got.size()) + " and " +
             std::to_string(want.size()) + " long);";
}

// Names as Windows hands them over: each unit is exactly what the row says,
// whether or not it pairs up.
struct NameCase {
  const char* name;
  std::wstring_view utf16;
  std::string_view kept;      // to_utf8(utf16, true), the bytes of a name
  std::string_view replaced;  // to_utf8(utf16, false), text for a file
};

constexpr NameCase kNameCases[] = {
    {"lone high surrogate D800 before a letter", L"a\xD800.", "a\xED\xA0\x80.",
     "a\xEF\xBF\xBD."},
    {"lone low surrogate DC00 after a letter", L"z\xDC00", "z\xED\xB0\x80",
     "z\xEF\xBF\xBD"},
    {"lone low surrogate DFFF", L"\xDFFFz", "\xED\xBF\xBFz", "\xEF\xBF\xBDz"},
    {"high before high, then a pair: U+10000", L"\xD800\xD800\xDC00",
     "\xED\xA0\x80\xF0\x90\x80\x80", "\xEF\xBF\xBD\xF0\x90\x80\x80"},
    {"U+10FFFF, the last pair DBFF DFFF", L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF",
     "\xF4\x8F\xBF\xBF"},
};

void check_names() {
  for (const NameCase& c : kNameCases) {
    std::string reasons;
    expect(reasons, "to_utf8 keeping", to_utf8(c.utf16, true),
           std::string(c.kept));
    expect(reasons, "to_utf8 replacing", to_utf8(c.utf16, false),
           std::string(c.replaced));
    expect(reasons, "to_wide", to_wide(c.kept), std::wstring(c.utf16));
    report(c.name, reasons);
  }
}

// Bytes no Windows name gives, as to_wide() must take them: one U+FFFD for
// each byte, so that no other name, and no separator, can come of them.
struct BytesCase {
  const char* name;
  std::string_view bytes;
  std::wstring_view want;
};

constexpr BytesCase kBytesCases[] = {
    {"F4 90 80 80, U+110000, past the last code point", "a\xF4\x90\x80\x80",
     L"a\xFFFD\xFFFD\xFFFD\xFFFD"},
    {"F7 BF BF BF, the largest 4-byte form", "\xF7\xBF\xBF\xBFz",
     L"\xFFFD\xFFFD\xFFFD\xFFFDz"},
    {"overlong '/' in 2 bytes, C0 AF", "..\xC0\xAFpage.htm",
     L"..\xFFFD\xFFFDpage.htm"},
    {"overlong '/' in 3 bytes, E0 80 AF", "..\xE0\x80\xAFpage.htm",
     L"..\xFFFD\xFFFD\xFFFDpage.htm"},
    {"overlong '/' in 4 bytes, F0 80 80 AF", "..\xF0\x80\x80\xAFpage.htm",
     L"..\xFFFD\xFFFD\xFFFD\xFFFDpage.htm"},
    {"overlong '.' in 2 bytes, C0 AE", "\xC0\xAE\xC0\xAE/page.htm",
     L"\xFFFD\xFFFD\xFFFD\xFFFD/page.htm"},
    {"overlong U+FFFF in 4 bytes, F0 8F BF BF", "\xF0\x8F\xBF\xBF",
     L"\xFFFD\xFFFD\xFFFD\xFFFD"},
};

void check_bytes() {
  for (const BytesCase& c : kBytesCases) {
    std::string reasons;
    expect(reasons, "to_wide", to_wide(c.bytes), std::wstring(c.want));
    report(c.name, reasons);
  }
}

// 257 characters: after "C:\" a path of exactly MAX_PATH (260).
const std::wstring kLong(257, L'x');

struct PathCase {
  const char* name;
  std::wstring path;
  std::wstring want;
};

void check_long_paths() {
  const PathCase cases[] = {
      {"drive path of MAX_PATH characters", L"C:\\" + kLong,
       L"\\\\?\\C:\\" + kLong},
      {"drive path with / separators", L"C:/" + kLong + L"/page.htm",
       L"\\\\?\\C:\\" + kLong + L"\\page.htm"},
      {"share path", L"\\\\server\\share\\" + kLong,
       L"\\\\?\\UNC\\server\\share\\" + kLong},
      {"share path with / separators", L"//server/share/" + kLong,
       L"\\\\?\\UNC\\server\\share\\" + kLong},
      {"prefixed drive path, as given", L"\\\\?\\C:\\" + kLong,
       L"\\\\?\\C:\\" + kLong},
      {"device path, as given", L"\\\\.\\C:\\" + kLong, L"\\\\.\\C:\\" + kLong},
      {"short relative path, as given", L"sub/page.htm", L"sub/page.htm"},
  };
  for (const PathCase& c : cases) {
    std::string reasons;
    expect(reasons, "long_path_form", long_path_form(c.path), c.want);
    report(c.name, reasons);
  }
}

struct ConsoleCase {
  const char* name;
  std::string_view utf8;
  std::wstring_view want;
};

constexpr ConsoleCase kConsoleCases[] = {
    {"console: each LF after a CR", "a\nb\n", L"a\r\nb\r\n"},
    {"console: Greek and CJK as UTF-16", "\xCF\x83\xE9\xA1\xB5\n",
     L"\x03C3\x9875\r\n"},
    {"console: unpaired surrogate kept as its unit", "m\xED\xA0\x80.htm\n",
     L"m\xD800.htm\r\n"},
};

void check_console_text() {
  for (const ConsoleCase& c : kConsoleCases) {
    std::string reasons;
    expect(reasons, "console_text", console_text(c.utf8), std::wstring(c.want));
    report(c.name, reasons);
  }
}

// Run from a folder whose path is longer than MAX_PATH, so that a buffer
// that stops growing at 260 shows, as does the fallback taken in its place.
void check_executable_path(const char* want) {
  std::string reasons;
  if (want == nullptr) {
    reasons = " no expected path given";
  } else {
    expect(reasons, "executable_path", executable_path("fallback"),
           std::string(want));
  }
  report("program path over MAX_PATH", reasons);
}

}  // namespace
}  // namespace http2retlw

int main(int argc, char** argv) {
  http2retlw::check_names();
  http2retlw::check_bytes();
  http2retlw::check_long_paths();
  http2retlw::check_console_text();
  http2retlw::check_executable_path(argc == 2 ? argv[1] : nullptr);
  return http2retlw::failures == 0 ? 0 : 1;
}
