// 64-bit file offsets on 32-bit glibc hosts (i686, armhf): without them a
// file of 2 GiB or more cannot be sized, and would be misread instead of
// refused as too large. It must come before every system header, so it
// stands here rather than only in a compiler flag.
#if !defined(_FILE_OFFSET_BITS)
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#define _FILE_OFFSET_BITS 64
#endif

// Linux, macOS and the other POSIX hosts: arguments and names are bytes as
// given; only the program's own path differs between them.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "host_platform.h"

namespace http2retlw {

std::string executable_path(const char* fallback) {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // asks for the size it needs
  std::vector<char> path(size + 1);
  if (_NSGetExecutablePath(path.data(), &size) == 0) {
    std::vector<char> resolved(PATH_MAX);
    if (realpath(path.data(), resolved.data()) != nullptr) {
      return resolved.data();
    }
    return path.data();
  }
#else
  // readlink does not say whether it truncated; grow until the answer is
  // shorter than the buffer.
  std::vector<char> path(256);
  for (;;) {
    const ssize_t size = readlink("/proc/self/exe", path.data(), path.size());
    if (size < 0) break;
    if (static_cast<std::size_t>(size) < path.size()) {
      return std::string(path.data(), static_cast<std::size_t>(size));
    }
    path.resize(path.size() * 2);
  }
#endif
  return fallback;
}

static_assert(sizeof(off_t) >= 8, "files of 2 GiB or more need 64-bit off_t");

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return {argv, argv + argc};
}

std::FILE* open_input_file(const char* path) { return std::fopen(path, "rb"); }

bool write_to_stderr(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stderr) == text.size();
}

std::optional<std::int64_t> regular_file_size(std::FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
  const off_t size = ftello(file);
  if (size < 0) return std::nullopt;
  return static_cast<std::int64_t>(size);
}

std::filesystem::path host_path(const std::string& name) { return name; }

std::string utf8_name(const std::filesystem::path& path) {
  return path.string();
}

bool replace_file(const std::filesystem::path& from,
                  const std::filesystem::path& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace http2retlw
