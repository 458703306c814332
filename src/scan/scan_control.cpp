#include "scan/scan_control.h"

#include <algorithm>
#include <limits>

#include "alerts/alerts.h"
#include "core/crash_guard.h"
#include "core/supervisor.h"
#include "minerconfig/config_refresh.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "scan/scanner.h"

namespace vorn {
namespace {

bool scan_busy(const AppCore& core) { return core.scan_running || core.pending_scan_results; }

bool same_folders(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const std::string& x, const std::string& y) { return platform::paths_equal(x, y); });
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                           : a + b;
}

// The scan it starts clears the queued flag.
void start_queued_scan(AppCore& core) {
  if (core.scan_queued && !scan_busy(core)) request_scan(core);
}

void finish_apply(AppCore& core) {
  PendingScanResults r = std::move(*core.pending_scan_results);
  core.pending_scan_results.reset();

  if (!same_folders(r.folders, core.settings.plot_dirs)) {
    core.scan_status_text = "Waiting";
    core.status_dirty = core.controls_dirty = true;
    log_line(core, "scan result ignored: stale scan_id=" + std::to_string(r.scan_id) +
                       ", folder list changed before apply finished");
    core.list_dirty = true;
    start_queued_scan(core);
    return;
  }

  // A folder whose storage did not answer keeps what it held: its plot
  // files are neither deleted nor changed, and its row shows the last
  // numbers it had.
  for (FolderReport& report : r.reports) {
    if (report.status != FolderStatus::NotResponding) continue;
    r.matched_count += r.index_building.copy_folder(core.plot_index, report.path);
    auto previous = core.folder_reports.find(report.path);
    if (previous == core.folder_reports.end()) continue;
    report.file_count = previous->second.file_count;
    report.total_bytes = previous->second.total_bytes;
    report.free_bytes = previous->second.free_bytes;
    report.compression = previous->second.compression;
  }
  core.folder_reports.clear();
  for (FolderReport& report : r.reports) {
    std::string key = report.path;
    core.folder_reports.insert_or_assign(std::move(key), std::move(report));
  }
  core.list_dirty = core.status_dirty = core.controls_dirty = true;
  const std::uint64_t deleted = r.previous_count > r.matched_count ? r.previous_count - r.matched_count : 0;
  core.plot_index = std::move(r.index_building);
  core.plot_index.shrink_to_fit();
  core.scan_status_text = "Waiting";

  const std::string capacity = format_capacity(r.total_bytes);
  if (r.new_count == 0 && r.changed_count == 0 && r.stable_count == 0 && deleted == 0 &&
      r.previous_count == r.total) {
    log_line(core, "Rescan complete: no plot changes (" + std::to_string(r.total) +
                       " direct .vorn files, " + capacity + ")");
  } else {
    log_line(core, "Rescan complete: " + std::to_string(r.total) + " direct .vorn files, " +
                       capacity + ", " + std::to_string(r.new_count) + " new candidate(s), " +
                       std::to_string(r.changed_count) + " changed candidate(s), " +
                       std::to_string(deleted) + " deleted, " + std::to_string(r.stable_count) +
                       " stable new/changed");
  }

  if (r.stable_count > 0) {
    core.restart_pending = true;
    start_config_refresh(core, RefreshPurpose::stable_plot_changes(r.stable_count));
  } else if (r.new_count > 0 || r.changed_count > 0) {
    log_line(core, "Plot changes detected; waiting for two unchanged scans before safe restart");
  } else if (deleted > 0) {
    log_line(core, "Plot deletion detected; no safe restart is scheduled");
  }

  const Instant now = Clock::now();
  core.counters.last_scan_finished_at = unix_time_now();
  core.counters.last_scan_seconds =
      std::chrono::duration<double>(now > core.last_scan_started_at ? now - core.last_scan_started_at
                                                                     : Clock::duration::zero())
          .count();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - r.started_at);
  log_line(core, "scan apply finished: scan_id=" + std::to_string(r.scan_id) + ", total=" +
                     std::to_string(r.total) + ", elapsed_ms=" + std::to_string(elapsed.count()));
  alerts_note_scan(core);
  maybe_auto_start(core);
  start_queued_scan(core);
}

}  // namespace

