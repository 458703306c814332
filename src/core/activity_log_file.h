#pragma once
// The activity log kept on disk: every line that enters the window's log is
// appended, with its local date and time, to a file beside the program. A
// thread of its own does the writing, so a slow or dead disk never slows the
// window; failures come back as LogFileFailed events.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/channel.h"
#include "core/worker_event.h"
#include "platform/gui.h"

namespace vorn {

inline constexpr std::string_view kActivityLogFile = "vorn_miner_gui_mainnet.log";

struct LogFileLimits {
  std::uint64_t rotate_bytes = 10ull * 1024 * 1024;  // then ".1", ".2", ".3"
  int kept_files = 3;
  std::chrono::milliseconds retry_after{60000};     // after a failed write
  std::uint64_t queued_bytes = 16ull * 1024 * 1024;  // while the disk stalls
};

class ActivityLogFile {
 public:
  ActivityLogFile(std::string path, Channel<WorkerEvent>::Sender sender, platform::gui::NoticeTarget notice,
                  LogFileLimits limits = {});
  // Waits a moment for the queued lines to be written.
  ~ActivityLogFile();
  ActivityLogFile(const ActivityLogFile&) = delete;
  ActivityLogFile& operator=(const ActivityLogFile&) = delete;

  // Queues one log line, stamped now; never blocks on the disk.
  void append(std::string_view line);
  // Waits, at most `limit`, until every queued line is written.
  void flush(std::chrono::milliseconds limit);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// Waits, at most `limit`, until the lines queued for the program's log file
// are written: called when a crash record is written, so that the lines that
// led to the crash are on disk too.
void flush_activity_log_file(std::chrono::milliseconds limit);

}  // namespace vorn
