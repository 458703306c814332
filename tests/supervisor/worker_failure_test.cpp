// A worker that fails still reports its end: no flag set for it stays set,
// and a confirmed exit still ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/crash_guard.h"
#include "core/supervisor.h"
#include "miner/miner_control.h"
#include "minerconfig/config_refresh.h"
#include "platform/fault_points.h"
#include "platform/headless/headless_gui.h"
#include "platform/paths.h"
#include "scan/scan_control.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::log_contains;
using testing_support::pump_until;
using testing_support::scratch_folder;
using testing_support::set_env;
using testing_support::TestWindow;

class WorkerFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::remove_tree(crash_log_path());
    platform::gui::headless::clear_quit();
  }
  void TearDown() override {
    platform::disarm_faults();
    platform::gui::headless::clear_quit();
  }
  bool crash_recorded(const std::string& thread) {
    return testing_support::read_file(crash_log_path()).find("thread=" + thread + "\npanic=injected failure at ") !=
           std::string::npos;
  }
  std::unique_ptr<TestWindow> w = TestWindow::create(scratch_folder("worker_failure"));
};

// Named workers start and end all the time (one per plot folder in a scan).
// Each must know its name, and its end must leave the heap alone: the
// Windows suite runs this test again under Wine with the heap's checks on,
// where any heap warning fails it (a thread-local destroyed after its
// storage was freed frees whatever it finds there).
TEST(NamedWorkers, EachKnowsItsNameAndEndsWithoutTouchingFreedMemory) {
  constexpr int kRounds = 25, kAtOnce = 8;
  std::vector<std::string> seen(kRounds * kAtOnce);
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kAtOnce; ++i) {
      const int n = round * kAtOnce + i;
      threads.push_back(spawn_worker("scan-folder " + std::to_string(n), [&seen, n] {
        std::vector<std::string> busy;  // the heap in use while threads end
        for (int k = 0; k < 50; ++k) busy.emplace_back(40 + k, 'x');
        seen[n] = thread_name();
      }));
    }
    for (std::thread& t : threads) t.join();
  }
  for (int n = 0; n < kRounds * kAtOnce; ++n) EXPECT_EQ(seen[n], "scan-folder " + std::to_string(n));
  std::string long_name;
  spawn_worker(std::string(100, 'n'), [&long_name] { long_name = thread_name(); }).join();
  EXPECT_EQ(long_name, std::string(31, 'n'));  // cut, not overrun
  std::string unnamed;
  std::thread([&unnamed] { unnamed = thread_name(); }).join();
  EXPECT_EQ(unnamed, "unnamed");
}

// Workers nobody joins, short enough to end before their spawner gets to
// detach them (every other spawner is held up between the two). On
// Windows, detaching a thread that had ended let the threads library hand
// its record to the next thread while the first was still ending with it:
// the program crashed, or a thread spun for good and froze the window's
// start. So a detached worker's body waits for its detach; each must still
// run, under its own name, while the spawner goes on.
TEST(NamedWorkers, DetachedWorkersRunUnderTheirNamesWhileTheSpawnerGoesOn) {
  constexpr int kWorkers = 1500;
  struct Seen {
    std::mutex mutex;
    std::vector<std::string> names;
  };
  auto seen = std::make_shared<Seen>();
  for (int n = 0; n < kWorkers; ++n) {
    if (n % 2) {
      platform::arm_delay("thread-detach", std::chrono::microseconds(200));
    } else {
      platform::disarm_faults();
    }
    spawn_detached_worker("detached " + std::to_string(n), [seen] {
      std::lock_guard lock(seen->mutex);
      seen->names.push_back(thread_name());
    });
  }
  platform::disarm_faults();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<std::string> names;
  while (names.size() < kWorkers && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(seen->mutex);
    names = seen->names;
  }
  ASSERT_EQ(names.size(), kWorkers);
  std::sort(names.begin(), names.end());
  for (int n = 0; n < kWorkers; ++n) {
    EXPECT_TRUE(std::binary_search(names.begin(), names.end(), "detached " + std::to_string(n))) << n;
  }
}

