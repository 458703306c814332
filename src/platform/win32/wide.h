#pragma once
// UTF-8 inside the program, UTF-16 at the Win32 boundary.
#include <windows.h>

#include <string>
#include <string_view>

namespace vorn::platform {

std::wstring to_wide(std::string_view text);
// Lossy: invalid UTF-16 becomes U+FFFD.
std::string from_wide(std::wstring_view text);

// Owns a kernel handle (process, thread, file, pipe).
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE h) : h_(h) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& o) noexcept : h_(o.release()) {}
  OwnedHandle& operator=(OwnedHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~OwnedHandle() { reset(); }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace vorn::platform
