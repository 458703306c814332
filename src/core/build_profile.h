#pragma once
// Everything that tells this network and pool apart from others, compiled in.
#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

struct BuildProfile {
  std::string_view network;
  std::string_view window_title;
  std::string_view log_tag;
  std::string_view settings_file;
  std::string_view config_file;
  std::string_view run_value_name;
  std::string_view pool_name;
  std::string_view pool_transport;
  std::string_view pool_host;
  std::string_view pool_auth_type;
  std::string_view submission_mode;
  std::uint64_t block_time_seconds;
  std::uint64_t pool_port;
};

inline constexpr BuildProfile kProfile{
    "mainnet",
    "Qubo-VORN Pool Miner - MAINNET",
    "[gui:mainnet]",
    "vorn_miner_gui_mainnet_settings.json",
    "miner_config.mainnet.gui.yaml",
    "VORN Miner GUI Mainnet",
    "Qubo-VORN Pool",
    "https",
    "pool.qubovorn-net.com",
    "none",
    "pool",
    120,
    443,
};

inline constexpr std::string_view kVersion = "v0.1.37";
inline constexpr std::string_view kBuildTag =
    "v0.1.37-miner-gui-crash-guard-notice-coalesce-and-ui-reentry-safe";

// "Qubo-VORN Pool Miner - MAINNET v0.1.37"
std::string window_caption();

// The folder of the running executable joined with `name`, or `name` alone
// when the executable's path is unknown or has no parent folder.
std::string exe_relative(std::string_view name);

}  // namespace vorn