TEST_F(WorkerFailure, AFailedScanEndsTheScanAndKeepsTheLastResults) {
  const std::string plots = scratch_folder("worker_failure_plots");
  testing_support::write_file(platform::join_path(plots, "a.vorn"), "plot");
  {
    auto core = w->core.borrow();
    core->settings.plot_dirs = {plots};
    core->auto_start_done = true;
    core->folder_reports[plots] = FolderReport{plots, FolderStatus::Normal, 7, 700, std::nullopt, {}, 0.1};
    platform::arm_fault("scan");
    request_scan(*core);
    request_scan(*core);  // queued behind the failing one
  }
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->scan_running; }));
  {
    auto core = w->core.borrow();
    EXPECT_TRUE(log_contains(*core, "Plot scan failed: scan worker failed: injected failure at scan"));
    EXPECT_EQ(core->folder_reports.at(plots).file_count, 7u);  // not read as "everything deleted"
    EXPECT_TRUE(core->plot_index.empty());
  }
  EXPECT_TRUE(crash_recorded("scan"));
  // The queued scan runs and completes normally.
  ASSERT_TRUE(pump_until([&] {
    auto core = w->core.borrow();
    if (core->pending_scan_results) apply_step(*core);
    return core->plot_index.size() == 1;
  }));
  EXPECT_EQ(w->core.borrow()->folder_reports.at(plots).file_count, 1u);
}

TEST_F(WorkerFailure, AWorkerThatCannotBeStartedStillReports) {
  platform::arm_fault("spawn config-refresh");
  {
    auto core = w->core.borrow();
    EXPECT_THROW(start_config_refresh(*core, RefreshPurpose::stable_plot_changes(1)), Failure);
    EXPECT_TRUE(core->config_refresh_in_progress);  // until its completion event arrives
  }
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->config_refresh_in_progress; }));
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Miner configuration refresh failed: refresh worker failed: failed to spawn thread"));
  EXPECT_NE(testing_support::read_file(crash_log_path()).find("panic=failed to spawn thread"), std::string::npos);
}

TEST_F(WorkerFailure, AFailedRefreshEndsTheRefreshWithAnError) {
  auto refresh = [&] {
    auto core = w->core.borrow();
    return start_config_refresh(*core, RefreshPurpose::stable_plot_changes(1));
  };
  platform::arm_fault("config-refresh");
  ASSERT_TRUE(refresh());
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->config_refresh_in_progress; }));
  {
    auto core = w->core.borrow();
    EXPECT_EQ(core->miner_state, MinerState::Error);
    EXPECT_TRUE(log_contains(*core, "Miner configuration refresh failed: refresh worker failed: injected failure at config-refresh"));
  }
  EXPECT_TRUE(crash_recorded("config-refresh"));
  platform::arm_fault("config-refresh");
  EXPECT_TRUE(refresh());  // not refused as still running
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->config_refresh_in_progress; }));
}

TEST_F(WorkerFailure, AFailedStopStillEndsAConfirmedExit) {
  set_env("VORN_SIM_MODE", "exit");
  set_env("VORN_SIM_DELAY_MS", "1500");  // ends by itself soon after
  Result<platform::ChildProcess> child =
      platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  set_env("VORN_SIM_MODE", "rounds");
  ASSERT_TRUE(child.ok()) << child.error();
  {
    auto core = w->core.borrow();
    core->miner_child = std::move(child).value();
    core->miner_state = MinerState::Running;
    core->exit_requested = true;
    platform::arm_fault("miner-stop");
    stop_miner(*core, true);  // a restart that fails must not start another miner
  }
  ASSERT_TRUE(pump_until([] { return platform::gui::headless::quit_posted(); }, std::chrono::seconds(20)));
  auto core = w->core.borrow();
  EXPECT_FALSE(core->stop_in_progress);
  EXPECT_FALSE(core->miner_child);
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_TRUE(log_contains(*core, "Failed to stop miner: injected failure at miner-stop"));
  EXPECT_TRUE(crash_recorded("miner-stop"));
}

}  // namespace
}  // namespace vorn
