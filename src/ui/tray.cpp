#include "ui/tray.h"

#include "core/build_profile.h"
#include "core/text.h"
#include "ui/display.h"

namespace vorn {

namespace gui = platform::gui;

std::string tray_title() {
  return "Qubo-VORN " + to_upper_ascii(kProfile.network);
}

std::string tray_tooltip_text(const AppCore& core) {
  std::string text =
      tray_title() + ": " + miner_state_text(core.miner_state) + ", height " + height_text(core);
  // Every part is ASCII, so a unit is a byte.
  if (text.size() > gui::kTrayTipUnits) text.resize(gui::kTrayTipUnits);
  return text;
}

TrayRoom::Inputs TrayRoom::gather(AppCore& core) {
  Inputs in;
  std::deque<AlertsState::TrayNotice>& raised = core.alerts.for_the_tray;
  in.notices.assign(std::make_move_iterator(raised.begin()), std::make_move_iterator(raised.end()));
  raised.clear();
  in.tooltip = tray_tooltip_text(core);
  in.options_generation = core.options_generation;
  in.tray_icon = core.options.tray_icon;
  in.minimize_to_tray = core.options.minimize_to_tray;
  in.start_minimized = core.options.start_minimized;
  in.tray_notifications = core.options.tray_notifications;
  return in;
}

void TrayRoom::refresh(gui::WindowHandle window, const Inputs& in, Instant now) {
  if (in.options_generation != generation_) {
    const bool first = generation_ == 0;
    generation_ = in.options_generation;
    minimize_to_tray_ = in.minimize_to_tray;
    notifications_ = in.tray_notifications;
    if (in.tray_icon && !icon_) {
      icon_ = gui::TrayIcon::create(window, in.tooltip);
      tip_written_ = in.tooltip;
      tip_written_at_ = now;
    } else if (!in.tray_icon && icon_) {
      icon_.reset();
      // Nothing else would bring a hidden window back.
      if (!gui::window_visible(window)) gui::show_window(window);
    }
    if (first && in.start_minimized) {
      // Hidden only when the icon is there to bring it back.
      if (in.minimize_to_tray && icon_ && icon_->shown()) {
        gui::hide_window(window);
      } else {
        gui::minimize_window(window);
      }
    }
  }
  if (icon_ && in.tooltip != tip_written_ && (!tip_written_at_ || now - *tip_written_at_ >= kTrayTipInterval)) {
    icon_->set_tooltip(in.tooltip);
    tip_written_ = in.tooltip;
    tip_written_at_ = now;
  }
  for (const AlertsState::TrayNotice& notice : in.notices) notify(notice.level, notice.text);
}

void TrayRoom::on_minimized(gui::WindowHandle window) {
  if (minimize_to_tray_ && icon_ && icon_->shown()) gui::hide_window(window);
}

bool TrayRoom::notify(AlertLevel level, const std::string& text) {
  if (!notifications_ || !icon_ || level == AlertLevel::Info) return false;
  const gui::NoticeLevel shown = level == AlertLevel::Critical ? gui::NoticeLevel::Error : gui::NoticeLevel::Warning;
  return icon_->notify(shown, tray_title(), text) == gui::NotifyOutcome::Shown;
}

}  // namespace vorn
