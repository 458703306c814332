#pragma once
// The latest metrics text, made on the window thread and read by the
// listener's and the textfile's threads: an immutable text behind a shared
// pointer, swapped under a lock that is held only for the swap.
#include <memory>
#include <mutex>
#include <string>

namespace vorn {

class SnapshotBox {
 public:
  void set(std::string text) {
    auto shared = std::make_shared<const std::string>(std::move(text));
    std::lock_guard lock(mutex_);
    text_ = std::move(shared);
  }
  // None before the first snapshot.
  std::shared_ptr<const std::string> get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> text_;
};

}  // namespace vorn
