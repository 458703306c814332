// Program entry of the Windows product.
#include <windows.h>

#include <thread>

#include "core/build_profile.h"
#include "core/crash_guard.h"
#include "core/startup.h"
#include "core/supervisor.h"
#include "ui/main_window.h"

namespace {

// The notice id the main window's wake-ups carry.
constexpr std::uint32_t kNoticeId = 1;

int run_program() {
  using namespace vorn;
  install_crash_hook();
  set_thread_name("main");
  if (MaybeError e = platform::gui::initialise_library()) return 1;

  auto [sender, receiver] = Channel<WorkerEvent>::create();
  Result<platform::gui::Window> window = platform::gui::Window::create(window_caption());
  if (!window.ok()) return 1;
  platform::gui::NoticeTarget notice = window.value().notice(kNoticeId);

  AppCore core = create_app_core(sender, notice);
  Result<std::unique_ptr<MainWindow>> main_window =
      MainWindow::build(std::move(window).value(), std::move(core), std::move(receiver));
  if (!main_window.ok()) return 1;
  MainWindow& app = *main_window.value();
  app.bind_events();

  std::thread heartbeat = spawn_worker("heartbeat", [sender, notice] { run_heartbeat(sender, notice); });
  heartbeat.detach();  // ends at its first send after the receiver is gone

  platform::gui::run_message_loop();
  app.unbind_events();
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return run_program(); }
