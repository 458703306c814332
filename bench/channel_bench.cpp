// Events per second through the real notice path (channel, notice, bounded
// drains, dispatch), against a plain mutex-protected deque in one thread.
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "core/supervisor.h"
#include "bench_support.h"
#include "platform/headless/headless_gui.h"

using namespace vorn;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;

  // Baseline: the same events through a locked deque, pushed and popped in one thread.
  auto t0 = std::chrono::steady_clock::now();
  {
    std::mutex m;
    std::deque<WorkerEvent> q;
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      std::lock_guard<std::mutex> lock(m);
      q.push_back(MinerLine{"#SCAN_PROGRESS:1"});
    }
    while (!q.empty()) {
      std::lock_guard<std::mutex> lock(m);
      sum += std::get<MinerLine>(q.front()).line.size();
      q.pop_front();
    }
    if (sum == 0) std::puts("");
  }
  const double baseline = n / seconds_since(t0);

  bench::BenchApp app;
  auto& [sender, window, w] = app;
  t0 = std::chrono::steady_clock::now();
  std::thread producer([s = sender, notice = window.notice(1), n] {
    for (std::uint64_t i = 1; i <= n; ++i) {
      s.send(MinerLine{"#SCAN_PROGRESS:1"});
      if (i % 20 == 0) notice.wake();  // as the output readers coalesce
    }
    notice.wake();
  });
  platform::gui::headless::pump_until([&] { return w.core.borrow()->scan_round_progress == n; },
                                      std::chrono::minutes(5));
  producer.join();
  const double measured = n / seconds_since(t0);
  std::printf("channel+drain: %.0f events/s; baseline deque: %.0f events/s; ratio %.2f\n", measured, baseline,
              measured / baseline);
  return 0;
}
