// Everything the converter needs from the operating system that differs
// between Windows, macOS and the other POSIX hosts.
#ifndef HTTP2RETLW_HOST_PLATFORM_H_
#define HTTP2RETLW_HOST_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace http2retlw {

/// The full path of the running executable as the operating system reports
/// it, or `fallback` (normally argv[0]) where the system has no answer.
std::string executable_path(const char* fallback);

/// Opens `path` (UTF-8 on every host, used as given) for binary reading;
/// null when it cannot be opened.
std::FILE* open_input_file(const char* path);

/// The size of `file` found by seeking to its end, if it is a regular file;
/// nothing for pipes, FIFOs, devices and directories, which have no size to
/// seek to and must be read to their end instead. Leaves the position at the
/// end; the caller rewinds.
std::optional<std::int64_t> regular_file_size(std::FILE* file);

}  // namespace http2retlw

#endif  // HTTP2RETLW_HOST_PLATFORM_H_
