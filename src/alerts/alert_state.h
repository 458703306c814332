#pragma once
// What the window thread keeps for alerts, the stall watchdog and the
// heartbeat ping (part of AppCore).
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "alerts/alert_sender.h"

namespace vorn {

// A finished scan's totals, as the window shows them.
struct ScanTotals {
  std::vector<std::string> folders;    // the folder list scanned
  std::uint64_t files = 0, bytes = 0;
  std::vector<std::string> answering;  // folders whose storage answered
};

struct AlertsState {
  using Instant = std::chrono::steady_clock::time_point;

  std::uint64_t options_generation = 0;  // the options last applied
  std::vector<AlertChannel> channels;
  // Started once alerts or the heartbeat are first needed; lives until the exit.
  std::unique_ptr<AlertSender> sender;
  std::shared_ptr<const AlertClock> clock = steady_alert_clock();

  // miner-exited: when one was last sent, and how many were held back since.
  std::optional<Instant> exited_sent_at;
  std::uint64_t exited_held = 0;
  // A give-up or a stall waits for the next new height (mining-resumed).
  bool resume_armed = false;

  // The current launch of the miner.
  bool launched = false;
  bool height_seen = false;   // a block height arrived since the launch
  Instant activity_at{};      // the launch, or the last height change or round start
  bool stalled = false;       // the watchdog fired; until the next activity
  std::deque<Instant> stall_restarts;  // within the last hour

  std::string heartbeat_url;  // the options the last ping was sent with
  std::uint64_t heartbeat_interval_secs = 0;
  std::optional<Instant> next_ping_at;
  bool ping_failing = false;

  std::optional<ScanTotals> last_scan;

  // Alerts for the tray icon's notifications, taken by the window's next
  // refresh; only the latest few are kept.
  struct TrayNotice {
    AlertLevel level;
    std::string text;
  };
  std::deque<TrayNotice> for_the_tray;
};

}  // namespace vorn
