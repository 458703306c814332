#include "minerconfig/config_refresh.h"

#include "core/crash_guard.h"
#include "miner/residual_cleanup.h"
#include "minerconfig/miner_config.h"
#include "platform/fault_points.h"

namespace vorn {

bool start_config_refresh(AppCore& core, RefreshPurpose purpose) {
  if (core.config_refresh_in_progress) {
    log_line(core, "Miner config refresh is already running; request ignored");
    return false;
  }
  normalize_settings(core.settings);
  RefreshJob job{purpose, core.settings, expected_miner_config_path(), core.event_sender, core.notice};
  core.config_refresh_in_progress = true;
  core.scan_status_text = "Refreshing miner config...";
  core.status_dirty = core.controls_dirty = true;
  log_line(core, "Refreshing miner config: " + job.config_path);
  auto report_failure = [purpose, sender = job.sender, notice = job.notice](const std::string& failure) {
    if (sender.send(ConfigRefreshed{purpose, {}, false, "refresh worker failed: " + failure})) notice.post();
  };
  spawn_detached_worker("config-refresh", [job = std::move(job)]() mutable { run_config_refresh(std::move(job)); },
                        std::move(report_failure));
  return true;
}

void run_config_refresh(RefreshJob job) {
  platform::fault_point("config-refresh");
  ConfigRefreshed event{job.purpose, {}, false, {}};
  bool write = true;
  if (job.purpose.kind == RefreshPurpose::Kind::StartMiner) {
    Result<std::vector<std::string>> cleanup = clean_residual_miners(true);
    if (cleanup.ok()) {
      event.cleanup_lines = std::move(cleanup).value();
    } else {
      event.text = cleanup.error();
      write = false;
    }
  }
  if (write) {
    Result<std::string> written = write_miner_config(std::move(job.settings), job.config_path);
    event.ok = written.ok();
    event.text = written.ok() ? written.value() : written.error();
  }
  if (job.sender.send(std::move(event))) job.notice.wake();
}

}  // namespace vorn
