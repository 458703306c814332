#pragma once
// The tray side of the main window: the icon follows the options file's
// tray keys, its tooltip follows the miner's state and height (at most once a
// second), and warning and critical alerts become notifications of it.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/app_core.h"
#include "platform/tray.h"

namespace vorn {

inline constexpr std::chrono::milliseconds kTrayTipInterval{1000};

// "Qubo-VORN MAINNET: {state}, height {h}", at most 127 UTF-16 units.
std::string tray_tooltip_text(const AppCore& core);
// The title of the icon's notifications: "Qubo-VORN MAINNET".
std::string tray_title();

class TrayRoom {
 public:
  // What a refresh gives the room, gathered while the state is borrowed.
  struct Inputs {
    std::string tooltip;
    std::vector<AlertsState::TrayNotice> notices;  // alerts raised since the last refresh
    std::uint64_t options_generation = 0;
    bool tray_icon = false, minimize_to_tray = false, start_minimized = false, tray_notifications = false;
  };
  static Inputs gather(AppCore& core);  // takes the alerts raised for the tray

  // After each refresh of the window: on new options the icon is added or
  // removed (a hidden window is shown when its icon goes) and, on the first
  // options of the run, the window starts minimised; the tooltip is written
  // when it changed and a second has passed since the last write.
  void refresh(platform::gui::WindowHandle window, const Inputs& inputs, Instant now);
  // The window was minimised: hidden when minimize_to_tray is on and the
  // icon is there.
  void on_minimized(platform::gui::WindowHandle window);
  // A notification for an alert of at least the warning level, when
  // tray_notifications is on and the icon is there; true when it showed.
  bool notify(AlertLevel level, const std::string& text);

  platform::gui::TrayIcon* icon() { return icon_.get(); }

 private:
  std::unique_ptr<platform::gui::TrayIcon> icon_;
  std::uint64_t generation_ = 0;  // of the options last applied
  bool minimize_to_tray_ = false, notifications_ = false;
  std::string tip_written_;
  std::optional<Instant> tip_written_at_;
};

}  // namespace vorn
