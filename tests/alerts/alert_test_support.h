#pragma once
// Shared by the alert suites: a clock the test moves by hand, the recorder
// started or the test skipped, and the sender's reports collected.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "alerts/alert_sender.h"
#include "core/channel.h"
#include "support/http_support.h"

namespace vorn::alert_tests {

class FakeClock final : public AlertClock {
 public:
  Instant now() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  // The sender looks at the time again every few milliseconds.
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Instant) const override {
    {
      std::lock_guard<std::mutex> own(mutex_);
      ++waits_;
    }
    waited_.notify_all();
    changed.wait_for(lock, std::chrono::milliseconds(2));
  }
  void advance(std::chrono::milliseconds by) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += by;
  }
  // Returns once the sender has read the time as it is now and gone back to
  // waiting: what that time made due has been tried by then (and a request
  // it sent has been answered). The second wait begun from here on follows
  // such a reading; the first may follow an older one.
  bool sender_settled(std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t from = waits_;
    return waited_.wait_for(lock, limit, [&] { return waits_ >= from + 2; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable waited_;
  mutable std::uint64_t waits_ = 0;
  Instant now_ = std::chrono::steady_clock::now();
};

#define START_RECORDER(name, answers)                                              \
  auto name##_started = testing_support::HttpRecorder::start(answers);             \
  if (!name##_started.ok() && name##_started.error() == testing_support::HttpRecorder::kNoPython) { \
    GTEST_SKIP() << "python3 is needed for the recording server";                  \
  }                                                                                \
  ASSERT_TRUE(name##_started.ok()) << name##_started.error();                      \
  const std::unique_ptr<testing_support::HttpRecorder> name = std::move(name##_started).value()

// The sender's reports as they arrive on the event channel.
class Reports {
 public:
  Reports() {
    auto [s, r] = Channel<WorkerEvent>::create();
    sender = s;
    receiver_ = std::move(r);
  }
  // Waits until at least n reports arrived (or the time is up).
  const std::vector<AlertReport>& wait_for(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      while (std::optional<WorkerEvent> e = receiver_.try_recv()) {
        if (auto* r = std::get_if<AlertReport>(&*e)) got_.push_back(*r);
      }
      if (got_.size() >= n || std::chrono::steady_clock::now() >= end) return got_;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::size_t count(AlertReport::Kind kind, std::string_view error = "") {
    wait_for(0, std::chrono::milliseconds(0));
    std::size_t n = 0;
    for (const AlertReport& r : got_) n += r.kind == kind && (error.empty() || r.error == error);
    return n;
  }
  Channel<WorkerEvent>::Sender sender;

 private:
  Channel<WorkerEvent>::Receiver receiver_;
  std::vector<AlertReport> got_;
};

}  // namespace vorn::alert_tests
