#pragma once
// The window thread's side of the options file: what a read changes in the
// application state, and its log lines.
#include "core/app_core.h"

namespace vorn {

// Loaded: the new options take effect. Failed: the options in use stay
// (the defaults at start-up). Absent after start-up: back to the defaults.
void handle_options_read(AppCore& core, OptionsRead read);

}  // namespace vorn
