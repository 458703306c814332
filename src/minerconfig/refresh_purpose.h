#pragma once
#include <cstdint>

namespace vorn {

// Why the miner configuration is being refreshed.
struct RefreshPurpose {
  enum class Kind { StablePlotChanges, StartMiner };
  Kind kind = Kind::StartMiner;
  std::uint64_t stable_count = 0;  // for StablePlotChanges

  static RefreshPurpose start_miner() { return {Kind::StartMiner, 0}; }
  static RefreshPurpose stable_plot_changes(std::uint64_t n) { return {Kind::StablePlotChanges, n}; }
};

}  // namespace vorn
