#include "ui/main_window.h"

#include <algorithm>
#include <cstdint>

#include "core/build_profile.h"
#include "core/event_guard.h"
#include "core/supervisor.h"
#include "core/text.h"
#include "miner/auto_restart.h"
#include "miner/miner_control.h"
#include "platform/fault_points.h"
#include "platform/paths.h"
#include "platform/tray.h"
#include "scan/scan_control.h"
#include "ui/startup_launch.h"

namespace vorn {

using platform::gui::ControlHandle;
using platform::gui::ControlKind;
using platform::gui::Event;
using platform::gui::EventKind;

namespace {

const std::vector<platform::gui::Column> kPlotColumns = {
    {"Path", 500}, {"Capacity", 90}, {"Free Space", 100}, {"Files", 70},
    {"Scan Time", 100}, {"Compression", 130}, {"Status", 150}};

// Sets a flag for the duration of a scope and restores it afterwards.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = previous_; }

 private:
  bool& flag_;
  bool previous_;
};

}  // namespace

MainWindow::MainWindow(platform::gui::Window window, AppCore core, EventReceiver receiver)
    : WindowObject(window.notice(core.notice.id), std::move(core), std::move(receiver)),
      window_(std::move(window)) {}

Result<std::unique_ptr<MainWindow>> MainWindow::build(platform::gui::Window window, AppCore core,
                                                      EventReceiver receiver) {
  std::unique_ptr<MainWindow> w(new MainWindow(std::move(window), std::move(core), std::move(receiver)));
  if (MaybeError e = w->build_controls()) return Result<std::unique_ptr<MainWindow>>::failure(*e);
  w->reload_controls();
  return Result<std::unique_ptr<MainWindow>>::success(std::move(w));
}

MaybeError MainWindow::build_controls() {
  MaybeError failed;
  auto add = [&](ControlKind kind, std::string text, int x, int y, int w, int h) -> ControlHandle {
    if (failed) return 0;
    Result<ControlHandle> c = window_.add_control({kind, std::move(text), x, y, w, h});
    if (!c.ok()) {
      failed = c.error();
      return 0;
    }
    return c.value();
  };
  Controls& c = controls_;
  c.header = add(ControlKind::Label, "Qubo-VORN Pool Miner", 18, 12, 520, 26);
  c.sub_header = add(ControlKind::Label, "Fixed pool mining client", 18, 40, 520, 22);
  c.network_badge = add(ControlKind::Label, "MAINNET", 1000, 18, 150, 26);
  c.status_line = add(ControlKind::Label, "", 18, 72, 1140, 24);
  c.extra_labels.push_back(add(ControlKind::Label, "Miner Name", 18, 112, 90, 24));
  c.miner_name = add(ControlKind::Edit, "", 112, 108, 280, 28);
  c.total_capacity = add(ControlKind::Label, "Total Capacity: -", 430, 112, 190, 24);
  c.current_height = add(ControlKind::Label, "Current Height: -", 640, 112, 190, 24);
  c.scan_status = add(ControlKind::Label, "Scan Status: waiting", 850, 112, 300, 24);
  c.version = add(ControlKind::Label, version_text(), 18, 140, 1140, 18);
  c.extra_labels.push_back(add(ControlKind::Label, "Plot Folders", 18, 168, 160, 24));
  c.plot_list = add(ControlKind::ListView, "", 18, 196, 1142, 270);
  if (!failed) platform::gui::add_columns(c.plot_list, kPlotColumns);
  if (!failed) {
    Result<ControlHandle> item = window_.add_popup_menu("Menu", "Remove");
    if (!item.ok()) return item.error();
    c.remove_item = item.value();
  }
  c.add_folder = add(ControlKind::Button, "Add Plot Folder", 18, 486, 150, 34);
  c.scan_now = add(ControlKind::Button, "Scan Now", 178, 486, 120, 34);
  c.extra_labels.push_back(add(ControlKind::Label, "Rescan interval", 332, 492, 125, 24));
  c.rescan_interval = add(ControlKind::Edit, "", 460, 489, 70, 26);
  c.extra_labels.push_back(add(ControlKind::Label, "minutes", 540, 492, 70, 24));
  c.auto_rescan = add(ControlKind::CheckBox, "Auto rescan plots", 630, 492, 180, 24);
  c.start_with_windows = add(ControlKind::CheckBox, "Start GUI when Windows starts", 820, 492, 280, 24);
  c.hint = add(ControlKind::Label, "Manual scan always works. No restart if nothing changed.", 18, 526, 1140, 24);
  c.start_mining = add(ControlKind::Button, "Start Mining", 18, 564, 130, 36);
  c.stop_mining = add(ControlKind::Button, "Stop Mining", 158, 564, 120, 36);
  c.restart_miner = add(ControlKind::Button, "Restart Miner", 288, 564, 130, 36);
  c.save_settings = add(ControlKind::Button, "Save Settings", 438, 564, 130, 36);
  c.clear_log = add(ControlKind::Button, "Clear Log", 588, 564, 110, 36);
  c.change_result = add(ControlKind::Label, "No plot changes detected. Miner restart not needed.", 18, 608, 1140, 24);
  c.extra_labels.push_back(add(ControlKind::Label, "Activity Log", 18, 644, 120, 24));
  c.log_box = add(ControlKind::LogBox, "", 18, 672, 1142, 175);
  return failed;
}

