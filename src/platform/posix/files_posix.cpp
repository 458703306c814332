#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/paths.h"

namespace vorn::platform {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

MaybeError write_whole(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error_text();
    }
    if (n == 0) return std::string("failed to write whole buffer");
    done += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

MaybeError sync_folder_of(const std::string& path) {
  const std::string folder = parent_folder(path);
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return last_os_error_text();
  if (::fsync(dir.get()) != 0) return last_os_error_text();
  return std::nullopt;
}

}  // namespace

Result<std::string> read_file(const std::string& path) { return read_file_start(path, UINT64_MAX); }

Result<std::string> read_file_start(const std::string& path, std::uint64_t limit) {
  if (take_fault("file-read")) return Result<std::string>::failure("injected failure at file-read");
  delay_point("file-read");  // storage slow to answer
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Result<std::string>::failure(last_os_error_text());
  std::string data;
  char buffer[65536];
  while (data.size() < limit) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, limit - data.size()));
    ssize_t n = ::read(fd.get(), buffer, wanted);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Result<std::string>::failure(last_os_error_text());
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return Result<std::string>::success(std::move(data));
}

std::optional<FileStamp> file_stamp(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  const std::int64_t modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return FileStamp{static_cast<std::uint64_t>(st.st_size), modified};
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  delay_point("is-directory");  // storage slow to answer (a share that is gone)
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

MaybeError create_directories(const std::string& path) {
  if (path.empty() || is_directory(path)) return std::nullopt;
  std::string parent = parent_folder(path);
  if (!parent.empty() && parent != path) {
    if (MaybeError e = create_directories(parent)) return e;
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return last_os_error_text();
  if (!is_directory(path)) return os_error_text(ENOTDIR);
  return std::nullopt;
}

Result<OutputFile> OutputFile::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Result<OutputFile>::failure(last_os_error_text());
  return Result<OutputFile>::success(OutputFile(fd));
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
  return write_whole(static_cast<int>(handle_), data);
}

MaybeError OutputFile::flush_to_disk() {
  if (::fsync(static_cast<int>(handle_)) != 0) return last_os_error_text();
  return std::nullopt;
}

void OutputFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

MaybeError replace_file(const std::string& source, const std::string& target) {
  if (take_fault("file-replace")) return std::string("injected failure at file-replace");
  delay_point("file-replace");  // storage slow to answer
  if (::rename(source.c_str(), target.c_str()) != 0) return last_os_error_text();
  // The rename itself is only durable once the folder is synced.
  return sync_folder_of(target);
}

MaybeError remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return last_os_error_text();
  return std::nullopt;
}

MaybeError copy_file(const std::string& source, const std::string& target) {
  Result<std::string> data = read_file(source);
  if (!data.ok()) return data.error();
  Result<OutputFile> out = OutputFile::create(target);
  if (!out.ok()) return out.error();
  if (MaybeError e = out.value().write_all(data.value())) return e;
  return out.value().flush_to_disk();
}

MaybeError check_replaceable(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  // A file without any write permission is read-only, even for root.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return os_error_text(EACCES);
  return std::nullopt;
}

std::string_view text_line_end() { return "\n"; }

MaybeError append_to_file(const std::string& path, std::string_view text) {
  delay_point("file-append");  // a slow disk
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
  if (fd.get() < 0) return last_os_error_text();
  return write_whole(fd.get(), text);
}

}  // namespace vorn::platform
