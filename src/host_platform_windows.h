// The Windows host's conversions, declared apart from the calls that use
// them so that a test program run under Wine can check them directly: no
// test can see what reaches a console, and Wine opens a long path with or
// without the \\?\ prefix. Windows only; the rest of the program sees
// host_platform.h.
#ifndef HTTP2RETLW_HOST_PLATFORM_WINDOWS_H_
#define HTTP2RETLW_HOST_PLATFORM_WINDOWS_H_

#include <string>
#include <string_view>

namespace http2retlw {

/// UTF-16 `text` (a Windows name, not necessarily valid) as UTF-8. An
/// unpaired surrogate becomes the 3-byte form of its value with
/// `keep_lone_surrogates`, so that to_wide() gives back the same units, and
/// U+FFFD without, for text that leaves the program.
std::string to_utf8(std::wstring_view text, bool keep_lone_surrogates);

/// The way back from to_utf8(..., true). Bytes that are not UTF-8 at all
/// (an overlong form, a value past U+10FFFF) become U+FFFD, one for each
/// byte.
std::wstring to_wide(std::string_view bytes);

/// The name to hand the Win32 file calls for `path`: a full path of MAX_PATH
/// characters or more with the \\?\ prefix (\\?\UNC\server\share\... for a
/// \\server\share\... path); a shorter or already prefixed path as given.
std::wstring long_path_form(const std::wstring& path);

/// `text` (UTF-8 with LF line ends) as it goes to WriteConsoleW: UTF-16 with
/// CR LF line ends, an unpaired surrogate kept as its own unit.
std::wstring console_text(std::string_view text);

}  // namespace http2retlw

#endif  // HTTP2RETLW_HOST_PLATFORM_WINDOWS_H_
