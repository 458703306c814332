#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "platform/fault_points.h"
#include "platform/folders.h"
#include "platform/os_error.h"

namespace vorn::platform {

struct FolderListing::Impl {
  DIR* dir = nullptr;
  bool broken = false;  // a failed read ends the listing
  ~Impl() {
    if (dir) ::closedir(dir);
  }
};

Result<FolderListing> FolderListing::open(const std::string& path) {
  delay_point("folder-open");
  delay_point("folder-open " + path);  // storage that hangs for one folder only
  if (take_fault("folder-open")) return Result<FolderListing>::failure("injected failure at folder-open");
  auto impl = std::make_unique<Impl>();
  impl->dir = ::opendir(path.c_str());
  if (!impl->dir) return Result<FolderListing>::failure(last_os_error_text());
  return Result<FolderListing>::success(FolderListing(std::move(impl)));
}

FolderListing::FolderListing(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FolderListing::FolderListing(FolderListing&&) noexcept = default;
FolderListing& FolderListing::operator=(FolderListing&&) noexcept = default;
FolderListing::~FolderListing() = default;

std::optional<Result<FolderEntry>> FolderListing::next() {
  while (!impl_->broken) {
    errno = 0;
    dirent* d = ::readdir(impl_->dir);
    if (!d) {
      if (errno == 0) return std::nullopt;
      impl_->broken = true;
      return Result<FolderEntry>::failure(last_os_error_text());
    }
    std::string_view name = d->d_name;
    if (name == "." || name == "..") continue;
    if (take_fault("folder-entry")) return Result<FolderEntry>::failure("injected failure at folder-entry");
    struct stat st;
    if (::fstatat(::dirfd(impl_->dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return Result<FolderEntry>::failure(last_os_error_text());
    }
    FolderEntry entry;
    entry.name = std::string(name);  // raw bytes; the caller checks them
    entry.is_link = S_ISLNK(st.st_mode);
    entry.is_directory = S_ISDIR(st.st_mode);
    // A link to a folder is listed as a folder too, as Windows lists a
    // junction or a folder link: readers skip links by is_link.
    struct stat target;
    if (entry.is_link && ::fstatat(::dirfd(impl_->dir), d->d_name, &target, 0) == 0) {
      entry.is_directory = S_ISDIR(target.st_mode);
    }
    entry.size_bytes = static_cast<std::uint64_t>(st.st_size);
    entry.modified_unix_secs = st.st_mtim.tv_sec > 0 ? static_cast<std::uint64_t>(st.st_mtim.tv_sec) : 0;
    return Result<FolderEntry>::success(std::move(entry));
  }
  return std::nullopt;
}

Result<std::uint64_t> free_disk_space(const std::string& path) {
  if (take_fault("free-space")) return Result<std::uint64_t>::failure("injected failure at free-space");
  struct statvfs vfs;
  if (::statvfs(path.c_str(), &vfs) != 0) return Result<std::uint64_t>::failure(last_os_error_text());
  return Result<std::uint64_t>::success(static_cast<std::uint64_t>(vfs.f_bavail) *
                                        static_cast<std::uint64_t>(vfs.f_frsize));
}

}  // namespace vorn::platform
