// In-memory tray icon and window visibility, for tests.
#include <functional>
#include <map>
#include <mutex>

#include "platform/fault_points.h"
#include "platform/headless/headless_tray.h"

namespace vorn::platform::gui {
namespace {

struct Shown {
  bool visible = true;  // windows start visible, as the real one does
  bool minimized = false;
};

struct TrayRegistry {
  std::mutex mutex;
  std::map<WindowHandle, headless::TrayInfo> icons;
  std::map<WindowHandle, Shown> windows;
  std::vector<std::string> notifications;
  std::optional<headless::TrayMenu> menu;
  std::vector<std::function<void()>> while_showing;  // run by the next notifications
  bool refuse = false;
  bool quiet = false;
};

TrayRegistry& tray_registry() {
  static auto* r = new TrayRegistry();
  return *r;
}

std::string cut_units(const std::string& text, std::size_t units) {
  // UTF-8 walked by characters; those above U+FFFF take two UTF-16 units.
  std::size_t used = 0, at = 0;
  while (at < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    const std::size_t bytes = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::size_t need = bytes == 4 ? 2 : 1;
    if (used + need > units) break;
    used += need;
    at += bytes;
  }
  return text.substr(0, at);
}

}  // namespace

struct TrayIcon::State {
  WindowHandle window = 0;
  bool shown = false;
};

std::unique_ptr<TrayIcon> TrayIcon::create(WindowHandle window, const std::string& tooltip) {
  auto state = std::make_unique<State>();
  state->window = window;
  TrayRegistry& r = tray_registry();
  const bool fault = take_fault("tray-add");
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.refuse && !fault) {
    r.icons[window] = headless::TrayInfo{cut_units(tooltip, kTrayTipUnits), 0};
    state->shown = true;
  }
  return std::unique_ptr<TrayIcon>(new TrayIcon(std::move(state)));
}

TrayIcon::TrayIcon(std::unique_ptr<State> state) : state_(std::move(state)) {}

TrayIcon::~TrayIcon() {
  if (!state_->shown) return;
  TrayRegistry& r = tray_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.icons.erase(state_->window);
}

bool TrayIcon::shown() const { return state_->shown; }

void TrayIcon::set_tooltip(const std::string& text) {
  if (!state_->shown) return;
  TrayRegistry& r = tray_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  headless::TrayInfo& icon = r.icons[state_->window];
  icon.tooltip = cut_units(text, kTrayTipUnits);
  ++icon.tooltip_writes;
}

NotifyOutcome TrayIcon::notify(NoticeLevel level, const std::string& title, const std::string& text) {
  if (!state_->shown) return NotifyOutcome::NoIcon;
  TrayRegistry& r = tray_registry();
  std::function<void()> meanwhile;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.quiet) return NotifyOutcome::QuietTime;
    r.notifications.push_back(std::string(level == NoticeLevel::Error ? "error" : "warning") + "|" + title + "|" +
                              text);
    if (!r.while_showing.empty()) {
      meanwhile = std::move(r.while_showing.front());
      r.while_showing.erase(r.while_showing.begin());
    }
  }
  // Still inside the shell call, as messages sent to the window are handled there.
  if (meanwhile) meanwhile();
  return NotifyOutcome::Shown;
}

void TrayIcon::show_menu(bool start_enabled, bool stop_enabled) {
  TrayRegistry& r = tray_registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.menu = headless::TrayMenu{start_enabled, stop_enabled};
}

void show_window(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().windows[window] = Shown{true, false};
}

void hide_window(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().windows[window].visible = false;
}

void minimize_window(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().windows[window] = Shown{true, true};
}

bool window_visible(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  return tray_registry().windows[window].visible;
}

bool window_minimized(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  return tray_registry().windows[window].minimized;
}

namespace headless {

std::optional<TrayInfo> tray_of(WindowHandle window) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  auto found = tray_registry().icons.find(window);
  if (found == tray_registry().icons.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> tray_notifications() {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  return tray_registry().notifications;
}

void refuse_tray_icons(bool refuse) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().refuse = refuse;
}

void set_quiet_time(bool quiet) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().quiet = quiet;
}

void tray_double_click(WindowHandle window) {
  deliver_event(window, Event{EventKind::Tray, window, static_cast<int>(TrayAction::DoubleClick)});
}

void tray_right_click(WindowHandle window) {
  deliver_event(window, Event{EventKind::Tray, window, static_cast<int>(TrayAction::ContextMenu)});
}

std::optional<TrayMenu> shown_tray_menu() {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  return std::exchange(tray_registry().menu, std::nullopt);
}

void choose_tray_item(WindowHandle window, TrayAction item) {
  deliver_event(window, Event{EventKind::Tray, window, static_cast<int>(item)});
}

void minimize(WindowHandle window) {
  {
    std::lock_guard<std::mutex> lock(tray_registry().mutex);
    tray_registry().windows[window] = Shown{true, true};
  }
  deliver_event(window, Event{EventKind::Minimized, window});
}

void reset_tray() {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  TrayRegistry& r = tray_registry();
  r.icons.clear();
  r.windows.clear();
  r.notifications.clear();
  r.menu.reset();
  r.while_showing.clear();
  r.refuse = r.quiet = false;
}

void while_next_tray_notice_shows(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(tray_registry().mutex);
  tray_registry().while_showing.push_back(std::move(action));
}

}  // namespace headless
}  // namespace vorn::platform::gui
