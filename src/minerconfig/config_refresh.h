#pragma once
// Writing and checking the miner configuration on a worker thread.
#include "core/app_core.h"

namespace vorn {

// Starts the refresh worker unless one runs; returns whether it started.
bool start_config_refresh(AppCore& core, RefreshPurpose purpose);

struct RefreshJob {
  RefreshPurpose purpose;
  AppSettings settings;
  std::string config_path;
  EventSender sender;
  platform::gui::NoticeTarget notice;
};

// The worker's body: cleanup before a start, write and verify, one event.
void run_config_refresh(RefreshJob job);

}  // namespace vorn
