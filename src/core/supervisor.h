#pragma once
// The GUI-thread side of the worker event channel: bounded drains on each
// notice, the dispatcher, and everything periodic, clocked by heartbeats.
#include <chrono>

#include "core/app_core.h"
#include "core/window_object.h"

namespace vorn {

inline constexpr std::chrono::milliseconds kHeartbeatPeriod{100};
inline constexpr int kDrainEventLimit = 100;
inline constexpr std::chrono::milliseconds kDrainBudget{8};
inline constexpr std::chrono::milliseconds kDeferredSaveDelay{750};
// Past this many drains nested on the stack, the next one waits for the
// message loop instead of running inside the current one.
inline constexpr int kMaxNestedDrains = 8;

void on_notice(WindowObject& window);
void dispatch_event(AppCore& core, WorkerEvent event);
void on_heartbeat(AppCore& core);
void handle_config_refreshed(AppCore& core, ConfigRefreshed refreshed);
void maybe_auto_start(AppCore& core);

// The heartbeat thread's body: a Heartbeat and a notice every 100 ms until
// the receiving end is gone.
void run_heartbeat(EventSender sender, platform::gui::NoticeTarget notice);

}  // namespace vorn
