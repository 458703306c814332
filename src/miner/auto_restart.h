#pragma once
// Starting the miner again by itself when it ends without being asked to,
// after pauses that grow, and giving up on a miner that keeps ending.
#include <chrono>

#include "core/app_core.h"

namespace vorn {

inline constexpr int kAutoRestartLimit = 5;
inline constexpr std::chrono::minutes kAutoRestartWindow{30};

// The pause before attempt n (from 1): 10 s, 20 s, 40 s, 80 s, then 160 s.
std::chrono::seconds auto_restart_pause(int attempt);

// The exit poll found that the miner ended without a stop request.
void on_unexpected_end(AppCore& core, Instant now);
// Called on every exit poll: starts the miner once a pending pause is over.
void check_auto_restart(AppCore& core, Instant now);
// The user took over (Start, Stop, Restart) or confirmed the exit; an end
// after the confirmed exit schedules nothing.
void cancel_auto_restart(AppCore& core);

}  // namespace vorn
