#pragma once
// How much miner output waits for the GUI thread. A miner can write far
// faster than the window takes its lines; past the limit the readers pause,
// which holds the miner back through its pipe, and no line is lost.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn {

inline constexpr std::size_t kQueuedOutputLimit = 8u << 20;

// Counted signed: a line handled that no reader counted (one sent by a
// test) lowers the count instead of wrapping it round to "full" for good.
class OutputBudget {
 public:
  explicit OutputBudget(std::size_t limit = kQueuedOutputLimit) : limit_(static_cast<std::int64_t>(limit)) {}
  // Readers: whether they must wait before sending more.
  bool full() const { return queued_.load(std::memory_order_acquire) >= limit_; }
  void queued(std::size_t bytes) { queued_.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_acq_rel); }
  // The GUI thread, once a line is handled.
  void handled(std::size_t bytes) { queued_.fetch_sub(static_cast<std::int64_t>(bytes), std::memory_order_acq_rel); }
  std::int64_t waiting() const { return queued_.load(std::memory_order_acquire); }

  // Readers wake the window only when no wake-up of theirs waits to be
  // handled: under a flood, wake-ups queued by the thousand would keep the
  // window's own messages waiting behind them. True: this reader wakes it.
  bool claim_wake() { return !wake_pending_.exchange(true, std::memory_order_acq_rel); }
  // The GUI thread, before it takes events: lines sent from now on need a
  // new wake-up.
  void wake_taken() { wake_pending_.store(false, std::memory_order_release); }

 private:
  const std::int64_t limit_;
  std::atomic<std::int64_t> queued_{0};
  std::atomic<bool> wake_pending_{false};
};

}  // namespace vorn
