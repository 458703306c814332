#pragma once
// The one thread that delivers alerts and heartbeat pings. The window
// thread queues and returns at once; every delivery's end (sent, given up,
// dropped) and every ping's outcome comes back as an AlertReport event.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alerts/alert.h"
#include "core/channel.h"
#include "core/worker_event.h"
#include "platform/gui.h"

namespace vorn {

inline constexpr std::size_t kAlertQueueLimit = 100;
// The pauses before the second, third and fourth attempt.
inline constexpr std::chrono::seconds kAlertRetryPauses[] = {std::chrono::seconds(10), std::chrono::seconds(60),
                                                             std::chrono::seconds(300)};
inline constexpr std::chrono::seconds kRetryAfterLimit{300};
inline constexpr std::chrono::milliseconds kAlertExitWait{2000};

// The sender's time: the steady clock, or one a test moves by hand.
class AlertClock {
 public:
  using Instant = std::chrono::steady_clock::time_point;
  virtual ~AlertClock() = default;
  virtual Instant now() const = 0;
  // Waits (with `lock` held on entry and return) until `until`, a wake-up
  // on `changed`, or a moment of the clock's choosing, whichever is first.
  virtual void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Instant until) const = 0;
};
std::shared_ptr<const AlertClock> steady_alert_clock();

struct AlertSenderSetup {
  Channel<WorkerEvent>::Sender events;
  platform::gui::NoticeTarget notice;
  std::shared_ptr<const AlertClock> clock = steady_alert_clock();
  std::chrono::milliseconds exit_wait = kAlertExitWait;
};

class AlertSender {
 public:
  explicit AlertSender(AlertSenderSetup setup);
  // Waits at most the exit wait for deliveries that are due now; later
  // retries are not waited for.
  ~AlertSender();
  AlertSender(const AlertSender&) = delete;
  AlertSender& operator=(const AlertSender&) = delete;

  // Queues `alert` for each channel whose min_level it reaches. Past 100
  // alerts the oldest one that is not being sent is dropped (reported as
  // not delivered).
  void send(const Alert& alert, const std::vector<AlertChannel>& channels);
  // One GET to `url` as soon as the thread is free; a ping not yet begun is
  // replaced by this one.
  void ping(std::string url);
  // Alerts waiting or being sent.
  std::size_t alerts_waiting() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace vorn
