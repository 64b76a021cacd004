#include "site_files.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "host_platform.h"

namespace http2retlw {
namespace fs = std::filesystem;

std::string path_in(const std::string& folder, const std::string& name) {
  if (folder.ends_with('/')) return folder + name;
  return folder + "/" + name;
}

std::optional<std::vector<SiteEntry>> list_site(const std::string& site) {
  std::error_code error;
  fs::directory_iterator it(host_path(site), error);
  if (error) return std::nullopt;
  std::vector<SiteEntry> entries;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    const fs::directory_entry& entry = *it;
    std::error_code ignored;
    const bool is_directory = entry.is_directory(ignored);
    const std::uintmax_t size = is_directory ? 0 : entry.file_size(ignored);
    entries.push_back({utf8_name(entry.path().filename()), is_directory,
                       size == static_cast<std::uintmax_t>(-1) ? 0 : size});
  }
  if (error) return std::nullopt;
  return entries;
}

std::optional<std::string> read_file_bytes(const std::string& path) {
  std::ifstream in(host_path(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

namespace {

bool is_up_to_date(const fs::path& file, std::string_view bytes,
                   std::span<const std::string> sources) {
  std::error_code error;
  const fs::file_time_type written = fs::last_write_time(file, error);
  if (error) return false;
  for (const std::string& source : sources) {
    const fs::file_time_type changed =
        fs::last_write_time(host_path(source), error);
    if (error || changed > written) return false;
  }
  if (fs::file_size(file, error) != bytes.size() || error) return false;
  const std::optional<std::string> held = read_file_bytes(utf8_name(file));
  return held && *held == bytes;
}

}  // namespace

WriteStatus write_if_changed(const std::string& path, std::string_view bytes,
                             std::span<const std::string> sources) {
  if (is_up_to_date(host_path(path), bytes, sources)) return WriteStatus::kKept;
  return replace_contents(path, bytes);
}

WriteStatus replace_contents(const std::string& path, std::string_view bytes) {
  const fs::path target = host_path(path);
  const fs::path temporary = host_path(path + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return WriteStatus::kFailed;
    }
  }
  if (!replace_file(temporary, target)) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return WriteStatus::kFailed;
  }
  return WriteStatus::kWritten;
}

bool make_folder(const std::string& path) {
  std::error_code error;
  fs::create_directories(host_path(path), error);
  return fs::is_directory(host_path(path), error);
}

bool remove_file(const std::string& path) {
  std::error_code error;
  fs::remove(host_path(path), error);
  return !error;
}

}  // namespace http2retlw