void MainWindow::bind_events() {
  window_.bind([this](const Event& event) { handle_event(event); });
}

void MainWindow::unbind_events() { window_.unbind(); }

void MainWindow::handle_event(const Event& event) {
  // While the program writes into controls only these two are handled.
  if (updating_controls && event.kind != EventKind::Notice && event.kind != EventKind::CloseRequest) return;
  guard_event(*this, [&] { dispatch(event); });
}

void MainWindow::dispatch(const Event& event) {
  const Controls& c = controls_;
  // One operation with the state borrowed, then the display refreshed;
  // most commands first copy the controls into the settings.
  auto with_core = [this](auto operation) {
    {
      auto core = this->core.borrow();
      operation(*core);
    }
    refresh_display();
  };
  auto synced = [&](auto operation) {
    with_core([&](AppCore& core) {
      sync_settings_from_controls(core);
      operation(core);
    });
  };
  switch (event.kind) {
    case EventKind::Notice:
      on_notice(*this);
      return;
    case EventKind::CloseRequest:
      on_close_request();
      return;
    case EventKind::RightClick:
      if (event.source == c.plot_list) on_right_click(event.row);
      return;
    case EventKind::MenuItem:
      if (event.source == c.remove_item) on_remove_folder();
      return;
    case EventKind::DeleteKey:  // the same as the context menu's command
      if (event.source == c.plot_list && event.row >= 0) on_remove_folder();
      return;
    case EventKind::TextChanged:
      if (event.source == c.miner_name || event.source == c.rescan_interval) on_setting_edited();
      return;
    case EventKind::Tray:
      on_tray(static_cast<platform::gui::TrayAction>(event.row));
      return;
    case EventKind::Minimized:
      tray_.on_minimized(window_.handle());
      return;
    case EventKind::Click:
      break;
  }
  const ControlHandle s = event.source;
  if (s == c.add_folder) {
    on_add_folder();
  } else if (s == c.scan_now) {
    synced(request_scan);
  } else if (s == c.save_settings) {
    {
      auto core = this->core.borrow();
      sync_settings_from_controls(*core);
      core->save_pending = false;
      core->save_requested_at.reset();
      save_settings(*core);
    }
    reload_controls();
  } else if (s == c.start_mining) {
    synced(start_miner);
  } else if (s == c.stop_mining) {
    with_core([](AppCore& core) { stop_miner(core, false); });
  } else if (s == c.restart_miner) {
    synced(restart_miner);
  } else if (s == c.clear_log) {
    with_core([](AppCore& core) { clear_log(core); });
  } else if (s == c.auto_rescan) {
    on_setting_edited();
  } else if (s == c.start_with_windows) {
    on_startup_check_box();
  }
}

void MainWindow::sync_settings_from_controls(AppCore& core) {
  if (updating_controls) return;
  core.settings.miner_name = platform::gui::text_of(controls_.miner_name);
  core.settings.plot_rescan_interval_secs =
      parse_interval_field(platform::gui::text_of(controls_.rescan_interval), core.settings.plot_rescan_interval_secs);
  core.settings.auto_detect_new_plots = platform::gui::is_checked(controls_.auto_rescan);
  core.settings.auto_restart_on_new_plots = true;
}

void MainWindow::on_setting_edited() {
  {
    auto core = this->core.borrow();
    sync_settings_from_controls(*core);
    request_deferred_save(*core, Clock::now());
    core->status_dirty = true;
  }
  refresh_display();
}

// Folder changes are refused while a scan, an application of results or a
// configuration refresh runs: the folder list must not change under them.
bool MainWindow::refuse_while_busy(std::string_view message) {
  {
    auto core = this->core.borrow();
    if (!is_busy(*core)) return false;
    log_line(*core, message);
  }
  refresh_display();
  return true;
}

