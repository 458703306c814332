#pragma once
// The user's settings: records, defaults, the JSON file format and the
// fixed values of this profile.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

struct ChainSettings {
  std::string name;
  std::string rpc_transport;
  std::string rpc_host;
  std::uint16_t rpc_port = 0;
  std::string rpc_auth_type;
  std::string submission_mode;
  std::uint64_t block_time_seconds = 0;

  static ChainSettings profile_defaults();
  bool operator==(const ChainSettings&) const = default;
};

struct MinerSettings {
  std::uint64_t get_mining_info_interval = 1000;
  std::uint64_t timeout = 5000;
  bool hdd_use_direct_io = true;
  std::int64_t hdd_wakeup_after = 30;
  std::uint64_t hdd_read_cache_in_warps = 16;
  bool enable_on_the_fly_compression = true;
  std::uint64_t cpu_threads = 0;
  bool cpu_thread_pinning = true;

  bool operator==(const MinerSettings&) const = default;
};

struct AppSettings {
  std::string miner_name = "Vorn Miner";
  std::string miner_exe_path;
  std::string config_output_path = "miner_config.mainnet.gui.yaml";
  std::vector<std::string> plot_dirs;
  std::uint64_t plot_rescan_interval_secs = 7200;
  bool auto_detect_new_plots = true;
  bool auto_restart_on_new_plots = true;
  ChainSettings chain = ChainSettings::profile_defaults();
  MinerSettings miner;

  bool operator==(const AppSettings&) const = default;
};

// Decodes the settings file's bytes; nothing when they do not decode.
std::optional<AppSettings> decode_settings(std::string_view bytes);

// Reads the file; every failure gives the defaults.
AppSettings load_settings(const std::string& path);

void normalize_settings(AppSettings& settings);

// The five saved keys, two-space pretty-printed.
std::string encode_settings(const AppSettings& settings);

// The legacy "config_output_path" string of a settings file, if it has one.
std::optional<std::string> legacy_config_output_path(std::string_view bytes);

}  // namespace vorn
