// The 16-bit sum the table carries ahead of the response bytes.
#ifndef HTTP2RETLW_TABLE_CHECKSUM_H_
#define HTTP2RETLW_TABLE_CHECKSUM_H_

#include <cstdint>
#include <span>

namespace http2retlw {

/// The one's-complement sum of `bytes` (the Internet checksum of RFC 1071
/// before its final complement). Bytes pair up as big-endian 16-bit words;
/// an odd last byte is the high byte of a word whose low byte is zero.
/// Exact for any length, on any host. The result is never complemented:
/// 0xFFFF stays 0xFFFF.
std::uint16_t table_checksum(std::span<const std::uint8_t> bytes);

}  // namespace http2retlw

#endif  // HTTP2RETLW_TABLE_CHECKSUM_H_