void MainWindow::on_add_folder() {
  if (refuse_while_busy("Add Plot Folder is disabled while scanning, applying scan results, or refreshing miner config")) {
    return;
  }
  // The picker runs a modal loop: the state is not borrowed meanwhile.
  Result<std::optional<std::string>> picked =
      platform::gui::pick_folder(window_.handle(), std::string(kFolderPickerTitle));
  if (!picked.ok()) {
    {
      auto core = this->core.borrow();
      log_line(*core, "Could not open the folder picker: " + picked.error());
    }
    refresh_display();
    return;
  }
  const std::optional<std::string>& folder = picked.value();
  if (folder && !folder->empty()) {
    auto core = this->core.borrow();
    sync_settings_from_controls(*core);
    bool known = false;
    for (const std::string& dir : core->settings.plot_dirs) known = known || platform::paths_equal(dir, *folder);
    if (!known) {
      core->settings.plot_dirs.push_back(*folder);
      core->folder_reports.erase(*folder);
      core->folder_presence.erase(*folder);
      log_line(*core, "Added plot directory " + *folder);
      core->list_dirty = core->status_dirty = core->controls_dirty = true;
      save_settings(*core);
      request_scan(*core);
    }
  }
  reload_controls();
}

void MainWindow::on_remove_folder() {
  if (refuse_while_busy("Remove Plot Folder is disabled while scanning, applying scan results, or refreshing miner config")) {
    return;
  }
  if (std::optional<int> row = platform::gui::selected_row(controls_.plot_list)) {
    auto core = this->core.borrow();
    sync_settings_from_controls(*core);
    const auto index = static_cast<std::size_t>(*row);
    if (index < core->settings.plot_dirs.size()) {
      const std::string removed = core->settings.plot_dirs[index];
      core->settings.plot_dirs.erase(core->settings.plot_dirs.begin() + static_cast<std::ptrdiff_t>(index));
      core->folder_reports.erase(removed);
      log_line(*core, "Removed plot directory: " + removed);
      core->list_dirty = core->status_dirty = core->controls_dirty = true;
      save_settings(*core);
      request_scan(*core);
    }
  }
  reload_controls();
}

void MainWindow::on_right_click(int row) {
  bool show = false;
  {
    auto core = this->core.borrow();
    show = !is_busy(*core) && row >= 0 && static_cast<std::size_t>(row) < core->settings.plot_dirs.size();
  }
  if (show) {
    platform::gui::select_row(controls_.plot_list, row);
    window_.show_popup_menu(controls_.remove_item);
  }
  refresh_display();
}

void MainWindow::on_startup_check_box() {
  if (updating_controls) return;
  const bool checked = platform::gui::is_checked(controls_.start_with_windows);
  const std::string outcome = apply_startup_choice(checked);
  {
    auto core = this->core.borrow();
    log_line(*core, outcome);
  }
  set_startup_box_from_registry();
  refresh_display();
}

void MainWindow::set_startup_box_from_registry() {
  Result<bool> state = read_startup_state();
  FlagScope updating(updating_controls);
  platform::gui::set_checked(controls_.start_with_windows, state.ok() && state.value());
}

// The menu's items do what the window's own commands do: the two mining
// items only while their buttons are enabled, Exit through the same question.
void MainWindow::on_tray(platform::gui::TrayAction action) {
  using platform::gui::TrayAction;
  const Controls& c = controls_;
  switch (action) {
    case TrayAction::DoubleClick:
    case TrayAction::ShowWindow:
      platform::gui::show_window(window_.handle());
      return;
    case TrayAction::ContextMenu:
      refresh_display();  // the buttons as of now
      if (platform::gui::TrayIcon* icon = tray_.icon()) {
        icon->show_menu(platform::gui::is_enabled(c.start_mining), platform::gui::is_enabled(c.stop_mining));
      }
      return;
    case TrayAction::StartMining:
      if (platform::gui::is_enabled(c.start_mining)) dispatch(Event{EventKind::Click, c.start_mining});
      return;
    case TrayAction::StopMining:
      if (platform::gui::is_enabled(c.stop_mining)) dispatch(Event{EventKind::Click, c.stop_mining});
      return;
    case TrayAction::Exit:
      on_close_request();
      return;
  }
}

