#pragma once
// Scanning plot folders: one folder into a report, and the body of a scan
// job that runs on its own worker thread.
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_core.h"
#include "scan/scan_types.h"

namespace vorn {

struct FolderScan {
  FolderReport report;
  std::vector<PlotFile> plot_files;
  std::vector<std::string> warnings;
};

// Never fails: every problem becomes a status or a warning. `steps`, when
// given, counts the calls into the file system that have come back, so that
// a caller can tell a slow folder from one whose storage hangs.
FolderScan scan_folder(const std::string& path, std::atomic<std::uint64_t>* steps = nullptr);

// "vorn" after the last dot, ASCII case-insensitively.
bool is_plot_file_name(std::string_view name);
// "X1" or "X2" for the first X followed by 1 or 2 in the name.
std::optional<std::string> compression_label(std::string_view name);

// A folder whose scan makes no progress for this long is reported as not
// responding, and the scan goes on with the others; the call that hangs is
// left to end on its own thread.
inline constexpr std::chrono::milliseconds kFolderStallLimit{60000};

struct ScanJob {
  EventSender sender;
  std::vector<std::string> folders;
  std::uint64_t scan_id = 0;
  platform::gui::NoticeTarget notice;
  std::chrono::milliseconds folder_stall_limit = kFolderStallLimit;
};

void run_scan_job(ScanJob job);

}  // namespace vorn
