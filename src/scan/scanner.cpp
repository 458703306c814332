#include "scan/scanner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/crash_guard.h"
#include "core/text.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace vorn {
namespace {

constexpr std::uint64_t kYieldEvery = 256;
constexpr std::size_t kNestedFolderLimit = 3;

std::uint64_t elapsed_ms(Instant since) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Yields the processor before every 256th entry after the first batch.
class YieldCounter {
 public:
  void before_entry() {
    if (taken_ != 0 && taken_ % kYieldEvery == 0) platform::yield_processor();
    ++taken_;
  }

 private:
  std::uint64_t taken_ = 0;
};

// Counts calls into the file system that came back.
void step(std::atomic<std::uint64_t>* steps) {
  if (steps) steps->fetch_add(1, std::memory_order_relaxed);
}

bool entry_is_plot_file(const platform::FolderEntry& e) {
  return !e.is_link && !e.is_directory && e.name_is_text && is_valid_utf8(e.name) &&
         is_plot_file_name(e.name);
}

// One level down: does the subfolder hold a plot file directly?
bool subfolder_has_plot_file(const std::string& path, std::atomic<std::uint64_t>* steps) {
  Result<platform::FolderListing> listing = platform::FolderListing::open(path);
  step(steps);
  if (!listing.ok()) return false;
  YieldCounter yield;
  while (auto entry = listing.value().next()) {
    step(steps);
    yield.before_entry();
    if (entry->ok() && entry_is_plot_file(entry->value())) return true;
  }
  return false;
}

CompressionSummary summarise(std::vector<std::string> labels) {
  std::sort(labels.begin(), labels.end());
  labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
  CompressionSummary summary;
  if (labels.empty()) {
    summary.kind = CompressionSummary::Kind::Unknown;
  } else {
    summary.kind = labels.size() == 1 ? CompressionSummary::Kind::Single
                                      : CompressionSummary::Kind::Mixed;
    summary.labels = std::move(labels);
  }
  return summary;
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

}  // namespace

bool is_plot_file_name(std::string_view name) {
  if (name == "..") return false;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return equals_ignore_ascii_case(name.substr(dot + 1), "vorn");
}

std::optional<std::string> compression_label(std::string_view name) {
  const std::string upper = to_upper_ascii(name);
  for (std::size_t i = 1; i < upper.size(); ++i) {
    if (upper[i - 1] == 'X' && (upper[i] == '1' || upper[i] == '2')) {
      return std::string("X") + upper[i];
    }
  }
  return std::nullopt;
}

FolderScan scan_folder(const std::string& path, std::atomic<std::uint64_t>* steps) {
  const Instant start = Clock::now();
  auto seconds_since_start = [&] {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  FolderScan scan;
  scan.report.path = path;
  const bool is_folder = platform::is_directory(path);
  step(steps);
  if (!is_folder) {
    scan.report.status = FolderStatus::Missing;
    scan.report.compression.kind = CompressionSummary::Kind::NotScanned;
    scan.report.scan_seconds = seconds_since_start();
    return scan;
  }

  std::vector<std::string> labels;
  std::vector<std::string> nested;
  Result<platform::FolderListing> listing = platform::FolderListing::open(path);
  step(steps);
  if (!listing.ok()) {
    scan.warnings.push_back("Cannot read plot directory " + path + ": " + listing.error());
  } else {
    YieldCounter yield;
    while (auto entry = listing.value().next()) {
      step(steps);
      yield.before_entry();
      if (!entry->ok()) {
        scan.warnings.push_back("Cannot read directory entry in " + path + ": " + entry->error());
        continue;
      }
      const platform::FolderEntry& e = entry->value();
      if (e.is_link) continue;
      std::string entry_path = platform::join_path(path, to_valid_utf8(e.name));
      if (e.is_directory) {
        if (nested.size() < kNestedFolderLimit && subfolder_has_plot_file(entry_path, steps)) {
          nested.push_back(entry_path);
        }
        continue;
      }
      if (!entry_is_plot_file(e)) continue;
      scan.plot_files.push_back(PlotFile{entry_path, e.size_bytes, e.modified_unix_secs});
      if (auto label = compression_label(e.name)) labels.push_back(*label);
    }
  }

  scan.report.file_count = scan.plot_files.size();
  for (const PlotFile& f : scan.plot_files) scan.report.total_bytes += f.size_bytes;

  Result<std::uint64_t> free_space = platform::free_disk_space(path);
  step(steps);
  if (free_space.ok()) {
    scan.report.free_bytes = free_space.value();
  } else {
    scan.warnings.push_back("Cannot read available disk space for " + path);
  }

  scan.report.compression = summarise(std::move(labels));
  scan.report.status = scan.report.file_count == 0 ? FolderStatus::NoPlots : FolderStatus::Normal;
  if (scan.report.status == FolderStatus::NoPlots && !nested.empty()) {
    scan.warnings.push_back("No direct .vorn files in " + path + "; found plot files under " +
                            join(nested, ", ") + ". Add the actual plot folder, for example " +
                            nested.front() + ".");
  }
  scan.report.scan_seconds = seconds_since_start();
  return scan;
}

namespace {

// One folder's scan, shared by the job and the thread that runs it: a thread
// stuck on dead storage keeps it alive after the job has gone on.
struct FolderRun {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::optional<std::string> failure;  // the folder's thread failed
  FolderScan result;
  std::atomic<std::uint64_t> steps{0};
};

// The folder's scan on a thread of its own, waited for while it makes
// progress; none when it made none for `stall_limit`.
std::optional<FolderScan> scan_folder_bounded(const std::string& folder, std::chrono::milliseconds stall_limit) {
  auto run = std::make_shared<FolderRun>();
  auto report_failure = [run](const std::string& failure) {
    std::lock_guard<std::mutex> lock(run->mutex);
    run->failure = failure;
    run->done = true;
    run->finished.notify_all();
  };
  spawn_detached_worker("scan-folder", [run, folder] {
    FolderScan scan = scan_folder(folder, &run->steps);
    std::lock_guard<std::mutex> lock(run->mutex);
    run->result = std::move(scan);
    run->done = true;
    run->finished.notify_all();
  }, report_failure);

  std::unique_lock<std::mutex> lock(run->mutex);
  std::uint64_t seen = 0;
  Instant progressed = Clock::now();
  const auto look = std::min<std::chrono::milliseconds>(stall_limit, std::chrono::milliseconds(1000));
  while (!run->finished.wait_for(lock, look, [&] { return run->done; })) {
    const std::uint64_t now_steps = run->steps.load(std::memory_order_relaxed);
    if (now_steps != seen) {
      seen = now_steps;
      progressed = Clock::now();
    } else if (Clock::now() - progressed >= stall_limit) {
      return std::nullopt;  // its late result is dropped with the shared run
    }
  }
  // Recorded already by the folder's thread; the scan job reports it.
  if (run->failure) throw Failure(*run->failure, "scan-folder");
  return std::move(run->result);
}

// What the job says about a folder that did not answer.
FolderScan not_responding(const std::string& folder, std::chrono::milliseconds waited) {
  FolderScan scan;
  scan.report.path = folder;
  scan.report.status = FolderStatus::NotResponding;
  scan.report.scan_seconds = std::chrono::duration<double>(waited).count();
  scan.warnings.push_back("Plot directory " + folder + " did not answer for " +
                          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                          " s; its plot files are kept as they were");
  return scan;
}

}  // namespace

void run_scan_job(ScanJob job) {
  platform::fault_point("scan");
  const Instant job_start = Clock::now();
  const std::uint64_t total = job.folders.size();
  ScanComplete complete{job.scan_id, job.folders, {}, {}, {}, std::nullopt};
  Instant progress_timer = Clock::now();

  auto send = [&job](WorkerEvent event) {
    if (!job.sender.send(std::move(event))) return false;
    job.notice.wake();
    return true;
  };

  bool gone = !send(ScanStarted{job.scan_id, total}) || !send(ScanProgress{job.scan_id, 0, total});
  std::uint64_t done = 0;
  for (const std::string& folder : job.folders) {
    if (gone) break;
    if (!send(FolderStarted{job.scan_id, folder})) break;
    const Instant folder_start = Clock::now();
    std::optional<FolderScan> answered = scan_folder_bounded(folder, job.folder_stall_limit);
    FolderScan scan = answered ? std::move(*answered) : not_responding(folder, job.folder_stall_limit);
    const std::uint64_t files = scan.plot_files.size();
    if (answered && !send(FolderScanned{job.scan_id, folder, files, elapsed_ms(folder_start)})) gone = true;
    for (PlotFile& f : scan.plot_files) complete.plot_files.push_back(std::move(f));
    for (std::string& w : scan.warnings) complete.warnings.push_back(std::move(w));
    complete.reports.push_back(std::move(scan.report));
    ++done;
    if (gone) break;
    if (Clock::now() - progress_timer >= std::chrono::milliseconds(500) || done == total) {
      if (!send(ScanProgress{job.scan_id, done, total})) break;
      progress_timer = Clock::now();
    }
  }
  if (!gone) {
    send(ScanFinished{job.scan_id, elapsed_ms(job_start), complete.plot_files.size()});
  }
  send(std::move(complete));
}

}  // namespace vorn
