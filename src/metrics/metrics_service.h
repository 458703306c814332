#pragma once
// The window thread's side of the metrics: while the options turn them on,
// a snapshot of the state once per second, handed to the listener and the
// textfile writer; both follow each change of the options.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/app_core.h"
#include "metrics/exposition.h"
#include "metrics/listener.h"
#include "metrics/snapshot.h"
#include "metrics/textfile.h"

namespace vorn {

inline constexpr std::chrono::seconds kSnapshotPeriod{1};
// The CPU times and working sets (the program's and the miner's) are read
// this often, and at once when the miner changes: reading them costs more
// than the rest of the snapshot (under Wine, each reading is a round trip
// to its server and a read of /proc), and a rate over a scrape interval
// hardly notices.
inline constexpr std::chrono::seconds kProcessFiguresPeriod{5};

class MetricsService {
 public:
  explicit MetricsService(std::chrono::milliseconds file_period = kMetricsFilePeriod) : file_period_(file_period) {}

  std::shared_ptr<SnapshotBox> box = std::make_shared<SnapshotBox>();
  std::uint64_t generation = 0;  // of the options last applied
  std::string listen, token, textfile_path;
  std::unique_ptr<MetricsListener> listener;
  std::unique_ptr<MetricsTextfile> textfile;
  std::optional<Instant> snapshot_at;
  std::optional<double> program_start_unix;  // asked once: it never changes
  ProcessFigures figures;
  std::optional<Instant> figures_at;
  std::uint32_t figures_miner_pid = 0;  // the miner they were read for; 0 for none
  std::chrono::milliseconds file_period_;
};

// Called at every heartbeat: applies changed options (starting, moving or
// ending the listener and the textfile, with their log lines), then makes a
// snapshot when the last one is a second old. Does nothing while metrics are off.
void update_metrics(AppCore& core, Instant now);

// The snapshot made now, and handed on.
void take_metrics_snapshot(AppCore& core, Instant now);

}  // namespace vorn
