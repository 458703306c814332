#include "alerts/alert_sender.h"

#include <deque>
#include <optional>

#include "alerts/alert_request.h"
#include "platform/fault_points.h"
#include "core/crash_guard.h"
#include "platform/http_client.h"

namespace vorn {
namespace {

using Instant = AlertClock::Instant;

class SteadyAlertClock final : public AlertClock {
 public:
  Instant now() const override { return std::chrono::steady_clock::now(); }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Instant until) const override {
    changed.wait_until(lock, until);
  }
};

// One channel's delivery of one alert.
struct Job {
  AlertChannel channel;
  int attempts = 0;
  Instant due;
};

struct Pending {
  Alert alert;
  std::vector<Job> jobs;
  bool sending = false;
};

bool reaches(AlertLevel level, AlertLevel min_level) { return static_cast<int>(level) >= static_cast<int>(min_level); }

AlertReport delivery_report(AlertReport::Kind kind, const AlertChannel& channel, std::string error = "") {
  AlertReport r;
  r.kind = kind;
  r.channel_kind = channel_kind_text(channel.kind);
  r.where = platform::redacted_url(channel.url);
  r.error = std::move(error);
  return r;
}

}  // namespace

struct AlertSender::Shared {
  explicit Shared(AlertSenderSetup s) : setup(std::move(s)) {}
  AlertSenderSetup setup;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<Pending> pending;
  std::optional<std::string> ping_url;
  std::vector<AlertReport> reports;  // sent by the thread, outside the lock
  bool stopping = false;
  bool finished = false;
  std::string failure;  // why the thread ended, when it failed

  // `queued`: the notice waits for the window's message loop. A caller on
  // the window's own thread needs that: woken there, the window would
  // handle the notice at once, inside what it is doing.
  void send_reports(std::unique_lock<std::mutex>& lock, bool queued = false) {
    if (reports.empty()) return;
    std::vector<AlertReport> out;
    out.swap(reports);
    lock.unlock();
    for (AlertReport& r : out) {
      if (setup.events.send(std::move(r))) queued ? setup.notice.post() : setup.notice.wake();
    }
    lock.lock();
  }

  // What became of one attempt: done (reported), or due again later.
  void settle(Pending& p, std::size_t index, const platform::HttpResponse& answer, Instant now) {
    Job& job = p.jobs[index];
    ++job.attempts;
    if (answer.status >= 200 && answer.status < 300) {
      reports.push_back(delivery_report(AlertReport::Kind::Sent, job.channel));
      p.jobs.erase(p.jobs.begin() + static_cast<std::ptrdiff_t>(index));
      return;
    }
    const std::string error = answer.status == 0 ? answer.error : "HTTP status " + std::to_string(answer.status);
    const bool retried = answer.status == 0 || answer.status == 429 || answer.status >= 500;
    const std::size_t retries = std::size(kAlertRetryPauses);
    if (!retried || static_cast<std::size_t>(job.attempts) > retries) {
      reports.push_back(delivery_report(AlertReport::Kind::NotDelivered, job.channel, error));
      p.jobs.erase(p.jobs.begin() + static_cast<std::ptrdiff_t>(index));
      return;
    }
    std::chrono::seconds pause = kAlertRetryPauses[job.attempts - 1];
    if (answer.status == 429 && answer.retry_after) {
      if (auto said = parse_retry_after(*answer.retry_after, std::chrono::system_clock::now())) {
        pause = std::min(*said, kRetryAfterLimit);
      }
    }
    job.due = now + pause;
  }

