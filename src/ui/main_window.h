#pragma once
// The main window object: the window, the supervisor's state and the one
// event handler that turns window events into operations.
#include <memory>

#include "core/window_object.h"
#include "platform/gui.h"

namespace vorn {

inline constexpr std::string_view kExitCaption = "确认退出 Miner GUI？";
inline constexpr std::string_view kExitText =
    "确认退出 Miner GUI？\n\n确认后将停止当前由 GUI 启动的 vorn_miner.exe 并退出程序。\n取消则继续运行。";

class MainWindow : public WindowObject {
 public:
  static Result<std::unique_ptr<MainWindow>> build(platform::gui::Window window, AppCore core,
                                                   EventReceiver receiver);

  void bind_events();
  void unbind_events();
  void refresh_display() override;

  platform::gui::Window& window() { return window_; }
  void handle_event(const platform::gui::Event& event);

 private:
  MainWindow(platform::gui::Window window, AppCore core, EventReceiver receiver);
  void on_close_request();

  platform::gui::Window window_;
};

}  // namespace vorn
