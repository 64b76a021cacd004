// The file system work of http2retlw-site, all in one place: listing the
// site folder, reading its files and the headers file, and writing tables,
// pages.inc and the depfile so that a reader never sees half a file and a
// file whose bytes stay the same keeps its time. Every path is UTF-8 on
// every host, as command_line_arguments() gives it.
#ifndef HTTP2RETLW_SITE_FILES_H_
#define HTTP2RETLW_SITE_FILES_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "site_rules.h"

namespace http2retlw {

/// `folder` + "/" + `name`.
std::string path_in(const std::string& folder, const std::string& name);

/// The entries directly in the folder `site`, in no particular order;
/// nothing if it is not a folder that can be listed.
std::optional<std::vector<SiteEntry>> list_site(const std::string& site);

/// The bytes of the file `path`, read whole in binary; nothing if it cannot
/// be opened or read.
std::optional<std::string> read_file_bytes(const std::string& path);

enum class WriteStatus {
  /// `path` already held the bytes and was no older than any source.
  kKept,
  kWritten,
  kFailed,
};

/// Makes `path` hold exactly `bytes`, through PATH.tmp renamed into place.
/// Leaves it untouched (its time kept) when it holds them already and is no
/// older than any of `sources`: a build tool that saw a source change then
/// sees the file made again, and nothing else does.
WriteStatus write_if_changed(const std::string& path, std::string_view bytes,
                             std::span<const std::string> sources);

/// Makes `path` hold exactly `bytes`, through PATH.tmp renamed into place,
/// whatever it held before: kWritten or kFailed.
WriteStatus replace_contents(const std::string& path, std::string_view bytes);

/// Creates the folder `path` and its parents; false if it is not a folder
/// afterwards.
bool make_folder(const std::string& path);

/// Removes the file `path` if it is there; false if it is there afterwards.
bool remove_file(const std::string& path);

}  // namespace http2retlw

#endif  // HTTP2RETLW_SITE_FILES_H_