void MainWindow::on_close_request() {
  if (exit_confirmed || close_dialog_open) return;
  close_dialog_open = true;
  const bool ok = platform::gui::confirm_warning(std::string(kExitCaption), std::string(kExitText));
  close_dialog_open = false;
  if (!ok) {
    exit_confirmed = false;
    return;
  }
  exit_confirmed = true;
  {
    auto core = this->core.borrow();
    core->exit_requested = true;
    cancel_auto_restart(*core);
    if (!core->miner_child && !core->stop_in_progress) {
      platform::gui::post_quit();
    } else {
      stop_miner(*core, false);
    }
  }
  refresh_display();
}

std::size_t MainWindow::shown_log_units(const LogShown& shown) {
  std::size_t units = 0;
  for (std::size_t span : shown.spans) units += span;
  return units > 0 ? units - 2 : 0;
}

void MainWindow::render_log(LogUpdate update) {
  const ControlHandle box = controls_.log_box;
  const platform::gui::TextView view = platform::gui::text_view(box);
  const std::size_t previous_lines = log_shown_ ? log_shown_->spans.size() : 0;
  const std::uint64_t previous_first = log_shown_ ? log_shown_->first : 0;
  const bool cleared = !log_shown_ || log_shown_->clears != update.clears;
  LogShown shown = update.whole ? LogShown{} : std::move(*log_shown_);
  std::string added;
  for (const std::string& line : update.lines) {
    if (!shown.spans.empty() || !added.empty()) added += "\r\n";
    added += line;
    shown.spans.push_back(utf16_length(line) + 2);  // the line and the CR LF after it
  }
  std::size_t dropped_units = 0;
  if (update.whole) {
    platform::gui::set_text(box, added);
  } else {
    for (std::uint64_t n = shown.first; n < update.first; ++n) {
      dropped_units += shown.spans.front();
      shown.spans.pop_front();
    }
    platform::gui::drop_and_append_text(box, dropped_units, added);
  }
  shown.clears = update.clears;
  shown.first = update.first;
  log_shown_ = std::move(shown);
  if (platform::gui::text_length(box) != shown_log_units(*log_shown_)) {
    // The box does not hold what the window believes (a control that cut a
    // text short, a write that failed): write it whole at the next render.
    log_shown_.reset();
    auto core = this->core.borrow();
    core->log_dirty = true;
    core->log_refresh_at = Instant{};
    refresh_again = true;
    return;
  }
  // Follow the end only when the user was at the end, as a terminal does;
  // otherwise keep their place and selection, moved up by what was dropped.
  if (view.at_end) {
    if (log_shown_->spans.size() >= previous_lines) platform::gui::scroll_log_to_end(box);
    return;
  }
  const std::uint64_t dropped_lines = cleared ? previous_lines : update.first - previous_first;
  platform::gui::TextView kept = view;
  if (update.whole) dropped_units = view.selection_end;  // a box written anew keeps no selection
  kept.selection_start = view.selection_start > dropped_units ? view.selection_start - dropped_units : 0;
  kept.selection_end = view.selection_end > dropped_units ? view.selection_end - dropped_units : 0;
  kept.first_line = static_cast<int>(std::max<std::int64_t>(0, view.first_line - static_cast<std::int64_t>(dropped_lines)));
  platform::gui::set_text_view(box, kept);
}

void MainWindow::reload_controls() {
  Result<bool> startup = read_startup_state();
  std::string name, interval;
  bool auto_rescan = false;
  std::vector<PlotRow> rows;
  {
    auto core = this->core.borrow();
    normalize_settings(core->settings);
    name = core->settings.miner_name;
    interval = std::to_string(interval_minutes(core->settings.plot_rescan_interval_secs));
    auto_rescan = core->settings.auto_detect_new_plots;
    request_folder_checks(*core);
    rows = build_plot_rows(*core);
    core->list_dirty = false;
    core->status_dirty = core->controls_dirty = true;
  }
  {
    FlagScope updating(updating_controls);
    platform::gui::set_text(controls_.miner_name, name);
    platform::gui::set_text(controls_.rescan_interval, interval);
    platform::gui::set_checked(controls_.auto_rescan, auto_rescan);
    platform::gui::set_checked(controls_.start_with_windows, startup.ok() && startup.value());
    fill_plot_list(rows);
  }
  refresh_display();
}

void MainWindow::write_label(ControlHandle label, const std::string& text) {
  auto cached = label_cache_.find(label);
  if (cached != label_cache_.end() && cached->second == text) return;
  platform::gui::set_text(label, text);
  label_cache_[label] = text;
}

