#pragma once
// The one message type that worker threads send to the GUI thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "minerconfig/refresh_purpose.h"
#include "options/options.h"
#include "scan/scan_types.h"

namespace vorn {

struct MinerLine {
  std::string line;
};
struct ScanStarted {
  std::uint64_t scan_id;
  std::uint64_t folder_count;
};
struct FolderStarted {
  std::uint64_t scan_id;
  std::string path;
};
struct FolderScanned {
  std::uint64_t scan_id;
  std::string path;
  std::uint64_t file_count;
  std::uint64_t elapsed_ms;
};
struct ScanProgress {
  std::uint64_t scan_id;
  std::uint64_t done;
  std::uint64_t total;
};
struct ScanFinished {
  std::uint64_t scan_id;
  std::uint64_t elapsed_ms;
  std::uint64_t total_files;
};
struct ScanComplete {
  std::uint64_t scan_id;
  std::vector<std::string> folders;
  std::vector<PlotFile> plot_files;
  std::vector<FolderReport> reports;
  std::vector<std::string> warnings;
  // Set when the scan worker failed; the other fields are then empty.
  std::optional<std::string> failure;
};
struct StopFinished {
  std::string outcome;
  bool restart;
};
struct ConfigRefreshed {
  RefreshPurpose purpose;
  std::vector<std::string> cleanup_lines;
  bool ok;                   // success: `text` is the configuration path
  std::string text;          // failure: `text` is the failure message
};
// Whether a folder that has no scan report yet exists, answered off the GUI
// thread because the query can block on a dead network share.
struct FolderChecked {
  std::string path;  // empty in the closing event
  bool is_directory;
  bool last;  // the check is over
};
struct Heartbeat {};
// The activity log file could not be written, or (rotation set) could not
// be rotated and grows past its limit until a later rotation works.
struct LogFileFailed {
  std::string error;
  bool rotation = false;
};
// The options file was read (at start-up, or after it changed, appeared or
// disappeared).
struct OptionsRead {
  enum class Kind { Loaded, Failed, Absent };
  Kind kind = Kind::Absent;
  // Loaded. Held apart, so that the options do not make every event (most
  // are miner lines) larger.
  std::shared_ptr<const Options> options;
  std::string error;  // Failed; never holds a secret
  bool first = false;  // the read at start-up
};

// The metrics textfile could not be written (sent once until a write works again).
struct MetricsFileFailed {
  std::string error;
};

// The alert sender's word on one delivery (an alert to one channel) or one
// heartbeat ping. Never holds a secret: `where` is the redacted URL.
struct AlertReport {
  enum class Kind { Sent, NotDelivered, PingWorked, PingFailed };
  Kind kind = Kind::Sent;
  std::string channel_kind;  // "json", "discord", ...
  std::string where;
  std::string error;
};

using WorkerEvent = std::variant<MinerLine, ScanStarted, FolderStarted, FolderScanned,
                                 ScanProgress, ScanFinished, ScanComplete, StopFinished,
                                 ConfigRefreshed, FolderChecked, Heartbeat, LogFileFailed, OptionsRead,
                                 MetricsFileFailed, AlertReport>;

// What a miner line costs while it waits for the GUI thread: its bytes and
// its event in the channel, so that a flood of empty lines is bounded too.
inline std::size_t queued_cost(const MinerLine& line) { return line.line.size() + sizeof(WorkerEvent); }

}  // namespace vorn
