#include <windows.h>

#include "platform/fault_points.h"
#include "platform/folders.h"
#include "platform/os_error.h"
#include "platform/win32/wide.h"

namespace vorn::platform {
namespace {

constexpr DWORD kNameSurrogateBit = 0x20000000;
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

bool valid_utf16(const wchar_t* name) {
  for (const wchar_t* p = name; *p; ++p) {
    if (*p >= 0xD800 && *p <= 0xDBFF) {
      if (!(p[1] >= 0xDC00 && p[1] <= 0xDFFF)) return false;
      ++p;
    } else if (*p >= 0xDC00 && *p <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

FolderEntry entry_from(const WIN32_FIND_DATAW& data) {
  FolderEntry e;
  e.name = from_wide(data.cFileName);
  e.name_is_text = valid_utf16(data.cFileName);
  e.is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
              (data.dwReserved0 & kNameSurrogateBit);
  e.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  e.size_bytes = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  std::uint64_t t = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
  e.modified_unix_secs = t > kUnixEpochAsFileTime ? (t - kUnixEpochAsFileTime) / 10000000ull : 0;
  return e;
}

}  // namespace

struct FolderListing::Impl {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data{};
  bool have_data = false;  // `data` holds an entry not yet returned
  bool done = false;
  ~Impl() {
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
};

Result<FolderListing> FolderListing::open(const std::string& path) {
  delay_point("folder-open");
  if (take_fault("folder-open")) return Result<FolderListing>::failure("injected failure at folder-open");
  auto impl = std::make_unique<Impl>();
  std::wstring pattern = to_wide(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  impl->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &impl->data,
                                FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (impl->find == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return Result<FolderListing>::failure(last_os_error_text());
    impl->done = true;  // an empty folder (not even "." listed)
  } else {
    impl->have_data = true;
  }
  return Result<FolderListing>::success(FolderListing(std::move(impl)));
}

FolderListing::FolderListing(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FolderListing::FolderListing(FolderListing&&) noexcept = default;
FolderListing& FolderListing::operator=(FolderListing&&) noexcept = default;
FolderListing::~FolderListing() = default;

std::optional<Result<FolderEntry>> FolderListing::next() {
  while (!impl_->done) {
    if (!impl_->have_data) {
      if (!FindNextFileW(impl_->find, &impl_->data)) {
        impl_->done = true;
        if (GetLastError() == ERROR_NO_MORE_FILES) return std::nullopt;
        return Result<FolderEntry>::failure(last_os_error_text());
      }
    }
    impl_->have_data = false;
    std::wstring_view name = impl_->data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (take_fault("folder-entry")) return Result<FolderEntry>::failure("injected failure at folder-entry");
    return Result<FolderEntry>::success(entry_from(impl_->data));
  }
  return std::nullopt;
}

Result<std::uint64_t> free_disk_space(const std::string& path) {
  if (take_fault("free-space")) return Result<std::uint64_t>::failure("injected failure at free-space");
  // The folder with a trailing backslash: a share's root ("\\server\share")
  // is refused without it.
  std::wstring folder = to_wide(path);
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
    return Result<std::uint64_t>::failure(last_os_error_text());
  }
  return Result<std::uint64_t>::success(available.QuadPart);
}

}  // namespace vorn::platform
