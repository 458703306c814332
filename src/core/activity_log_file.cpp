#include "core/activity_log_file.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/build_profile.h"
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
  std::deque<std::string> queued;  // whole lines, each ending in the file's line end
  std::uint64_t queued_bytes = 0;
  std::uint64_t dropped = 0;  // lines the queue dropped while the disk stalled
  bool writing = false;       // the writer holds a batch
  bool stopping = false;
  bool finished = false;
};

namespace {

using Shared = ActivityLogFile::Shared;
using Clock = std::chrono::steady_clock;

std::string numbered(const std::string& path, int n) { return path + "." + std::to_string(n); }

// Shifts ".1" to ".2" and so on (the oldest is replaced), then `moving`
// becomes ".1".
MaybeError shift_in(const Shared& s, const std::string& moving) {
  for (int n = s.limits.kept_files - 1; n >= 1; --n) {
    if (!platform::path_exists(numbered(s.path, n))) continue;
    if (MaybeError e = platform::replace_file(numbered(s.path, n), numbered(s.path, n + 1))) return e;
  }
  return platform::replace_file(moving, numbered(s.path, 1));
}

// A log viewer may hold the current file open without delete sharing, and on
// Windows a rename then fails. So the current file moves first, to a name of
// its own, and the older ones are shifted only once that worked: a failure
// changes nothing, and a rotation stopped half-way is finished first.
MaybeError rotate(const Shared& s) {
  const std::string moving = s.path + ".rotating";
  if (platform::path_exists(moving)) {
    if (MaybeError e = shift_in(s, moving)) return e;
  }
  if (MaybeError e = platform::replace_file(s.path, moving)) return e;
  return shift_in(s, moving);
}

struct BatchOutcome {
  MaybeError write_failed;   // nothing more of the batch was written
  MaybeError rotate_failed;  // written, past the limit
  bool rotated = false;
};

// Appends the lines, rotating first whenever the next line would take the
// file past its limit; `written` is the file's size before. A rotation that
// fails is tried once per batch: the lines are appended past the limit, so
// none is lost to a file held open elsewhere.
BatchOutcome write_batch(const Shared& s, const std::deque<std::string>& batch, std::uint64_t written) {
  BatchOutcome outcome;
  std::string chunk;
  for (const std::string& line : batch) {
    if (!outcome.rotate_failed && written + chunk.size() > 0 &&
        written + chunk.size() + line.size() > s.limits.rotate_bytes) {
      if ((outcome.write_failed = platform::append_to_file(s.path, chunk))) return outcome;
      written += chunk.size();
      chunk.clear();
      outcome.rotate_failed = rotate(s);
      outcome.rotated = !outcome.rotate_failed;
      if (outcome.rotated) written = 0;
    }
    chunk += line;
  }
  outcome.write_failed = platform::append_to_file(s.path, chunk);
  return outcome;
}

std::string stamped(std::string_view line) {
  std::string text = platform::local_time_text();
  text += ' ';
  text += line;
  text += platform::text_line_end();
  return text;
}

// Where lines went missing, the file says how many.
std::string dropped_note(std::uint64_t dropped, std::string_view why) {
  return stamped(std::string(kProfile.log_tag) + " " + std::to_string(dropped) + " log line(s) missing here: " +
                 std::string(why));
}

void report(const Shared& s, LogFileFailed failure) {
  if (s.sender.send(std::move(failure))) s.notice.post();
}

// The writer thread: takes whatever is queued, appends it, and rotates
// before the file would pass its limit. After a failed write the lines of
// the next minute are dropped (the window still has them) and it tries
// again; the file then says how many lines it misses.
void run_writer(std::shared_ptr<Shared> s) {
  std::optional<Clock::time_point> failing_until;
  std::uint64_t skipped = 0;  // lines not written after a failure
  bool rotation_reported = false;
  for (;;) {
    std::deque<std::string> batch;
    std::uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->writing = false;
      s->changed.notify_all();
      s->changed.wait(lock, [&] { return !s->queued.empty() || s->stopping; });
      if (s->queued.empty()) break;
      batch.swap(s->queued);
      s->queued_bytes = 0;
      dropped = std::exchange(s->dropped, 0);
      s->writing = true;
    }
    if (failing_until && Clock::now() < *failing_until) {
      skipped += batch.size() + dropped;
      continue;
    }
    if (dropped > 0) batch.push_front(dropped_note(dropped, "the disk did not keep up"));
    if (skipped > 0) batch.push_front(dropped_note(skipped, "the file could not be written"));
    // Asked each time: the user may have moved or emptied the file.
    BatchOutcome outcome = write_batch(*s, batch, platform::file_size(s->path).value_or(0));
    if (outcome.write_failed) {
      if (!failing_until) report(*s, LogFileFailed{*outcome.write_failed, false});
      failing_until = Clock::now() + s->limits.retry_after;
      skipped = batch.size();
      continue;
    }
    failing_until.reset();
    skipped = 0;
    // A rotation that fails is reported once, until one works again.
    if (outcome.rotated) rotation_reported = false;
    if (outcome.rotate_failed && !std::exchange(rotation_reported, true)) {
      report(*s, LogFileFailed{*outcome.rotate_failed, true});
    }
  }
  std::lock_guard<std::mutex> lock(s->mutex);
  s->finished = true;
  s->changed.notify_all();
}

// The file whose queue a crash record flushes: the program keeps one.
struct FlushTarget {
  std::mutex mutex;
  std::weak_ptr<Shared> shared;
};
FlushTarget& flush_target() {
  static FlushTarget* target = new FlushTarget;  // never destroyed: a crash may come during the exit
  return *target;
}

// Waits, within the limit, until every queued line is written.
void wait_until_written(Shared& s, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait_for(lock, limit, [&] { return s.finished || (s.queued.empty() && !s.writing); });
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
  spawn_detached_worker("log-file", [s] { run_writer(s); }, [s](const std::string&) {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->finished = true;
    s->changed.notify_all();
  });
  std::lock_guard<std::mutex> lock(flush_target().mutex);
  flush_target().shared = shared_;
}

ActivityLogFile::~ActivityLogFile() {
  {
    std::lock_guard<std::mutex> lock(flush_target().mutex);
    if (flush_target().shared.lock() == shared_) flush_target().shared.reset();
  }
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  shared_->changed.notify_all();
  // A disk that hangs must not hold up the exit; the thread keeps its own
  // reference to what it uses.
  shared_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->finished; });
}

void ActivityLogFile::append(std::string_view line) {
  std::string text = stamped(line);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->finished) return;
  // The writer takes all that is queued when it wakes, so only the first
  // line of a batch has to wake it: waking costs a trip into the system.
  const bool was_empty = shared_->queued.empty();
  shared_->queued_bytes += text.size();
  shared_->queued.push_back(std::move(text));
  while (shared_->queued_bytes > shared_->limits.queued_bytes && shared_->queued.size() > 1) {
    shared_->queued_bytes -= shared_->queued.front().size();
    shared_->queued.pop_front();
    ++shared_->dropped;
  }
  if (was_empty) shared_->changed.notify_one();
}

void ActivityLogFile::flush(std::chrono::milliseconds limit) { wait_until_written(*shared_, limit); }

void flush_activity_log_file(std::chrono::milliseconds limit) {
  // The writer cannot wait for itself.
  if (thread_name() == "log-file") return;
  std::shared_ptr<Shared> s;
  {
    std::lock_guard<std::mutex> lock(flush_target().mutex);
    s = flush_target().shared.lock();
  }
  if (s) wait_until_written(*s, limit);
}

}  // namespace vorn
