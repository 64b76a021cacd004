// Completing the blank Content-Length header of a stored response.
#ifndef HTTP2RETLW_CONTENT_LENGTH_FILL_H_
#define HTTP2RETLW_CONTENT_LENGTH_FILL_H_

#include <cstddef>

#include "http2retlw/response.h"

namespace http2retlw {

enum class FillStatus {
  kFilled,
  /// No "Content-Length:" ahead of the first zero byte.
  kNoEntry,
  /// No "\r\n\r\n" ahead of the first zero byte.
  kNoDelimiter,
  /// The entry's line does not end in a CR LF pair: a bare CR or LF comes
  /// first, or no pair follows before a zero byte or the end of the data.
  kNoEntryLineEnd,
  /// The completed response would exceed kMaxTableResponseLength.
  kTooLongForTable,
};

struct FillResult {
  FillStatus status;
  /// The completed length. Also set for kTooLongForTable, so the caller can
  /// say how long the response would have been; 0 for the other failures.
  std::size_t completed_length;
};

/// Fills the body length into the response's first "Content-Length:" entry.
///
/// The body is everything after the first "\r\n\r\n". The entry's whole line,
/// from "Content-Length:" through its CR LF, is replaced by
/// "Content-Length: <body length>\r\n", and everything after that line moves
/// so the response stays contiguous. Both searches stop at the first zero
/// byte, which hides the text after it; the body itself may hold any bytes.
///
/// On kFilled, `response` holds the completed response and its size() equals
/// completed_length. On any failure `response` is left unchanged.
/// Throws std::bad_alloc if the buffer cannot grow.
FillResult fill_content_length(ResponseBuffer& response);

}  // namespace http2retlw

#endif  // HTTP2RETLW_CONTENT_LENGTH_FILL_H_
