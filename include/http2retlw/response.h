// The response buffer shared by every stage of the conversion.
#ifndef HTTP2RETLW_RESPONSE_H_
#define HTTP2RETLW_RESPONSE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace http2retlw {

/// std::allocator, except that resize() leaves new elements uninitialised.
/// The loader and the fill-in overwrite every new byte at once; zeroing the
/// whole response first would cost as much as summing it.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  constexpr UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;  // default-, not value-initialised
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    std::construct_at(at, std::forward<Args>(args)...);
  }
};

/// The stored HTTP response, byte for byte as read from the input file.
/// Its size() is the response length. Loaded once by the driver, completed
/// in place by fill_content_length(), then only read.
using ResponseBuffer =
    std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

/// The table's length field holds 16 bits, so no completed response may be
/// longer than this; the firmware would otherwise serve a truncated page.
inline constexpr std::size_t kMaxTableResponseLength = 65535;

}  // namespace http2retlw

#endif  // HTTP2RETLW_RESPONSE_H_
