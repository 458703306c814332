#pragma once
// The metrics textfile, for the textfile collector of a metrics exporter:
// a thread of its own writes the latest snapshot to "{path}.tmp" and puts
// it in the file's place in one step, at once and then every period, so a
// reader never sees half a file and a slow disk never slows the window.
// The first failure after a success (or after the start) comes back as a
// MetricsFileFailed event.
#include <chrono>
#include <memory>
#include <string>

#include "core/app_core.h"
#include "metrics/snapshot.h"

namespace vorn {

inline constexpr std::chrono::seconds kMetricsFilePeriod{15};

class MetricsTextfile {
 public:
  MetricsTextfile(std::string path, std::shared_ptr<SnapshotBox> box, EventSender sender,
                  platform::gui::NoticeTarget notice, std::chrono::milliseconds period = kMetricsFilePeriod);
  // Ends the thread and deletes the file (and a left "{path}.tmp"), waiting
  // for that at most 2 s: a stale file must not report a miner that is gone.
  // After end_without_waiting() it does not wait.
  ~MetricsTextfile();
  MetricsTextfile(const MetricsTextfile&) = delete;
  MetricsTextfile& operator=(const MetricsTextfile&) = delete;

  // Writes the latest snapshot now instead of at the next period.
  void write_now();
  // The same end, for an options change while the program runs: the thread
  // deletes the file when it can, and the window never waits for a slow disk.
  void end_without_waiting();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  bool wait_at_end_ = true;
};

}  // namespace vorn
