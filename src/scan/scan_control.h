#pragma once
// Scan scheduling on the GUI thread, and the batched application of results.
#include "core/app_core.h"

namespace vorn {

inline constexpr std::uint64_t kApplyBatchFiles = 50;
inline constexpr std::chrono::milliseconds kApplyBatchBudget{8};
inline constexpr std::size_t kWarningsShown = 5;

// Starts a scan job, or queues one when a scan or an application is busy.
void request_scan(AppCore& core);
void check_periodic_rescan(AppCore& core, Instant now);
// ScanStarted, FolderStarted, FolderScanned, ScanProgress, ScanFinished.
void handle_scan_progress_event(AppCore& core, const WorkerEvent& event);

// Folders with neither a report nor a known presence are checked on a
// worker; the list shows "not scanned" until the answer arrives.
void request_folder_checks(AppCore& core);
void handle_folder_checked(AppCore& core, const FolderChecked& checked);

void accept_scan_results(AppCore& core, ScanComplete complete);
// One batch: at most 50 files or 8 ms.
void apply_step(AppCore& core);

}  // namespace vorn
