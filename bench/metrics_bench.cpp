// What the metrics cost: the snapshot, made once per second on the window
// thread, and one scrape of the listener (the request over loopback, its
// answer and the client's side together: an upper bound), each against the
// heartbeat's own cost per second (ten beats: each sent through the channel
// and drained on the window thread, metrics off), measured in the same run
// on the same state.
#include <chrono>
#include <cstdio>
#include <string>

#include "bench_support.h"
#include "core/supervisor.h"
#include "metrics/exposition.h"
#include "metrics/metrics_service.h"
#include "platform/http_client.h"

using namespace vorn;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Seconds per call of `f`, over `n` calls.
template <class F>
double per_call(int n, F f) {
  const auto start = SteadyClock::now();
  for (int i = 0; i < n; ++i) f(i);
  return std::chrono::duration<double>(SteadyClock::now() - start).count() / n;
}

// A rig with eight folders and some history.
void fill(AppCore& core) {
  for (int i = 0; i < 8; ++i) {
    const std::string dir = "D:\\plots\\disk " + std::to_string(i);
    core.settings.plot_dirs.push_back(dir);
    FolderReport r;
    r.path = dir;
    r.status = FolderStatus::Normal;
    r.file_count = 100 + i;
    r.total_bytes = (100ull + i) << 34;
    r.free_bytes = 1ull << 36;
    core.folder_reports[dir] = r;
  }
  core.current_height = 123456;
  core.scan_round_total = 4096;
  core.scan_round_progress = 1024;
  core.miner_state = MinerState::Running;
  core.counters.rounds_finished = 500;
}

}  // namespace

int main() {
  bench::BenchApp app;
  fill(*app.w.core.borrow());

  // One beat as the program has it, metrics off: the event through the
  // channel, the drain, the periodic work.
  const double beat = per_call(20000, [&](int) {
    app.sender.send(Heartbeat{});
    on_notice(app.w);
  });
  const double heartbeat_per_second = 10 * beat;

  auto borrowed = app.w.core.borrow();
  AppCore& core = *borrowed;
  const Instant clock = Clock::now();

  // The snapshot (process figures, the text, the hand-over).
  core.metrics.reset(new MetricsService());
  // One snapshot a second, the process figures read every fifth as the program does.
  const double snapshot = per_call(2000, [&](int i) { take_metrics_snapshot(core, clock + std::chrono::seconds(i)); });
  const std::size_t size = core.metrics->box->get()->size();

  // Scrapes of a listener serving that snapshot.
  auto listener = MetricsListener::start({"127.0.0.1", 0}, "bench-token", core.metrics->box);
  if (!listener.ok()) {
    std::printf("listener: %s\n", listener.error().c_str());
    return 1;
  }
  platform::HttpRequest request;
  request.method = "GET";
  request.url = "http://127.0.0.1:" + std::to_string(listener.value()->port()) + "/metrics";
  request.headers = {{"Authorization", "Bearer bench-token"}};
  int ok = 0;
  const double scrape = per_call(300, [&](int) { ok += platform::http_send(request).status == 200; });

  std::printf("exposition: %zu bytes, %zu folders\n", size, core.settings.plot_dirs.size());
  std::printf("heartbeat (10 beats, metrics off): %.1f us per second\n", heartbeat_per_second * 1e6);
  std::printf("snapshot once per second:          %.1f us per second = %.2f x the heartbeat's own cost\n",
              snapshot * 1e6, snapshot / heartbeat_per_second);
  std::printf("one scrape (client and listener):  %.1f us = %.2f x the heartbeat's cost per second (%d of 300 answered)\n",
              scrape * 1e6, scrape / heartbeat_per_second, ok);
  std::printf("share of one core at a 1 s scrape: %.4f %% (snapshot) + %.4f %% (scrape)\n", snapshot * 100, scrape * 100);
  return ok == 300 ? 0 : 1;
}