  void ping_once(std::unique_lock<std::mutex>& lock) {
    platform::HttpRequest request;
    request.method = "GET";
    request.url = std::move(*ping_url);
    request.time_limit = kAlertRequestLimit;
    ping_url.reset();
    lock.unlock();
    const platform::HttpResponse answer = platform::http_send(request);
    lock.lock();
    AlertReport r;
    if (answer.status >= 200 && answer.status < 300) {
      r.kind = AlertReport::Kind::PingWorked;
    } else {
      r.kind = AlertReport::Kind::PingFailed;
      r.error = answer.status == 0 ? answer.error : "HTTP status " + std::to_string(answer.status);
    }
    reports.push_back(std::move(r));
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      send_reports(lock);
      if (ping_url && !stopping) {
        ping_once(lock);
        continue;
      }
      // The job due first.
      Pending* next = nullptr;
      std::size_t index = 0;
      for (Pending& p : pending) {
        for (std::size_t i = 0; i < p.jobs.size(); ++i) {
          if (!next || p.jobs[i].due < next->jobs[index].due) {
            next = &p;
            index = i;
          }
        }
      }
      const Instant now = setup.clock->now();
      if (!next || next->jobs[index].due > now) {
        if (stopping) break;  // later retries are not waited for at the exit
        setup.clock->wait(lock, changed, next ? next->jobs[index].due : now + std::chrono::hours(1));
        continue;
      }
      platform::fault_point("alert-send");
      next->sending = true;
      const platform::HttpRequest request = alert_request(next->jobs[index].channel, next->alert);
      lock.unlock();
      const platform::HttpResponse answer = platform::http_send(request);
      lock.lock();
      // The pending alert stays where it is while it is sent: drops pass it over.
      for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (!it->sending) continue;
        it->sending = false;
        settle(*it, index, answer, setup.clock->now());
        if (it->jobs.empty()) pending.erase(it);
        break;
      }
    }
    finished = true;
    changed.notify_all();
  }

  // The thread failed: nothing it held, and nothing given to it later,
  // stays waiting without a word.
  void fail_all(const std::string& why) {
    std::unique_lock<std::mutex> lock(mutex);
    failure = "the sender stopped: " + why;
    finished = true;
    report_left_over(lock);
    changed.notify_all();
  }

  // Once the thread is gone: every delivery and ping waiting is reported
  // as failed. Called on the window's thread too (by send and ping).
  void report_left_over(std::unique_lock<std::mutex>& lock) {
    for (Pending& p : pending) {
      for (Job& job : p.jobs) reports.push_back(delivery_report(AlertReport::Kind::NotDelivered, job.channel, failure));
    }
    pending.clear();
    if (ping_url) {
      AlertReport r;
      r.kind = AlertReport::Kind::PingFailed;
      r.error = failure;
      reports.push_back(std::move(r));
      ping_url.reset();
    }
    send_reports(lock, true);
  }
};

std::shared_ptr<const AlertClock> steady_alert_clock() {
  static const std::shared_ptr<const AlertClock> clock = std::make_shared<SteadyAlertClock>();
  return clock;
}

AlertSender::AlertSender(AlertSenderSetup setup) : shared_(std::make_shared<Shared>(std::move(setup))) {
  std::shared_ptr<Shared> s = shared_;
  spawn_detached_worker("alert-sender", [s] { s->run(); }, [s](const std::string& failure) { s->fail_all(failure); });
}

AlertSender::~AlertSender() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  shared_->changed.notify_all();
  shared_->changed.wait_for(lock, shared_->setup.exit_wait, [&] { return shared_->finished; });
}

void AlertSender::send(const Alert& alert, const std::vector<AlertChannel>& channels) {
  Pending p{alert, {}, false};
  const Instant now = shared_->setup.clock->now();
  for (const AlertChannel& c : channels) {
    if (reaches(alert.level, c.min_level)) p.jobs.push_back(Job{c, 0, now});
  }
  if (p.jobs.empty()) return;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->pending.push_back(std::move(p));
  if (shared_->finished) return shared_->report_left_over(lock);
  while (shared_->pending.size() > kAlertQueueLimit) {
    auto oldest = shared_->pending.begin();
    if (oldest->sending) ++oldest;
    for (const Job& job : oldest->jobs) {
      shared_->reports.push_back(delivery_report(AlertReport::Kind::NotDelivered, job.channel,
                                                 "dropped: more than " + std::to_string(kAlertQueueLimit) +
                                                     " alerts were waiting"));
    }
    shared_->pending.erase(oldest);
  }
  shared_->changed.notify_all();
}

void AlertSender::ping(std::string url) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->ping_url = std::move(url);
  if (shared_->finished) return shared_->report_left_over(lock);
  shared_->changed.notify_all();
}

std::size_t AlertSender::alerts_waiting() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->pending.size();
}

}  // namespace vorn
