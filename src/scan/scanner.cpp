#include "scan/scanner.h"

#include <algorithm>
#include <chrono>

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

bool entry_is_plot_file(const platform::FolderEntry& e) {
  return !e.is_link && !e.is_directory && e.name_is_text && is_valid_utf8(e.name) &&
         is_plot_file_name(e.name);
}

// One level down: does the subfolder hold a plot file directly?
bool subfolder_has_plot_file(const std::string& path) {
  Result<platform::FolderListing> listing = platform::FolderListing::open(path);
  if (!listing.ok()) return false;
  YieldCounter yield;
  while (auto entry = listing.value().next()) {
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
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (std::size_t i = 1; i < upper.size(); ++i) {
    if (upper[i - 1] == 'X' && (upper[i] == '1' || upper[i] == '2')) {
      return std::string("X") + upper[i];
    }
  }
  return std::nullopt;
}

FolderScan scan_folder(const std::string& path) {
  const Instant start = Clock::now();
  auto seconds_since_start = [&] {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  FolderScan scan;
  scan.report.path = path;
  if (!platform::is_directory(path)) {
    scan.report.status = FolderStatus::Missing;
    scan.report.compression.kind = CompressionSummary::Kind::NotScanned;
    scan.report.scan_seconds = seconds_since_start();
    return scan;
  }

  std::vector<std::string> labels;
  std::vector<std::string> nested;
  Result<platform::FolderListing> listing = platform::FolderListing::open(path);
  if (!listing.ok()) {
    scan.warnings.push_back("Cannot read plot directory " + path + ": " + listing.error());
  } else {
    YieldCounter yield;
    while (auto entry = listing.value().next()) {
      yield.before_entry();
      if (!entry->ok()) {
        scan.warnings.push_back("Cannot read directory entry in " + path + ": " + entry->error());
        continue;
      }
      const platform::FolderEntry& e = entry->value();
      if (e.is_link) continue;
      std::string entry_path = platform::join_path(path, to_valid_utf8(e.name));
      if (e.is_directory) {
        if (nested.size() < kNestedFolderLimit && subfolder_has_plot_file(entry_path)) {
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
    FolderScan scan = scan_folder(folder);
    const std::uint64_t files = scan.plot_files.size();
    if (!send(FolderScanned{job.scan_id, folder, files, elapsed_ms(folder_start)})) gone = true;
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
