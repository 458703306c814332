// CPU used by the GUI side while a quiet miner runs: the heartbeat thread,
// the drains it causes and the output readers, over N seconds (default 60).
// Baseline: the same span spent asleep, measured in the same run.
#ifdef _WIN32
#include <windows.h>
#endif
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "core/build_profile.h"
#include "core/supervisor.h"
#include "bench_support.h"
#include "miner/miner_control.h"
#include "minerconfig/miner_config.h"
#include "platform/headless/headless_gui.h"

using namespace vorn;
using bench::set_env;

namespace {

// Process CPU time (std::clock is wall time on Windows).
double cpu_seconds() {
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
  auto seconds = [](FILETIME t) { return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7; };
  return seconds(kernel) + seconds(user);
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const std::string sim = bench::sim_miner_path();
  set_env("VORN_SIM_MODE", "ignore");  // one line, then silence

  const double idle_start = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double baseline = cpu_seconds() - idle_start;

  bench::BenchApp app;
  auto& [sender, window, w] = app;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 1);
  // The real message loop, which waits without spinning; the first notice
  // after the span ends it.
  window.bind([&](const platform::gui::Event&) {
    on_notice(w);
    if (std::chrono::steady_clock::now() >= until) platform::gui::post_quit();
  });
  w.core.borrow()->settings.miner_exe_path = sim;
  launch_miner(*w.core.borrow(), expected_miner_config_path());
  std::thread beat([s = sender, n = window.notice(1)] { run_heartbeat(s, n); });
  beat.detach();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the miner's start-up line is handled
  const double start = cpu_seconds();
  platform::gui::run_message_loop();
  const double used = cpu_seconds() - start;
  std::printf("GUI side with a quiet miner: %.3f s CPU in %d s = %.3f %% of one core (goal < 0.2 %%); "
              "asleep baseline: %.3f %%\n",
              used, seconds, 100.0 * used / seconds, 100.0 * baseline);
  stop_miner(*w.core.borrow(), false);
  platform::gui::headless::pump_until([&] { return !w.core.borrow()->stop_in_progress; }, std::chrono::seconds(30));
  return 0;
}
