#pragma once
// Folder listing and disk space, for the plot scanner.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"

namespace vorn::platform {

struct FolderEntry {
  // The entry's name: UTF-8 converted from UTF-16 (lossy) on Windows, the
  // raw bytes elsewhere.
  std::string name;
  bool name_is_text = true;  // false when the UTF-16 name was not valid Unicode
  bool is_link = false;      // symbolic link or junction: never followed
  bool is_directory = false;
  std::uint64_t size_bytes = 0;
  // Last write time, whole seconds since 1970 (0 for earlier times).
  std::uint64_t modified_unix_secs = 0;
};

// The direct entries of one folder, in the file system's order, without
// "." and "..". Sizes and times come from the listing itself.
class FolderListing {
 public:
  struct Impl;
  static Result<FolderListing> open(const std::string& path);
  FolderListing(FolderListing&&) noexcept;
  FolderListing& operator=(FolderListing&&) noexcept;
  ~FolderListing();

  // Nothing at the end; an entry, or the error of one that could not be read.
  std::optional<Result<FolderEntry>> next();

 private:
  explicit FolderListing(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Bytes available to the current user on the volume of `path`.
Result<std::uint64_t> free_disk_space(const std::string& path);

}  // namespace vorn::platform
