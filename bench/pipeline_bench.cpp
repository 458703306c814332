// The miner output pipeline: the simulated miner floods N lines; lines per
// second from the pipe to interpreted, against the same bytes read from a
// pipe and split into lines by a bare loop, measured in the same run. Then
// the time from a stop request to the tree kill of a miner that ignores it.
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/build_profile.h"
#include "core/supervisor.h"
#include "bench_support.h"
#include "miner/miner_control.h"
#include "minerconfig/miner_config.h"
#include "platform/headless/headless_gui.h"
#include "platform/process.h"

using namespace vorn;
using bench::set_env;

namespace {

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string sim = bench::sim_miner_path();
  set_env("VORN_SIM_MODE", "flood");
  set_env("VORN_SIM_LINES", std::to_string(n).c_str());
  set_env("VORN_SIM_FLOOD_TEXT", "#SCAN_PROGRESS:1");

  // Baseline: read the flood from the pipe and split it into lines.
  auto t0 = std::chrono::steady_clock::now();
  {
    platform::ChildProcess child = platform::spawn_with_output_pipes({sim, {}, ""}).value();
    platform::PipeReader pipe = std::move(*child.take_stdout());
    char buffer[8192];
    std::uint64_t lines = 0;
    for (;;) {
      Result<std::size_t> got = pipe.read(buffer, sizeof buffer);
      if (!got.ok() || got.value() == 0) break;
      for (std::size_t i = 0; i < got.value(); ++i) lines += buffer[i] == '\n';
    }
    child.wait_for(std::chrono::seconds(30));
    if (lines != n) std::printf("baseline saw %llu lines\n", static_cast<unsigned long long>(lines));
  }
  const double baseline = n / since(t0);

  bench::BenchApp app;
  auto& [sender, window, w] = app;
  w.core.borrow()->settings.miner_exe_path = sim;
  t0 = std::chrono::steady_clock::now();
  launch_miner(*w.core.borrow(), expected_miner_config_path());
  platform::gui::headless::pump_until([&] { return w.core.borrow()->scan_round_progress == n; }, std::chrono::minutes(5));
  const double measured = n / since(t0);
  std::printf("output pipeline: %.0f lines/s; bare pipe read and split: %.0f lines/s; ratio %.2f (goal >= 0.5)\n",
              measured, baseline, measured / baseline);

  // Stop of a miner that ignores it.
  set_env("VORN_SIM_MODE", "ignore");
  {
    auto core = w.core.borrow();
    core->miner_child.reset();
    launch_miner(*core, expected_miner_config_path());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  t0 = std::chrono::steady_clock::now();
  stop_miner(*w.core.borrow(), false);
  platform::gui::headless::pump_until([&] { return !w.core.borrow()->stop_in_progress; }, std::chrono::seconds(60));
  std::printf("stop request to tree kill: %.2f s (goal 5.0-5.3 s): %s\n", since(t0),
              w.core.borrow()->log_lines.back().c_str());
  return 0;
}
