// The response buffer shared by every stage of the conversion.
#ifndef HTTP2RETLW_RESPONSE_H_
#define HTTP2RETLW_RESPONSE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace http2retlw {

/// The stored HTTP response, byte for byte as read from the input file.
/// Its size() is the response length. Loaded once by the driver, completed
/// in place by fill_content_length(), then only read.
using ResponseBuffer = std::vector<std::uint8_t>;

/// The table's length field holds 16 bits, so no completed response may be
/// longer than this; the firmware would otherwise serve a truncated page.
inline constexpr std::size_t kMaxTableResponseLength = 65535;

}  // namespace http2retlw

#endif  // HTTP2RETLW_RESPONSE_H_