void request_scan(AppCore& core) {
  if (!scan_busy(core)) {
    ScanJob job;
    job.folders = core.settings.plot_dirs;
    job.scan_id = core.next_scan_id;
    if (core.next_scan_id != std::numeric_limits<std::uint64_t>::max()) ++core.next_scan_id;
    job.sender = core.event_sender;
    job.notice = core.notice;
    core.scan_running = true;
    core.scan_queued = false;
    core.current_scan_id = job.scan_id;
    core.last_scan_started_at = Clock::now();
    core.scan_status_text = "Scanning plot folders";
    core.status_dirty = core.controls_dirty = true;
    auto report_failure = [id = job.scan_id, folders = job.folders, sender = job.sender,
                           notice = job.notice](const std::string& failure) {
      ScanComplete failed{id, folders, {}, {}, {}, "scan worker failed: " + failure};
      if (sender.send(std::move(failed))) notice.post();
    };
    spawn_detached_worker("scan", [job = std::move(job)]() mutable { run_scan_job(std::move(job)); },
                          std::move(report_failure));
    return;
  }
  if (!core.scan_queued) log_line(core, "Plot rescan already busy; another scan is queued");
  core.scan_queued = true;
  core.scan_status_text = core.pending_scan_results ? "Applying scan results... next scan queued"
                                                    : "Scanning plot folders (next scan queued)";
  core.status_dirty = core.controls_dirty = true;
}

void check_periodic_rescan(AppCore& core, Instant now) {
  if (!core.settings.auto_detect_new_plots) return;
  if (now < core.last_scan_started_at) return;
  const std::uint64_t interval = std::max<std::uint64_t>(core.settings.plot_rescan_interval_secs, 60);
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - core.last_scan_started_at);
  if (static_cast<std::uint64_t>(elapsed.count()) >= interval) request_scan(core);
}

void request_folder_checks(AppCore& core) {
  if (core.folder_check_running) return;
  std::vector<std::string> unknown;
  for (const std::string& dir : core.settings.plot_dirs) {
    if (!core.folder_reports.count(dir) && !core.folder_presence.count(dir)) unknown.push_back(dir);
  }
  if (unknown.empty()) return;
  core.folder_check_running = true;
  auto report_failure = [sender = core.event_sender, notice = core.notice](const std::string&) {
    if (sender.send(FolderChecked{{}, false, true})) notice.post();
  };
  spawn_detached_worker("folder-check",
                        [folders = std::move(unknown), sender = core.event_sender, notice = core.notice] {
                          for (const std::string& dir : folders) {
                            if (!sender.send(FolderChecked{dir, platform::is_directory(dir), false})) return;
                            notice.wake();
                          }
                          if (sender.send(FolderChecked{{}, false, true})) notice.wake();
                        },
                        std::move(report_failure));
}

void handle_folder_checked(AppCore& core, const FolderChecked& checked) {
  if (!checked.path.empty()) {
    core.folder_presence.insert_or_assign(checked.path, checked.is_directory);
    core.list_dirty = true;
  }
  if (checked.last) core.folder_check_running = false;
}

void handle_scan_progress_event(AppCore& core, const WorkerEvent& event) {
  std::visit(
      [&core](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, ScanStarted> || std::is_same_v<E, FolderStarted> ||
                      std::is_same_v<E, FolderScanned> || std::is_same_v<E, ScanProgress> ||
                      std::is_same_v<E, ScanFinished>) {
          if (!core.scan_running || e.scan_id != core.current_scan_id) return;
          const std::string id = std::to_string(e.scan_id);
          if constexpr (std::is_same_v<E, ScanStarted>) {
            log_line(core, "scan started: scan_id=" + id + ", folders=" + std::to_string(e.folder_count));
          } else if constexpr (std::is_same_v<E, FolderStarted>) {
            log_line(core, "scan folder started: scan_id=" + id + ", folder=" + e.path);
          } else if constexpr (std::is_same_v<E, FolderScanned>) {
            log_line(core, "scan folder finished: scan_id=" + id + ", folder=" + e.path + ", files=" +
                               std::to_string(e.file_count) + ", elapsed_ms=" + std::to_string(e.elapsed_ms));
          } else if constexpr (std::is_same_v<E, ScanProgress>) {
            core.scan_status_text = e.total == 0 ? std::string("Scanning plot folders")
                                                 : "Scanning plot folders " + std::to_string(e.done) +
                                                       "/" + std::to_string(e.total);
            core.status_dirty = true;
          } else {
            log_line(core, "scan finished: scan_id=" + id + ", total=" + std::to_string(e.total_files) +
                               ", elapsed_ms=" + std::to_string(e.elapsed_ms));
          }
        }
      },
      event);
}

