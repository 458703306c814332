#include "alerts/alert.h"

#include "core/app_core.h"

namespace vorn {

const char* alert_event_text(AlertEvent event) {
  switch (event) {
    case AlertEvent::AlertsOn: return "alerts-on";
    case AlertEvent::MinerExited: return "miner-exited";
    case AlertEvent::MinerGaveUp: return "miner-gave-up";
    case AlertEvent::MinerStalled: return "miner-stalled";
    case AlertEvent::PlotsDropped: return "plots-dropped";
    case AlertEvent::MiningResumed: return "mining-resumed";
  }
  return "alerts-on";
}

AlertLevel alert_event_level(AlertEvent event) {
  switch (event) {
    case AlertEvent::AlertsOn:
    case AlertEvent::MiningResumed: return AlertLevel::Info;
    case AlertEvent::MinerExited: return AlertLevel::Warning;
    case AlertEvent::MinerGaveUp:
    case AlertEvent::MinerStalled:
    case AlertEvent::PlotsDropped: return AlertLevel::Critical;
  }
  return AlertLevel::Critical;
}

Alert make_alert(AlertEvent event, std::string rig, std::string text, std::chrono::system_clock::time_point time) {
  return Alert{event, alert_event_level(event), std::move(rig), std::move(text), time};
}

std::string alerts_on_text(const std::string& rig) { return "Alerts are on for " + rig; }

std::string miner_exited_text(const std::string& rig, const std::string& exit, std::int64_t pause_seconds) {
  return "Miner ended unexpectedly on " + rig + " (" + exit + "); starting it again in " +
         std::to_string(pause_seconds) + " s";
}

std::string miner_gave_up_text(const std::string& rig) {
  return "Mining stopped on " + rig +
         ": the miner ended 5 times within 30 minutes. Use Start Mining to try again.";
}

std::string miner_stalled_text(const std::string& rig, std::uint64_t minutes, bool restarting) {
  return "No new block height on " + rig + " for " + std::to_string(minutes) + " minutes; " +
         (restarting ? "restarting the miner" : "not restarting");
}

std::string plots_dropped_text(const std::string& rig, std::uint64_t files_before, std::uint64_t files_after,
                               std::uint64_t bytes_before, std::uint64_t bytes_after) {
  return "Plots dropped on " + rig + ": " + std::to_string(files_before) + " -> " + std::to_string(files_after) +
         " plot files (" + format_capacity(bytes_before) + " -> " + format_capacity(bytes_after) + ")";
}

std::string mining_resumed_text(const std::string& rig, std::uint64_t height) {
  return "Mining again on " + rig + " at height " + std::to_string(height);
}

std::string more_since_text(std::uint64_t k) { return " (" + std::to_string(k) + " more since the last alert)"; }

}  // namespace vorn
