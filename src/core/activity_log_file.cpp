#include "core/activity_log_file.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/crash_guard.h"
#include "platform/files.h"
#include "platform/system.h"

namespace vorn {

struct ActivityLogFile::Shared {
  std::string path;
  LogFileLimits limits;
  Channel<WorkerEvent>::Sender sender;
  platform::gui::NoticeTarget notice;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queued;  // whole lines, each ending in "\n"
  std::uint64_t queued_bytes = 0;
  bool stopping = false;
  bool finished = false;
};

namespace {

using Shared = ActivityLogFile::Shared;
using Clock = std::chrono::steady_clock;

std::string numbered(const std::string& path, int n) { return path + "." + std::to_string(n); }

// The current file becomes ".1", ".1" becomes ".2" and so on; the oldest is
// replaced.
MaybeError rotate(const Shared& s) {
  for (int n = s.limits.kept_files - 1; n >= 1; --n) {
    if (!platform::path_exists(numbered(s.path, n))) continue;
    if (MaybeError e = platform::replace_file(numbered(s.path, n), numbered(s.path, n + 1))) return e;
  }
  return platform::replace_file(s.path, numbered(s.path, 1));
}

// Appends the lines, rotating first whenever the next line would take the
// file past its limit; `written` is the file's size before.
MaybeError write_batch(const Shared& s, const std::deque<std::string>& batch, std::uint64_t written) {
  std::string chunk;
  for (const std::string& line : batch) {
    if (written + chunk.size() > 0 && written + chunk.size() + line.size() > s.limits.rotate_bytes) {
      if (MaybeError e = platform::append_to_file(s.path, chunk)) return e;
      chunk.clear();
      if (MaybeError e = rotate(s)) return e;
      written = 0;
    }
    chunk += line;
  }
  return platform::append_to_file(s.path, chunk);
}

// The writer thread: takes whatever is queued, appends it, and rotates
// before the file would pass its limit. After a failure the lines of the
// next minute are dropped (the window still has them) and it tries again.
void run_writer(std::shared_ptr<Shared> s) {
  std::optional<Clock::time_point> failing_until;
  for (;;) {
    std::deque<std::string> batch;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->changed.wait(lock, [&] { return !s->queued.empty() || s->stopping; });
      if (s->queued.empty()) break;
      batch.swap(s->queued);
      s->queued_bytes = 0;
    }
    if (failing_until && Clock::now() < *failing_until) continue;
    // Asked each time: the user may have moved or emptied the file.
    if (MaybeError failed = write_batch(*s, batch, platform::file_size(s->path).value_or(0))) {
      if (!failing_until && s->sender.send(LogFileFailed{*failed})) s->notice.post();
      failing_until = Clock::now() + s->limits.retry_after;
    } else {
      failing_until.reset();
    }
  }
  std::lock_guard<std::mutex> lock(s->mutex);
  s->finished = true;
  s->changed.notify_all();
}

}  // namespace

ActivityLogFile::ActivityLogFile(std::string path, Channel<WorkerEvent>::Sender sender,
                                 platform::gui::NoticeTarget notice, LogFileLimits limits)
    : shared_(std::make_shared<Shared>()) {
  shared_->path = std::move(path);
  shared_->limits = limits;
  shared_->sender = std::move(sender);
  shared_->notice = notice;
  std::shared_ptr<Shared> s = shared_;
  spawn_worker("log-file", [s] { run_writer(s); }, [s](const std::string&) {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finished = true;
    s->changed.notify_all();
  }).detach();
}

ActivityLogFile::~ActivityLogFile() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  shared_->changed.notify_all();
  // A disk that hangs must not hold up the exit; the thread keeps its own
  // reference to what it uses.
  shared_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->finished; });
}

void ActivityLogFile::append(std::string_view line) {
  std::string stamped = platform::local_time_text();
  stamped += ' ';
  stamped += line;
  stamped += '\n';
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->finished) return;
  // The writer takes all that is queued when it wakes, so only the first
  // line of a batch has to wake it: waking costs a trip into the system.
  const bool was_empty = shared_->queued.empty();
  shared_->queued_bytes += stamped.size();
  shared_->queued.push_back(std::move(stamped));
  while (shared_->queued_bytes > shared_->limits.queued_bytes && shared_->queued.size() > 1) {
    shared_->queued_bytes -= shared_->queued.front().size();
    shared_->queued.pop_front();
  }
  if (was_empty) shared_->changed.notify_one();
}

}  // namespace vorn
