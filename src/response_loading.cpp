#include "response_loading.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>

#include "host_platform.h"

namespace http2retlw {
namespace {

// Reads what is left of `file` in pieces, under the same size limit as
// files that can be sized.
LoadResult read_to_end(std::FILE* file) {
  LoadResult result{LoadStatus::kLoaded, {}};
  ResponseBuffer& response = result.response;
  constexpr std::size_t kPiece = std::size_t{64} * 1024;
  for (;;) {
    const std::size_t used = response.size();
    response.resize(used + kPiece);
    const std::size_t got = std::fread(response.data() + used, 1, kPiece, file);
    response.resize(used + got);
    if (response.size() > static_cast<std::size_t>(kMaxInputSize)) {
      return {LoadStatus::kTooLarge, {}};
    }
    if (got < kPiece) break;
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
