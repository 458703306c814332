#pragma once
// Shared by the benchmarks: a bare window object and the simulated miner.
#include <cstdlib>
#include <string>

#include "core/supervisor.h"
#include "core/window_object.h"
#include "platform/gui.h"

namespace vorn::bench {

class BenchWindow : public WindowObject {
 public:
  using WindowObject::WindowObject;
};

// A window with its channel and state, whose notices run the supervisor's
// drain, as in the program.
struct BenchApp {
  BenchApp() : BenchApp(Channel<WorkerEvent>::create()) {}

  EventSender sender;
  platform::gui::Window window;
  BenchWindow w;

 private:
  explicit BenchApp(std::pair<EventSender, EventReceiver> channel)
      : sender(channel.first),
        window(platform::gui::Window::create("bench").value()),
        w(window.notice(1), AppCore(sender, window.notice(1), Clock::now()), std::move(channel.second)) {
    window.bind([this](const platform::gui::Event&) { on_notice(w); });
  }
};

inline void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

#ifdef VORN_SIM_MINER_PATH
// The simulated miner built for this target (Wine maps the Linux root to Z:).
inline std::string sim_miner_path() {
  std::string sim = VORN_SIM_MINER_PATH;
#ifdef _WIN32
  for (char& c : sim) c = c == '/' ? '\\' : c;
  sim = "Z:" + sim;
#endif
  return sim;
}
#endif

}  // namespace vorn::bench
