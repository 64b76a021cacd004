// Everything the converter needs from the operating system that differs
// between Windows, macOS and the other POSIX hosts.
#ifndef HTTP2RETLW_HOST_PLATFORM_H_
#define HTTP2RETLW_HOST_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace http2retlw {

/// The full path of the running executable as the operating system reports
/// it (UTF-8 on Windows, as command_line_arguments() gives names), or
/// `fallback` (normally argv[0]) where the system has no answer.
std::string executable_path(const char* fallback);

/// The program's arguments, argv[0] first. Elsewhere they are argv as given.
/// On Windows they are read again from the UTF-16 command line and handed
/// out as UTF-8, the bytes a Linux build gets for the same names, because
/// argv there is in the ANSI code page, which loses or swaps characters it
/// lacks. An unpaired surrogate (Windows allows one in a name) becomes the
/// 3-byte form of its value, so open_input_file() still opens that file.
std::vector<std::string> command_line_arguments(int argc, char** argv);

/// Opens `path` (UTF-8 on every host, used as given) for binary reading;
/// null when it cannot be opened. On Windows it opens exactly the name
/// command_line_arguments() gave, also past MAX_PATH characters.
std::FILE* open_input_file(const char* path);

/// Writes `text` (UTF-8, lines ending in LF) to standard error; false if it
/// could not. Elsewhere byte for byte. On Windows a console gets it as
/// UTF-16, so names show as typed whatever the console's code page; a file
/// or pipe gets UTF-8 with CR LF line ends, an unpaired surrogate as U+FFFD.
bool write_to_stderr(std::string_view text);

/// The size of `file` found by seeking to its end, if it is a regular file;
/// nothing for pipes, FIFOs, devices and directories, which have no size to
/// seek to and must be read to their end instead. Leaves the position at the
/// end; the caller rewinds.
std::optional<std::int64_t> regular_file_size(std::FILE* file);

/// `name` (UTF-8 on every host, as command_line_arguments() gives names) as
/// a path the standard library's file calls take. Elsewhere the bytes as
/// given, whatever encoding they are in; on Windows its UTF-16 form.
std::filesystem::path host_path(const std::string& name);

/// The way back from host_path(): a name from a folder listing as the bytes
/// a Linux build gets for it (UTF-8 on Windows, a lone surrogate kept).
std::string utf8_name(const std::filesystem::path& path);

/// Moves `from` to `to` in one step, replacing `to` if it exists, so a
/// reader of `to` sees the old bytes or the new, never part of them. False
/// if it could not.
bool replace_file(const std::filesystem::path& from,
                  const std::filesystem::path& to);

}  // namespace http2retlw

#endif  // HTTP2RETLW_HOST_PLATFORM_H_
