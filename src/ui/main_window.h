#pragma once
// The main window object: the window and its thirty controls, the
// supervisor's state, and the one event handler that turns clicks, edits,
// the context menu, the close request and the notice into operations.
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "core/window_object.h"
#include "platform/gui.h"
#include "ui/display.h"
#include "ui/tray.h"

namespace vorn {

inline constexpr std::string_view kExitCaption = "确认退出 Miner GUI？";
inline constexpr std::string_view kExitText =
    "确认退出 Miner GUI？\n\n确认后将停止当前由 GUI 启动的 vorn_miner.exe 并退出程序。\n取消则继续运行。";
inline constexpr std::string_view kFolderPickerTitle = "Select plot directory";
inline constexpr std::chrono::milliseconds kLogRenderInterval{500};
inline constexpr std::chrono::milliseconds kProgressRenderInterval{500};

struct Controls {
  using H = platform::gui::ControlHandle;
  H header = 0, sub_header = 0, network_badge = 0, status_line = 0;
  H miner_name = 0, total_capacity = 0, current_height = 0, scan_status = 0, version = 0;
  H plot_list = 0, remove_item = 0;
  H add_folder = 0, scan_now = 0, rescan_interval = 0, auto_rescan = 0, start_with_windows = 0, hint = 0;
  H start_mining = 0, stop_mining = 0, restart_miner = 0, save_settings = 0, clear_log = 0;
  H change_result = 0, log_box = 0;
  // The caption labels: "Miner Name", "Plot Folders", "Rescan interval",
  // "minutes", "Activity Log".
  std::vector<H> extra_labels;
};

class MainWindow : public WindowObject {
 public:
  static Result<std::unique_ptr<MainWindow>> build(platform::gui::Window window, AppCore core,
                                                   EventReceiver receiver);

  void bind_events();
  void unbind_events();
  void refresh_display() override;
  void reload_controls();

  platform::gui::Window& window() { return window_; }
  const Controls& controls() const { return controls_; }
  void handle_event(const platform::gui::Event& event);
  // A warning or critical alert shown as a notification of the tray icon,
  // when tray_notifications is on and the icon is there; true when shown.
  bool notify_tray(AlertLevel level, const std::string& text) { return tray_.notify(level, text); }
  TrayRoom& tray() { return tray_; }

 private:
  MainWindow(platform::gui::Window window, AppCore core, EventReceiver receiver);
  MaybeError build_controls();
  void dispatch(const platform::gui::Event& event);

  void sync_settings_from_controls(AppCore& core);
  bool refuse_while_busy(std::string_view message);
  void on_add_folder();
  void on_remove_folder();
  void on_right_click(int row);
  void on_setting_edited();
  void on_startup_check_box();
  void on_close_request();
  void on_tray(platform::gui::TrayAction action);

  // Written only when the content changed.
  void write_label(platform::gui::ControlHandle label, const std::string& text);
  void write_enabled(platform::gui::ControlHandle button, bool enabled);
  void fill_plot_list(const std::vector<PlotRow>& rows);
  void set_startup_box_from_registry();

  platform::gui::Window window_;
  Controls controls_;
  TrayRoom tray_;
  std::map<platform::gui::ControlHandle, std::string> label_cache_;
  std::map<platform::gui::ControlHandle, bool> enabled_cache_;
  // What the log box shows: one span per line from line `first` of the log
  // (counted since start-up), as of the log's `clears`-th clearing; a span
  // is the line's length in the box with the line break after it, so that
  // the oldest can be dropped without writing the rest again.
  struct LogShown {
    std::uint64_t clears = 0;
    std::uint64_t first = 0;
    std::deque<std::size_t> spans;
  };
  // The box's length in UTF-16 units: the spans less the break after the last line.
  static std::size_t shown_log_units(const LogShown& shown);
  std::optional<LogShown> log_shown_;
  // The log's new lines, or all of them when the box must be written anew.
  struct LogUpdate {
    std::uint64_t clears = 0, first = 0;
    bool whole = false;
    std::vector<std::string> lines;
  };
  void render_log(LogUpdate update);
};

}  // namespace vorn
