#include "response_loading.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>

#include "host_platform.h"

namespace http2retlw {
namespace {

// Reads what is left of `file` in pieces, under the same size limit as
// files that can be sized. The buffer grows to the limit at most, and one
// byte more, read on its own, tells a longer input: a 32-bit host, whose
// containers hold no more than the limit, is never asked for more.
LoadResult read_to_end(std::FILE* file) {
  LoadResult result{LoadStatus::kLoaded, {}};
  ResponseBuffer& response = result.response;
  constexpr std::size_t kPiece = std::size_t{64} * 1024;
  constexpr auto kLimit = static_cast<std::size_t>(kMaxInputSize);
  for (;;) {
    const std::size_t used = response.size();
    if (used == kLimit) {
      if (std::fgetc(file) != EOF) return {LoadStatus::kTooLarge, {}};
      break;
    }
    const std::size_t piece = std::min(kPiece, kLimit - used);
    response.resize(used + piece);
    const std::size_t got = std::fread(response.data() + used, 1, piece, file);
    response.resize(used + got);
    if (got < piece) break;
  }
  if (std::ferror(file) != 0 || response.empty()) {
    return {LoadStatus::kReadFailed, {}};
  }
  return result;
}

LoadResult read_sized(std::FILE* file, std::int64_t size) {
  if (size > kMaxInputSize) return {LoadStatus::kTooLarge, {}};
  // Size 0 is what /proc and some network file systems report for files
  // that do have content; only reading tells an empty file apart.
  std::rewind(file);
  if (size == 0) return read_to_end(file);
  LoadResult result{LoadStatus::kLoaded, {}};
  result.response.resize(static_cast<std::size_t>(size));
  if (std::fread(result.response.data(), result.response.size(), 1, file) !=
      1) {
    return {LoadStatus::kReadFailed, {}};
  }
  return result;
}

// Only read from: a failed close loses nothing.
struct CloseFile {
  void operator()(std::FILE* file) const {
    static_cast<void>(std::fclose(file));
  }
};

}  // namespace

LoadResult load_response(const char* input_file) {
  const std::unique_ptr<std::FILE, CloseFile> file(open_input_file(input_file));
  if (!file) return {LoadStatus::kCannotOpen, {}};
  const std::optional<std::int64_t> size = regular_file_size(file.get());
  return size ? read_sized(file.get(), *size) : read_to_end(file.get());
}

}  // namespace http2retlw
