// The retlw table: PIC assembler source that carries one response.
//
// One line per table entry, in this order:
//
//   (empty line)
//   <TAB>retlw<TAB>'<tag>'        the tag byte, raw, between single quotes
//   <TAB>retlw<TAB>0xHH           length, bits 15..8
//   <TAB>retlw<TAB>0xHH           length, bits 7..0
//   <TAB>retlw<TAB>0xHH           sum, bits 15..8
//   <TAB>retlw<TAB>0xHH           sum, bits 7..0
//   <TAB>retlw<TAB>0xHH           one line per response byte, in order
//   (two empty lines)
//
// Hex digits are upper case, always two. For the tag 'i' and the three bytes
// "abc" (sum 0xC462) the table is:
//
//   "\n\tretlw\t'i'\n"
//   "\tretlw\t0x00\n" "\tretlw\t0x03\n" "\tretlw\t0xC4\n" "\tretlw\t0x62\n"
//   "\tretlw\t0x61\n" "\tretlw\t0x62\n" "\tretlw\t0x63\n"
//   "\n\n"
//
// That is 62 + 12 * length bytes; on a host whose text streams end lines in
// CR LF, 70 + 13 * length.
#ifndef HTTP2RETLW_RETLW_TABLE_H_
#define HTTP2RETLW_RETLW_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace http2retlw {

/// Receives the table text piece by piece, in order; returns false if the
/// text could not be delivered, which stops the writer.
using TableSink = std::function<bool(std::string_view)>;

/// The writer hands the sink pieces of at most this many bytes: 1,024 lines,
/// three 4 KiB pages.
inline constexpr std::size_t kTableChunkSize = std::size_t{12} * 1024;

/// The exact size of the table for a response of `length` bytes, with LF
/// line ends.
constexpr std::size_t retlw_table_size(std::size_t length) {
  return 62 + 12 * length;
}

/// Writes the table for `response` to `sink`. The length lines carry the low
/// 16 bits of response.size(); the data lines carry every byte.
/// Returns false as soon as the sink refuses a piece, true otherwise.
bool write_retlw_table(std::uint8_t tag, std::span<const std::uint8_t> response,
                       std::uint16_t sum, const TableSink& sink);

}  // namespace http2retlw

#endif  // HTTP2RETLW_RETLW_TABLE_H_
