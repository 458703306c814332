#pragma once
#include <sys/types.h>
#include <unistd.h>

#include "platform/process.h"

namespace vorn::platform {

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct HeldProcess::Impl {
  UniqueFd pidfd;
  std::string image;
};

struct PipeReader::Impl {
  UniqueFd fd;
};

struct ChildProcess::Impl {
  pid_t pid = 0;
  UniqueFd pidfd;  // names exactly this child, even if its pid were reused
  std::optional<PipeReader> stdout_pipe, stderr_pipe;
  std::optional<std::uint32_t> exit_code;  // once it ended
  bool reaped = false;
};

void reap(ChildProcess::Impl* impl);

}  // namespace vorn::platform
