#pragma once
// Starting the miner again by itself when it ends without being asked to,
// after pauses that grow, and giving up on a miner that keeps ending.
#include <chrono>
#include <string>

#include "core/app_core.h"

namespace vorn {

// The fifth unexpected end within the window gives up, so at most four
// automatic restarts follow one another.
inline constexpr int kAutoRestartLimit = 5;
inline constexpr int kAutoRestartAttempts = kAutoRestartLimit - 1;
inline constexpr std::chrono::minutes kAutoRestartWindow{30};
// How a failed start of the automatic restart is named in its alert.
inline constexpr const char* kStartFailedText = "it could not be started";

// The pause before attempt n (from 1): 10 s, 20 s, 40 s, 80 s, then 160 s.
std::chrono::seconds auto_restart_pause(int attempt);

// The exit poll found that the miner ended without a stop request.
// `exit_text` is how the end is shown ("exit code: 3").
void on_unexpected_end(AppCore& core, Instant now, const std::string& exit_text = kStartFailedText);
// Called on every exit poll: starts the miner once a pending pause is over
// and no stop or configuration refresh runs.
void check_auto_restart(AppCore& core, Instant now);
// A start begun by the automatic restart failed before the miner ran: it
// counts as one more unexpected end. Any other failed start is left alone.
void on_start_failed(AppCore& core, Instant now);
// The user took over (Start, Stop, Restart) or confirmed the exit; an end
// after the confirmed exit schedules nothing.
void cancel_auto_restart(AppCore& core);
// A restart waits: a pause runs, or a stop with restart waits for a refresh.
bool restart_waiting(const AppCore& core);

}  // namespace vorn
