#include "ui/main_window.h"

#include "core/event_guard.h"
#include "core/supervisor.h"
#include "miner/miner_control.h"

namespace vorn {

MainWindow::MainWindow(platform::gui::Window window, AppCore core, EventReceiver receiver)
    : WindowObject(window.notice(core.notice.id), std::move(core), std::move(receiver)),
      window_(std::move(window)) {}

Result<std::unique_ptr<MainWindow>> MainWindow::build(platform::gui::Window window, AppCore core,
                                                      EventReceiver receiver) {
  std::unique_ptr<MainWindow> w(new MainWindow(std::move(window), std::move(core), std::move(receiver)));
  w->refresh_display();
  return Result<std::unique_ptr<MainWindow>>::success(std::move(w));
}

void MainWindow::bind_events() {
  window_.bind([this](const platform::gui::Event& event) { handle_event(event); });
}

void MainWindow::unbind_events() { window_.unbind(); }

void MainWindow::handle_event(const platform::gui::Event& event) {
  using platform::gui::EventKind;
  // While the program writes into controls only these two are handled.
  if (updating_controls && event.kind != EventKind::Notice && event.kind != EventKind::CloseRequest) return;
  guard_event(*this, [&] {
    switch (event.kind) {
      case EventKind::Notice:
        on_notice(*this);
        break;
      case EventKind::CloseRequest:
        on_close_request();
        break;
    }
  });
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
    if (!core->miner_child && !core->stop_in_progress) {
      platform::gui::post_quit();
    } else {
      stop_miner(*core, false);
    }
  }
  refresh_display();
}

void MainWindow::refresh_display() {
  // The controls arrive with the window layout; until then nothing is shown
  // besides the caption.
}

}  // namespace vorn
