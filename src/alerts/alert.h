#pragma once
// An alert: what happened, how bad it is, the text people read, and when.
#include <chrono>
#include <cstdint>
#include <string>

#include "options/options.h"

namespace vorn {

enum class AlertEvent { AlertsOn, MinerExited, MinerGaveUp, MinerStalled, PlotsDropped, MiningResumed };

// "alerts-on", "miner-exited", "miner-gave-up", "miner-stalled",
// "plots-dropped", "mining-resumed"
const char* alert_event_text(AlertEvent event);
AlertLevel alert_event_level(AlertEvent event);

struct Alert {
  AlertEvent event = AlertEvent::AlertsOn;
  AlertLevel level = AlertLevel::Info;
  std::string rig;   // the rig's name, also part of the text
  std::string text;  // the sentence people read
  std::chrono::system_clock::time_point time;
};

Alert make_alert(AlertEvent event, std::string rig, std::string text,
                 std::chrono::system_clock::time_point time = std::chrono::system_clock::now());

// The texts of each event.
std::string alerts_on_text(const std::string& rig);
std::string miner_exited_text(const std::string& rig, const std::string& exit, std::int64_t pause_seconds);
std::string miner_gave_up_text(const std::string& rig);
std::string miner_stalled_text(const std::string& rig, std::uint64_t minutes, bool restarting);
std::string plots_dropped_text(const std::string& rig, std::uint64_t files_before, std::uint64_t files_after,
                               std::uint64_t bytes_before, std::uint64_t bytes_after);
std::string mining_resumed_text(const std::string& rig, std::uint64_t height);
// " ({k} more since the last alert)"
std::string more_since_text(std::uint64_t k);

}  // namespace vorn
