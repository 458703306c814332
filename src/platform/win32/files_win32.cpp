#include <windows.h>

#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/win32/wide.h"

namespace vorn::platform {
namespace {

MaybeError write_whole(HANDLE h, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, data.data() + done, chunk, &written, nullptr)) {
      if (GetLastError() == ERROR_OPERATION_ABORTED) continue;  // interrupted: retry
      return last_os_error_text();
    }
    if (written == 0) return std::string("failed to write whole buffer");
    done += written;
  }
  return std::nullopt;
}

// The attributes of what the path names, links followed as a stat does:
// GetFileAttributesW reports a symbolic link or junction itself, so a
// dangling one would count as present.
DWORD attributes_of(const std::string& path) {
  const std::wstring wide = to_wide(path);
  const DWORD own = GetFileAttributesW(wide.c_str());
  if (own == INVALID_FILE_ATTRIBUTES || (own & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return own;
  OwnedHandle target(CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!target.valid() || !GetFileInformationByHandle(target.get(), &info)) return INVALID_FILE_ATTRIBUTES;
  return info.dwFileAttributes;
}

}  // namespace

Result<std::string> read_file(const std::string& path) { return read_file_start(path, UINT64_MAX); }

Result<std::string> read_file_start(const std::string& path, std::uint64_t limit) {
  if (take_fault("file-read")) return Result<std::string>::failure("injected failure at file-read");
  delay_point("file-read");  // storage slow to answer
  OwnedHandle h(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return Result<std::string>::failure(last_os_error_text());
  std::string data;
  char buffer[65536];
  while (data.size() < limit) {
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(sizeof buffer, limit - data.size()));
    DWORD got = 0;
    if (!ReadFile(h.get(), buffer, wanted, &got, nullptr)) {
      return Result<std::string>::failure(last_os_error_text());
    }
    if (got == 0) break;
    data.append(buffer, got);
  }
  return Result<std::string>::success(std::move(data));
}

std::optional<FileStamp> file_stamp(const std::string& path) {
  // Links are followed as a stat does: the attributes of a reparse point
  // describe the link, not what it names.
  OwnedHandle h(CreateFileW(to_wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) return std::nullopt;
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const std::uint64_t written =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  return FileStamp{size, static_cast<std::int64_t>(written)};
}

bool path_exists(const std::string& path) { return attributes_of(path) != INVALID_FILE_ATTRIBUTES; }

bool is_directory(const std::string& path) {
  delay_point("is-directory");  // storage slow to answer (a share that is gone)
  DWORD a = attributes_of(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::uint64_t> file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

MaybeError create_directories(const std::string& path) {
  if (path.empty() || is_directory(path)) return std::nullopt;
  std::string parent;
  std::size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos) parent = path.substr(0, cut);
  if (!parent.empty() && !(parent.size() == 2 && parent[1] == ':')) {
    if (MaybeError e = create_directories(parent)) return e;
  }
  if (!CreateDirectoryW(to_wide(path).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return last_os_error_text();
  }
  // What exists may be a file of that name (or one still being deleted).
  if (!is_directory(path)) return os_error_text(ERROR_DIRECTORY);
  return std::nullopt;
}

Result<OutputFile> OutputFile::create(const std::string& path) {
  HANDLE h = CreateFileW(to_wide(path).c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Result<OutputFile>::failure(last_os_error_text());
  return Result<OutputFile>::success(OutputFile(reinterpret_cast<std::intptr_t>(h)));
}

OutputFile::OutputFile(std::intptr_t handle) : handle_(handle) {}
OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}
OutputFile::~OutputFile() { close(); }

MaybeError OutputFile::write_all(std::string_view data) {
  if (take_fault("file-write")) return std::string("injected failure at file-write");
  return write_whole(reinterpret_cast<HANDLE>(handle_), data);
}

MaybeError OutputFile::flush_to_disk() {
  if (!FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) return last_os_error_text();
  return std::nullopt;
}

void OutputFile::close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

MaybeError replace_file(const std::string& source, const std::string& target) {
  if (take_fault("file-replace")) return std::string("injected failure at file-replace");
  delay_point("file-replace");  // storage slow to answer
  if (!MoveFileExW(to_wide(source).c_str(), to_wide(target).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return last_os_error_text();
  }
  return std::nullopt;
}

MaybeError remove_file(const std::string& path) {
  if (!DeleteFileW(to_wide(path).c_str())) return last_os_error_text();
  return std::nullopt;
}

MaybeError copy_file(const std::string& source, const std::string& target) {
  if (!CopyFileW(to_wide(source).c_str(), to_wide(target).c_str(), FALSE)) {
    return last_os_error_text();
  }
  // The copy writes the file too: a test's write failure leaves it behind
  // as a disk that filled up midway would.
  if (take_fault("file-write")) return std::string("injected failure at file-write");
  return std::nullopt;
}

MaybeError check_replaceable(const std::string& path) {
  std::wstring wide = to_wide(path);
  DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  if (a & FILE_ATTRIBUTE_READONLY) return os_error_text(ERROR_ACCESS_DENIED);
  // Opening for writing without truncating shows a lock held by another process.
  OwnedHandle h(CreateFileW(wide.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return last_os_error_text();
  return std::nullopt;
}

std::string_view text_line_end() { return "\r\n"; }

MaybeError append_to_file(const std::string& path, std::string_view text) {
  delay_point("file-append");  // a slow disk
  OwnedHandle h(CreateFileW(to_wide(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) return last_os_error_text();
  return write_whole(h.get(), text);
}

}  // namespace vorn::platform
