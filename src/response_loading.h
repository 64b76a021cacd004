// Loading the input file whole into the response buffer: opening, sizing,
// reading, and the size limit.
#ifndef HTTP2RETLW_RESPONSE_LOADING_H_
#define HTTP2RETLW_RESPONSE_LOADING_H_

#include <cstdint>

#include "http2retlw/response.h"

namespace http2retlw {

/// The response length is a signed 32-bit count; longer inputs are refused.
inline constexpr std::int64_t kMaxInputSize = INT32_MAX;

enum class LoadStatus {
  kLoaded,
  /// The file could not be opened.
  kCannotOpen,
  /// Nothing was read, the read fell short, or the stream reported an error.
  kReadFailed,
  /// Longer than kMaxInputSize; found before memory is taken for it where
  /// the file can be sized.
  kTooLarge,
};

struct LoadResult {
  LoadStatus status;
  /// The file's bytes exactly as stored; empty unless kLoaded.
  ResponseBuffer response;
};

/// Loads `input_file`, a path used as given (UTF-8 on every host), whole and
/// in binary. A regular file is read in one request of its size. Anything
/// that cannot be sized that way is read to its end instead: pipes, FIFOs,
/// devices, and files that report size 0 yet have content (/proc, some
/// network file systems). A truly empty input is kReadFailed, and so is a
/// file that holds less than its size (sysfs reports 4,096 bytes for
/// attributes of a few dozen): a short read cannot be told from a failed one.
/// Throws std::bad_alloc when the response cannot be held in memory.
LoadResult load_response(const char* input_file);

}  // namespace http2retlw

#endif  // HTTP2RETLW_RESPONSE_LOADING_H_