void MainWindow::write_enabled(ControlHandle button, bool enabled) {
  auto cached = enabled_cache_.find(button);
  if (cached != enabled_cache_.end() && cached->second == enabled) return;
  platform::gui::set_enabled(button, enabled);
  enabled_cache_[button] = enabled;
}

void MainWindow::fill_plot_list(const std::vector<PlotRow>& rows) {
  const ControlHandle list = controls_.plot_list;
  platform::gui::set_redraw(list, false);
  platform::gui::delete_all_rows(list);
  if (platform::gui::column_count(list) == 0) platform::gui::add_columns(list, kPlotColumns);
  for (const PlotRow& row : rows) platform::gui::append_row(list, row);
  platform::gui::set_redraw(list, true);
}

void MainWindow::refresh_display() {
  if (refresh_running) {
    refresh_again = true;
    return;
  }
  refresh_running = true;
  refresh_again = false;
  // A failure that unwinds from here must not leave the flag set, or no
  // later refresh would write a control again.
  struct RefreshScope {
    WindowObject& w;
    ~RefreshScope() { w.refresh_running = false; }
  } scope{*this};
  platform::fault_point("refresh_display");

  struct Gathered {
    std::string capacity, height, status, scan_status, hint;
    ButtonStates buttons;
    TrayRoom::Inputs tray;
    bool status_dirty = false, controls_dirty = false;
    std::optional<std::vector<PlotRow>> rows;
    std::optional<LogUpdate> log;
  } g;
  {
    auto core = this->core.borrow();
    g.capacity = total_capacity_text(*core);
    g.height = height_text(*core);
    g.status = status_line(*core);
    g.scan_status = core->scan_status_text;
    g.hint = hint_text(*core);
    g.buttons = button_states(*core);
    g.tray = TrayRoom::gather(*core);
    const Instant now = Clock::now();
    const bool progress_due = core->progress_dirty && (now < core->progress_shown_at ||
                                                       now - core->progress_shown_at >= kProgressRenderInterval);
    g.status_dirty = std::exchange(core->status_dirty, false) || progress_due;
    if (g.status_dirty) {
      core->progress_dirty = false;  // the labels show the latest progress too
      core->progress_shown_at = now;
    }
    g.controls_dirty = std::exchange(core->controls_dirty, false);
    if (std::exchange(core->list_dirty, false)) {
      request_folder_checks(*core);
      g.rows = build_plot_rows(*core);
    }
    const auto since = now > core->log_refresh_at ? now - core->log_refresh_at : Clock::duration::zero();
    if (core->log_dirty && since >= kLogRenderInterval) {
      LogUpdate update;
      update.clears = core->log_clears;
      update.first = core->log_lines_added - core->log_lines.size();
      // Written anew after a clear, or when lines went by unseen; otherwise
      // only the new lines are added and the dropped ones removed.
      const std::uint64_t shown_next = log_shown_ ? log_shown_->first + log_shown_->spans.size() : 0;
      update.whole = !log_shown_ || log_shown_->clears != update.clears || update.first > shown_next ||
                     update.first - log_shown_->first >= log_shown_->spans.size();
      const std::uint64_t from = update.whole ? update.first : shown_next;
      update.lines.assign(core->log_lines.end() - static_cast<std::ptrdiff_t>(core->log_lines_added - from),
                          core->log_lines.end());
      g.log = std::move(update);
      core->log_dirty = false;
      core->log_refresh_at = now;
    }
  }

  {
    FlagScope updating(updating_controls);
    if (g.status_dirty) {
      write_label(controls_.status_line, g.status);
      write_label(controls_.total_capacity, "Total Capacity: " + g.capacity);
      write_label(controls_.current_height, "Current Height: " + g.height);
      write_label(controls_.scan_status, "Scan Status: " + g.scan_status);
      write_label(controls_.change_result, g.hint);
      write_label(controls_.version, version_text());
    }
    if (g.controls_dirty) {
      write_enabled(controls_.start_mining, g.buttons.start_mining);
      write_enabled(controls_.stop_mining, g.buttons.stop_mining);
      write_enabled(controls_.restart_miner, g.buttons.restart_miner);
      write_enabled(controls_.add_folder, g.buttons.add_plot_folder);
      write_enabled(controls_.scan_now, g.buttons.scan_now);
    }
    if (g.rows) fill_plot_list(*g.rows);
    if (g.log) render_log(std::move(*g.log));
  }
  tray_.refresh(window_.handle(), g.tray, Clock::now());

  refresh_running = false;
  if (std::exchange(refresh_again, false)) notice.wake();
}

}  // namespace vorn
