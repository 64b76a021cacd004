// 64-bit file offsets on 32-bit glibc hosts (i686, armhf): without them a
// file of 2 GiB or more cannot be sized, and would be misread instead of
// refused as too large. It must come before every system header, so it
// stands here rather than only in a compiler flag.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif

#include "host_platform.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstdlib>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>
#include <unistd.h>
#else
#include <unistd.h>
#endif

namespace http2retlw {

#if defined(_WIN32)

std::string executable_path(const char* fallback) {
  // GetModuleFileName truncates silently; grow the buffer until it fits.
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD size = GetModuleFileNameA(nullptr, path.data(),
                                          static_cast<DWORD>(path.size()));
    if (size == 0) break;
    if (size < path.size()) return std::string(path.data(), size);
    if (path.size() >= 32768) break;  // the longest path Windows allows
    path.resize(path.size() * 2);
  }
  return fallback;
}

std::FILE* open_input_file(const char* path) { return std::fopen(path, "rb"); }

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

#else  // POSIX

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

std::FILE* open_input_file(const char* path) { return std::fopen(path, "rb"); }

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

#endif

}  // namespace http2retlw