void accept_scan_results(AppCore& core, ScanComplete complete) {
  if (complete.scan_id != core.current_scan_id) {
    log_line(core, "scan result ignored: stale scan_id=" + std::to_string(complete.scan_id) +
                       ", current_scan_id=" + std::to_string(core.current_scan_id));
    return;
  }
  core.scan_running = false;
  if (complete.failure) {
    // The last complete results stay as they are: an empty list here would
    // read as every plot file deleted.
    core.scan_status_text = "Waiting";
    log_line(core, "Plot scan failed: " + *complete.failure);
    core.list_dirty = core.status_dirty = core.controls_dirty = true;
    start_queued_scan(core);
    return;
  }
  if (!same_folders(complete.folders, core.settings.plot_dirs)) {
    core.scan_status_text = "Waiting";
    log_line(core, "scan result ignored: stale scan_id=" + std::to_string(complete.scan_id) +
                       ", folder list changed");
    core.list_dirty = true;
    core.status_dirty = core.controls_dirty = true;
    start_queued_scan(core);
    return;
  }
  const Instant now = Clock::now();
  const std::uint64_t total = complete.plot_files.size();
  core.scan_status_text = "Applying scan results... 0/" + std::to_string(total);
  core.status_dirty = core.controls_dirty = true;
  log_line(core, "scan apply started: scan_id=" + std::to_string(complete.scan_id) + ", total=" + std::to_string(total));
  const std::size_t n = complete.warnings.size();
  if (n > 0) {
    const std::size_t shown = std::min(n, kWarningsShown);
    log_line(core, "scan produced " + std::to_string(n) + " warning(s); showing first " + std::to_string(shown));
    for (std::size_t i = 0; i < shown; ++i) log_line(core, complete.warnings[i]);
  }
  PendingScanResults r;
  r.scan_id = complete.scan_id;
  r.folders = std::move(complete.folders);
  r.plot_files = std::move(complete.plot_files);
  r.reports = std::move(complete.reports);
  r.started_at = r.progress_logged_at = now;
  r.total = total;
  r.previous_count = core.plot_index.size();
  r.index_building.reserve(r.plot_files.size());
  core.pending_scan_results = std::move(r);
}

void apply_step(AppCore& core) {
  PendingScanResults& r = *core.pending_scan_results;
  if (r.scan_id != core.current_scan_id) {
    const std::uint64_t id = r.scan_id;
    core.pending_scan_results.reset();
    core.scan_status_text = "Waiting";
    core.status_dirty = core.controls_dirty = true;
    log_line(core, "scan result ignored: stale scan_id=" + std::to_string(id) +
                       ", current_scan_id=" + std::to_string(core.current_scan_id));
    return;
  }
  const Instant batch_start = Clock::now();
  for (std::uint64_t n = 0; n < kApplyBatchFiles && r.applied < r.total; ++n) {
    if (Clock::now() - batch_start >= kApplyBatchBudget) break;
    const PlotFile& f = r.plot_files[r.applied];
    r.total_bytes = saturating_add(r.total_bytes, f.size_bytes);
    PlotIndexEntry entry{f.size_bytes, f.modified_unix_secs, false};
    const PlotIndexEntry* previous = core.plot_index.find(f.path);
    if (!previous) {
      ++r.new_count;
    } else {
      ++r.matched_count;
      if (previous->size_bytes == f.size_bytes && previous->modified_unix_secs == f.modified_unix_secs) {
        if (!previous->stable) ++r.stable_count;
        entry.stable = true;
      } else {
        ++r.changed_count;
      }
    }
    r.index_building.insert_or_assign(f.path, entry);
    ++r.applied;
  }
  core.scan_status_text = "Applying scan results... " + std::to_string(r.applied) + "/" + std::to_string(r.total);
  core.status_dirty = true;
  const Instant now = Clock::now();
  if (now - r.progress_logged_at >= std::chrono::seconds(1) || r.applied == r.total) {
    r.progress_logged_at = now;
    log_line(core, "scan apply progress: scan_id=" + std::to_string(r.scan_id) + ", applied=" +
                       std::to_string(r.applied) + ", total=" + std::to_string(r.total));
  }
  if (r.applied < r.total) return;
  finish_apply(core);
}

}  // namespace vorn
