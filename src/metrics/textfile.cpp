#include "metrics/textfile.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/crash_guard.h"
#include "platform/fault_points.h"
#include "platform/files.h"

namespace vorn {

struct MetricsTextfile::Shared {
  std::string path;
  std::shared_ptr<SnapshotBox> box;
  EventSender sender;
  platform::gui::NoticeTarget notice;
  std::chrono::milliseconds period;

  std::mutex mutex;
  std::condition_variable wake, ended_cv;
  bool stop = false, write_now = false, ended = false;
};

namespace {

MaybeError write_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  Result<platform::OutputFile> file = platform::OutputFile::create(temporary);
  if (!file.ok()) return file.error();
  if (MaybeError e = file.value().write_all(text)) return e;
  file.value().close();
  // A reader that holds the file without sharing its deletion (on Windows)
  // blocks the replacement while it reads: try again for up to a second.
  MaybeError replaced;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (!(replaced = platform::replace_file(temporary, path))) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return replaced;
}

// The writer's end, whether it stopped or failed: the file goes with it (a
// file left behind would go on saying the miner is up).
void remove_file_and_end(const std::shared_ptr<MetricsTextfile::Shared>& s) {
  platform::remove_file(s->path);
  platform::remove_file(s->path + ".tmp");
  std::lock_guard lock(s->mutex);
  s->ended = true;
  s->ended_cv.notify_all();
}

void run_writer(const std::shared_ptr<MetricsTextfile::Shared>& s) {
  bool failing = false;
  std::unique_lock lock(s->mutex);
  while (!s->stop) {
    std::shared_ptr<const std::string> text = s->box->get();
    s->write_now = false;
    if (text) {
      lock.unlock();
      platform::fault_point("metrics-file");
      MaybeError error = write_file(s->path, *text);
      if (error && !failing && s->sender.send(MetricsFileFailed{*error})) s->notice.post();
      failing = error.has_value();
      lock.lock();
    }
    s->wake.wait_for(lock, text ? s->period : std::chrono::milliseconds(100),
                     [&] { return s->stop || s->write_now; });
  }
  lock.unlock();
  remove_file_and_end(s);
}

}  // namespace

MetricsTextfile::MetricsTextfile(std::string path, std::shared_ptr<SnapshotBox> box, EventSender sender,
                                 platform::gui::NoticeTarget notice, std::chrono::milliseconds period)
    : shared_(std::make_shared<Shared>()) {
  shared_->path = std::move(path);
  shared_->box = std::move(box);
  shared_->sender = std::move(sender);
  shared_->notice = notice;
  shared_->period = period;
  auto failed = [s = shared_](const std::string& failure) {
    remove_file_and_end(s);
    if (s->sender.send(MetricsFileFailed{"the writer stopped: " + failure})) s->notice.post();
  };
  spawn_detached_worker("metrics file", [s = shared_] { run_writer(s); }, std::move(failed));
}

MetricsTextfile::~MetricsTextfile() {
  std::unique_lock lock(shared_->mutex);
  shared_->stop = true;
  shared_->wake.notify_all();
  if (wait_at_end_) shared_->ended_cv.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->ended; });
}

void MetricsTextfile::end_without_waiting() {
  wait_at_end_ = false;
  std::lock_guard lock(shared_->mutex);
  shared_->stop = true;
  shared_->wake.notify_all();
}

void MetricsTextfile::write_now() {
  std::lock_guard lock(shared_->mutex);
  shared_->write_now = true;
  shared_->wake.notify_all();
}

}  // namespace vorn
