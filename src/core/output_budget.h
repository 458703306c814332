#pragma once
// How much miner output waits for the GUI thread. A miner can write far
// faster than the window takes its lines; past the limit the readers pause,
// which holds the miner back through its pipe, and no line is lost.
#include <atomic>
#include <cstddef>

namespace vorn {

inline constexpr std::size_t kQueuedOutputLimit = 8u << 20;

class OutputBudget {
 public:
  explicit OutputBudget(std::size_t limit = kQueuedOutputLimit) : limit_(limit) {}
  // Readers: whether they must wait before sending more.
  bool full() const { return queued_.load(std::memory_order_acquire) >= limit_; }
  void queued(std::size_t bytes) { queued_.fetch_add(bytes, std::memory_order_acq_rel); }
  // The GUI thread, once a line is handled.
  void handled(std::size_t bytes) { queued_.fetch_sub(bytes, std::memory_order_acq_rel); }
  std::size_t waiting() const { return queued_.load(std::memory_order_acquire); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> queued_{0};
};

}  // namespace vorn
