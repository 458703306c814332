#pragma once
// Scanning plot folders: one folder into a report, and the body of a scan
// job that runs on its own worker thread.
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

// Never fails: every problem becomes a status or a warning.
FolderScan scan_folder(const std::string& path);

// "vorn" after the last dot, ASCII case-insensitively.
bool is_plot_file_name(std::string_view name);
// "X1" or "X2" for the first X followed by 1 or 2 in the name.
std::optional<std::string> compression_label(std::string_view name);

struct ScanJob {
  EventSender sender;
  std::vector<std::string> folders;
  std::uint64_t scan_id = 0;
  platform::gui::NoticeTarget notice;
};

void run_scan_job(ScanJob job);

}  // namespace vorn
