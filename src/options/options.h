#pragma once
// The options file: what a rig operator sets up once beside the program
// (metrics, alert channels, heartbeat, stall watchdog, tray). The program
// reads it and never writes it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vorn {

inline constexpr std::string_view kOptionsFile = "vorn_miner_gui_mainnet_options.json";
// Larger files are refused without being read whole.
inline constexpr std::uint64_t kOptionsFileLimit = 1024 * 1024;

enum class AlertLevel { Info, Warning, Critical };
enum class ChannelKind { Json, Discord, Slack, Ntfy, Telegram };

// "info", "warning", "critical"
const char* alert_level_text(AlertLevel level);
// "json", "discord", "slack", "ntfy", "telegram"
const char* channel_kind_text(ChannelKind kind);

// One place alerts go. `url` and `chat_id` are secrets: they never reach a
// log line, an error text or a metric.
struct AlertChannel {
  ChannelKind kind = ChannelKind::Json;
  std::string url;
  std::string chat_id;  // telegram only
  AlertLevel min_level = AlertLevel::Warning;

  bool operator==(const AlertChannel&) const = default;
};

// Every key of the file with its default; an empty text means "off".
struct Options {
  std::string rig_name;
  std::string metrics_listen;  // host:port
  std::string metrics_token;   // secret
  std::string metrics_textfile;
  std::vector<AlertChannel> alerts;
  std::string heartbeat_url;  // secret
  std::uint64_t heartbeat_interval_secs = 300;
  std::uint64_t stall_minutes = 10;  // 0: no stall watchdog
  bool restart_on_stall = true;
  bool tray_icon = true;
  bool minimize_to_tray = false;
  bool start_minimized = false;
  bool tray_notifications = true;

  bool operator==(const Options&) const = default;
};

// Decodes the file's bytes. A failure names the key and its line, and never
// contains the value of a secret.
Result<Options> parse_options(std::string_view bytes);


// What is on, for the "Options loaded" line, e.g. "metrics on 127.0.0.1:9100,
// stall watchdog 10 min, tray"; "everything off" when nothing is.
std::string options_summary(const Options& options);

}  // namespace vorn
