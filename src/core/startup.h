#pragma once
#include "core/app_core.h"

namespace vorn {

// Builds the application state on the GUI thread, with its start-up checks
// and their log lines.
AppCore create_app_core(EventSender sender, platform::gui::NoticeTarget notice);

}  // namespace vorn
