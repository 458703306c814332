#pragma once
// What a plot folder scan finds, and the index kept between scans.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/paths.h"
#include "scan/plot_index.h"

namespace vorn {

struct PlotFile {
  std::string path;
  std::uint64_t size_bytes = 0;
  std::uint64_t modified_unix_secs = 0;
};

// NotResponding: the folder's storage gave no answer within the scan's
// bound; what it held before is kept as it was.
enum class FolderStatus { Missing, NoPlots, Normal, NotResponding };
const char* folder_status_text(FolderStatus status);

struct CompressionSummary {
  enum class Kind { NotScanned, Unknown, Single, Mixed };
  Kind kind = Kind::NotScanned;
  std::vector<std::string> labels;  // one for Single, sorted for Mixed

  bool operator==(const CompressionSummary&) const = default;
};

struct FolderReport {
  std::string path;
  FolderStatus status = FolderStatus::Missing;
  std::uint64_t file_count = 0;
  std::uint64_t total_bytes = 0;
  std::optional<std::uint64_t> free_bytes;
  CompressionSummary compression;
  double scan_seconds = 0.0;
};

template <class V>
using PathMap = std::unordered_map<std::string, V, platform::PathHash, platform::PathEqual>;

struct PendingScanResults {
  std::uint64_t scan_id = 0;
  std::vector<std::string> folders;
  std::vector<PlotFile> plot_files;
  std::vector<FolderReport> reports;
  std::chrono::steady_clock::time_point started_at;
  std::chrono::steady_clock::time_point progress_logged_at;
  PlotIndex index_building;
  std::uint64_t total = 0;
  std::uint64_t applied = 0;
  std::uint64_t previous_count = 0;
  std::uint64_t matched_count = 0;
  std::uint64_t new_count = 0;
  std::uint64_t changed_count = 0;
  std::uint64_t stable_count = 0;
  std::uint64_t total_bytes = 0;
};

}  // namespace vorn
