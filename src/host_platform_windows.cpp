// The Windows host: UTF-16 command line and file names, console output,
// the program's path from the module, 64-bit file sizes.
#include "host_platform_windows.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "host_platform.h"

namespace http2retlw {

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool is_high_surrogate(std::uint32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& bytes, std::uint32_t code) {
  const auto byte = [&bytes](std::uint32_t value) {
    bytes.push_back(static_cast<char>(static_cast<unsigned char>(value)));
  };
  if (code < 0x80) {
    byte(code);
  } else if (code < 0x800) {
    byte(0xC0 | (code >> 6));
    byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    byte(0xE0 | (code >> 12));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  } else {
    byte(0xF0 | (code >> 18));
    byte(0x80 | ((code >> 12) & 0x3F));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  }
}

}  // namespace

// Windows names are UTF-16 and need not be valid: an unpaired surrogate is
// a legal file name. Inside the program they are UTF-8, the bytes a Linux
// build sees for the same name. With `keep_lone_surrogates` an unpaired
// surrogate gets the 3-byte form UTF-8 would give its value (as WTF-8
// does), so to_wide() gives back exactly the same units and the name still
// opens its own file; otherwise it becomes U+FFFD, for text that leaves the
// program.
std::string to_utf8(std::wstring_view text, bool keep_lone_surrogates) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (is_high_surrogate(code) && i + 1 < text.size() &&
        is_low_surrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00U);
      ++i;
    } else if (!keep_lone_surrogates &&
               (is_high_surrogate(code) || is_low_surrogate(code))) {
      code = kReplacement;
    }
    append_utf8(bytes, code);
  }
  return bytes;
}

// The way back from to_utf8(). MultiByteToWideChar would turn the 3-byte
// form of a surrogate into U+FFFD and so open another file. Bytes that are
// not UTF-8 at all (no name from Windows gives them), overlong forms and
// values past U+10FFFF among them, become U+FFFD, one for each byte.
std::wstring to_wide(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC0 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                                             : 0;
    std::uint32_t code = length == 1 ? lead : lead & (0x7FU >> length);
    bool valid = length != 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3FU);
    }
    // An overlong form (C0 AF, E0 80 AF, F0 80 80 AF for '/') is not the
    // name's byte: taken as one, it could reach another file.
    constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!valid || code < kShortest[length] || code > 0x10FFFF) {
      wide.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      wide.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(code));
    }
    i += length;
  }
  return wide;
}

// A path of MAX_PATH (260) characters or more fails in the plain Win32 file
// calls unless it carries the \\?\ prefix, which hands it to the file
// system as it is. The manifest's longPathAware setting alone would not do:
// Windows honours it only where the LongPathsEnabled policy is switched on
// (off by default), and Wine ignores it. The prefix needs a full path
// without "." or ".." (GetFullPathNameW gives one, and turns / into \), so
// shorter paths are left exactly as given.
std::wstring long_path_form(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD size =
      GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (size == 0 || size >= needed) return path;
  full.resize(size);
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\?\\") ||
      full.starts_with(L"\\\\.\\")) {
    return path;
  }
  // \\server\share\... becomes \\?\UNC\server\share\...
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC" + full.substr(1);
  }
  return L"\\\\?\\" + full;
}

std::wstring console_text(std::string_view text) {
  std::wstring lines;
  for (const wchar_t unit : to_wide(text)) {
    if (unit == L'\n') lines.push_back(L'\r');
    lines.push_back(unit);
  }
  return lines;
}

std::string executable_path(const char* fallback) {
  // GetModuleFileName truncates silently; grow the buffer until it fits.
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD size = GetModuleFileNameW(nullptr, path.data(),
                                          static_cast<DWORD>(path.size()));
    if (size == 0) break;
    if (size < path.size()) return to_utf8({path.data(), size}, true);
    if (path.size() >= 32768) break;  // the longest path Windows allows
    path.resize(path.size() * 2);
  }
  return fallback;
}

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  // argv holds the command line in the ANSI code page, where characters it
  // lacks become '?' or a look-alike (σ becomes s): read the UTF-16 original.
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    arguments.push_back(to_utf8(wide.get()[i], true));
  }
  return arguments;
}

std::FILE* open_input_file(const char* path) {
  return _wfopen(long_path_form(to_wide(path)).c_str(), L"rb");
}

bool write_to_stderr(std::string_view text) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      GetConsoleMode(handle, &mode) != 0) {
    // A console shows UTF-16 as typed, whatever its code page.
    const std::wstring lines = console_text(text);
    for (std::size_t done = 0; done < lines.size();) {
      DWORD written = 0;
      if (WriteConsoleW(handle, lines.data() + done,
                        static_cast<DWORD>(lines.size() - done), &written,
                        nullptr) == 0 ||
          written == 0) {
        return false;
      }
      done += written;
    }
    return true;
  }
  // A file or pipe gets UTF-8; the text stream turns LF into CR LF.
  const std::string bytes = to_utf8(to_wide(text), false);
  return std::fwrite(bytes.data(), 1, bytes.size(), stderr) == bytes.size() &&
         std::fflush(stderr) == 0;
}

std::optional<std::int64_t> regular_file_size(std::FILE* file) {
  struct _stat64 info;
  if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFREG) == 0) {
    return std::nullopt;
  }
  if (_fseeki64(file, 0, SEEK_END) != 0) return std::nullopt;
  const std::int64_t size = _ftelli64(file);
  if (size < 0) return std::nullopt;
  return size;
}

std::filesystem::path host_path(const std::string& name) {
  return std::filesystem::path(to_wide(name));
}

std::string utf8_name(const std::filesystem::path& path) {
  return to_utf8(path.native(), true);
}

bool replace_file(const std::filesystem::path& from,
                  const std::filesystem::path& to) {
  // rename() refuses an existing target on Windows; MoveFileEx replaces it.
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace http2retlw
