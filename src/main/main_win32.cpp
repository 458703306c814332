// Program entry of the Windows product.
#include <windows.h>

#include <thread>

#include "core/build_profile.h"
#include "core/crash_guard.h"
#include "core/startup.h"
#include "core/supervisor.h"
#include "platform/system.h"
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

  // Ends at its first send after the receiver is gone.
  spawn_detached_worker("heartbeat", [sender, notice] { run_heartbeat(sender, notice); });

  platform::gui::run_message_loop();
  app.unbind_events();
  // What the program owns is closed here, in order: the window, then the
  // state, whose log file writes what is queued (at most 2 s).
  main_window.value().reset();
  return 0;
}

}  // namespace

// Workers may still run at the end: a scan stuck on storage that does not
// answer, a reader of a miner's orphan, the heartbeat between two beats.
// The process ends with them, before the runtime tears down anything they
// could still touch.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { vorn::platform::end_process(run_program()); }
