#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "core/activity_log_file.h"
#include "core/build_profile.h"
#include "core/crash_guard.h"
#include "core/supervisor.h"
#include "miner/discovery.h"
#include "miner/auto_restart.h"
#include "miner/interpret.h"
#include "miner/miner_control.h"
#include "miner/residual_cleanup.h"
#include "minerconfig/config_refresh.h"
#include "minerconfig/miner_config.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/headless/headless_gui.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::log_contains;
using testing_support::pump_until;
using testing_support::read_file;
using testing_support::scratch_folder;
using testing_support::set_env;
using testing_support::TestWindow;
using testing_support::lines_starting;
using testing_support::untagged_log;

std::string record_value(const std::string& record, const std::string& key) {
  std::size_t at = record.find(key + "=");
  if (at == std::string::npos) return "";
  std::size_t end = record.find('\n', at);
  return record.substr(at + key.size() + 1, end - at - key.size() - 1);
}

bool miner_listed(std::uint32_t pid) { return testing_support::listed_with(pid, ""); }

// The simulated miner prints `lines` lines of `text` (numbered lines when
// empty) as fast as it can.
void simulate_flood(std::size_t lines, const std::string& text) {
  set_env("VORN_SIM_MODE", "flood");
  set_env("VORN_SIM_LINES", std::to_string(lines));
  set_env("VORN_SIM_FLOOD_TEXT", text);
}

class MinerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    set_env("VORN_SIM_MODE", "rounds");
    set_env("VORN_SIM_RECORD", record);
    set_env("VORN_SIM_ROUND_MS", "400");
    set_env("VORN_SIM_GRANDCHILD", "0");
    testing_support::remove_tree(record);
    testing_support::remove_tree(record + ".child");
    auto core = w->core.borrow();
    core->settings.miner_exe_path = testing_support::sim_miner_path();
  }
  void TearDown() override {
    // Nothing this test started may survive it.
    clean_residual_miners(false);
  }
  void launch() {
    auto core = w->core.borrow();
    launch_miner(*core, expected_miner_config_path());
    ASSERT_TRUE(core->miner_child) << untagged_log(*core).back();
  }
  // Heartbeats as the heartbeat thread sends them, for `limit`.
  void beat_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    std::atomic<bool> stop{false};
    std::thread beat([&, s = w->sender, n = w->notice] {
      while (!stop && s.send(Heartbeat{})) {
        n.wake();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    pump_until(done, limit);
    stop = true;
    beat.join();
  }
  bool has_line(std::string_view text) { return log_contains(*w->core.borrow(), text); }

  std::unique_ptr<TestWindow> w = TestWindow::create(scratch_folder("miner"));
  std::string record = exe_relative("sim_record.txt");
};

TEST_F(MinerProcess, LaunchesWithItsCommandLineFolderAndPriority) {
  {
    auto core = w->core.borrow();
    core->status_dirty = core->controls_dirty = false;
  }
  launch();
  ASSERT_TRUE(pump_until([&] { return testing_support::exists(record) && read_file(record).find("pid=") != std::string::npos; }));
  std::string rec = read_file(record);
  const std::string config = expected_miner_config_path();
  EXPECT_NE(rec.find("arg=--config\narg=" + config + "\narg=--line-progress\n"), std::string::npos) << rec;
  EXPECT_TRUE(platform::paths_equal(record_value(rec, "cwd"), platform::parent_folder(config))) << rec;
#ifdef _WIN32
  EXPECT_EQ(record_value(rec, "priority"), "below_normal");
#else
  EXPECT_EQ(record_value(rec, "priority"), "nice 5");
#endif
  auto core = w->core.borrow();
  EXPECT_EQ(core->miner_state, MinerState::Running);
  EXPECT_STREQ(phase(*core), "mining");
  EXPECT_TRUE(log_contains(*core, "Miner CPU priority set to BelowNormal"));
  EXPECT_TRUE(log_contains(*core, "Started miner: " + testing_support::sim_miner_path()));
  EXPECT_TRUE(core->status_dirty && core->controls_dirty);
  // A second start while it runs changes nothing.
  start_miner(*core);
  EXPECT_TRUE(log_contains(*core, "Miner is already running"));
  EXPECT_FALSE(core->config_refresh_in_progress);
  EXPECT_EQ(core->miner_state, MinerState::Running);
}

TEST_F(MinerProcess, ALaunchWithAForeignConfigurationOrNoMinerStartsNothing) {
  auto core = w->core.borrow();
  const std::string foreign = platform::join_path(scratch_folder("foreign_config"), "other.yaml");
  launch_miner(*core, foreign);
  EXPECT_FALSE(core->miner_child);
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(lines_starting(*core, "Cannot start miner: refusing to use miner config " + foreign).size(), 1u);

  core->miner_state = MinerState::Stopped;
  core->settings.miner_exe_path = platform::join_path(scratch_folder("no_miner"), "vorn_miner.exe");
  launch_miner(*core, expected_miner_config_path());
  EXPECT_FALSE(core->miner_child);
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(core->last_error, kMinerNotFound);
  EXPECT_EQ(lines_starting(*core, std::string(kMinerNotFound)).size(), 2u) << "the search says so, then the launch";
  EXPECT_TRUE(lines_starting(*core, "Failed to start miner").empty()) << "nothing was spawned";

  // A miner file that cannot be run.
  core->miner_state = MinerState::Stopped;
  core->status_dirty = core->controls_dirty = false;
  core->settings.miner_exe_path = platform::join_path(scratch_folder("broken_miner"), "vorn_miner.exe");
  testing_support::write_file(core->settings.miner_exe_path, "not a program");
  launch_miner(*core, expected_miner_config_path());
  EXPECT_FALSE(core->miner_child);
  EXPECT_EQ(core->miner_state, MinerState::Error);
  ASSERT_TRUE(core->last_error);
  EXPECT_EQ(untagged_log(*core).back(), "Failed to start miner: " + *core->last_error);
  EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window shows the error";
}

TEST_F(MinerProcess, AMinerWhosePriorityCannotBeLoweredStillRuns) {
  w->core.borrow()->restart_pending = true;
  platform::arm_fault("lower-priority");
  launch();
  platform::disarm_faults();
  auto core = w->core.borrow();
  EXPECT_EQ(core->miner_state, MinerState::Running);
  EXPECT_FALSE(core->restart_pending) << "the restart it waited for has happened";
  std::vector<std::string> log = untagged_log(*core);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "Miner started, but CPU priority could not be lowered: injected failure at lower-priority");
  EXPECT_EQ(log.back(), "Started miner: " + testing_support::sim_miner_path());
}

TEST_F(MinerProcess, ALoneLineIsShownWithoutWaitingForMore) {
  set_env("VORN_SIM_MODE", "text");
  set_env("VORN_SIM_TEXT", "ERROR lone line\\n");
  set_env("VORN_SIM_DELAY_MS", "8000");
  launch();
  // The miner says nothing more for seconds; its line is in the log well before.
  EXPECT_TRUE(pump_until([&] { return has_line("[miner] ERROR lone line"); }, std::chrono::seconds(3)));
}

TEST_F(MinerProcess, OutputReachesTheLogAndTheRound) {
  launch();
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->scan_status_text.rfind("Last scan ", 0) == 0; }));
  // The miner writes its warnings to standard error.
  EXPECT_TRUE(pump_until([&] { return has_line("[miner] WARN slow disk read on plots"); }, std::chrono::seconds(5)));
  auto core = w->core.borrow();
  EXPECT_TRUE(log_contains(*core, "Miner scan started: 4096 warps"));
  EXPECT_TRUE(log_contains(*core, "Current height updated: 120000"));
  EXPECT_TRUE(log_contains(*core, "[miner] path=plots loaded: 3 files ..done."));
  EXPECT_GE(core->current_height.value_or(0), 120000u);
}

TEST_F(MinerProcess, AMinerThatEndsByItselfReportsItsStatus) {
  set_env("VORN_SIM_MODE", "exit");
  set_env("VORN_SIM_DELAY_MS", "300");
  launch();
  stop_miner(*w->core.borrow(), false);
  EXPECT_STREQ(phase(*w->core.borrow()), "stopping_miner");
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(10)));
  auto core = w->core.borrow();
  EXPECT_TRUE(log_contains(*core, "Stopping miner..."));
  EXPECT_TRUE(log_contains(*core, "Miner stopped with status exit code: 0"));
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_EQ(core->scan_status_text, "Waiting");
}

TEST_F(MinerProcess, AMinerThatIgnoresTheStopIsKilledWithItsChildAfterFiveSeconds) {
  set_env("VORN_SIM_MODE", "ignore");
  set_env("VORN_SIM_GRANDCHILD", "1");
  launch();
  // Each process writes its record 300 ms after it starts, the miner's
  // not necessarily first.
  ASSERT_TRUE(pump_until([&] {
    return read_file(record + ".child").find("pid=") != std::string::npos && read_file(record).find("pid=") != std::string::npos;
  }));
  const auto child_pid = static_cast<std::uint32_t>(std::stoul(record_value(read_file(record + ".child"), "pid")));
  const std::uint32_t miner_pid = static_cast<std::uint32_t>(std::stoul(record_value(read_file(record), "pid")));
  EXPECT_TRUE(miner_listed(child_pid));
  const Instant asked = Clock::now();
  stop_miner(*w->core.borrow(), false);
  stop_miner(*w->core.borrow(), false);
  EXPECT_TRUE(has_line("Miner stop is already in progress"));
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(30)));
  const auto took = Clock::now() - asked;
  EXPECT_GE(took, std::chrono::seconds(5));
  EXPECT_LT(took, std::chrono::milliseconds(7500));
  EXPECT_TRUE(has_line("Miner process tree killed after stop timeout (pid " + std::to_string(miner_pid) + ")"));
  // A killed process takes a moment to be gone.
  EXPECT_TRUE(pump_until([&] { return !miner_listed(child_pid) && !miner_listed(miner_pid); }, std::chrono::seconds(3)));
}

// Lines of the grandchild that the miner started to write into its output.
std::size_t orphan_lines(const AppCore& core) { return lines_starting(core, "[miner] WARN orphan line ").size(); }

TEST_F(MinerProcess, WhatTheMinerStartedEndsWithItsUnexpectedEndAndWithAStop) {
  set_env("VORN_SIM_GRANDCHILD", "writer");
  set_env("VORN_SIM_MODE", "exit");
  for (bool stopped : {false, true}) {
    testing_support::remove_tree(record + ".child");
    set_env("VORN_SIM_DELAY_MS", stopped ? "2500" : "1500");
    launch();
    ASSERT_TRUE(pump_until([&] { return read_file(record + ".child").find("pid=") != std::string::npos; }));
    const auto orphan = static_cast<std::uint32_t>(std::stoul(record_value(read_file(record + ".child"), "pid")));
    ASSERT_TRUE(pump_until([&] { return orphan_lines(*w->core.borrow()) > 0; })) << "the grandchild writes";
    if (stopped) {
      stop_miner(*w->core.borrow(), false);  // it ends by itself within the stop's grace
      ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(10)));
      EXPECT_TRUE(has_line("Miner stopped with status exit code: 0"));
    } else {
      beat_until([&] { return !w->core.borrow()->miner_child; }, std::chrono::seconds(10));
      ASSERT_FALSE(w->core.borrow()->miner_child);
    }
    // The grandchild is ended with the miner; its lines stop.
    EXPECT_TRUE(pump_until([&] { return !miner_listed(orphan); }, std::chrono::seconds(3))) << (stopped ? "stop" : "end");
    pump_until([] { return false; }, std::chrono::milliseconds(500));
    const std::size_t written = orphan_lines(*w->core.borrow());
    pump_until([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_EQ(orphan_lines(*w->core.borrow()), written) << "an orphan still writes into the channel";
    cancel_auto_restart(*w->core.borrow());
  }
  set_env("VORN_SIM_GRANDCHILD", "0");
  set_env("VORN_SIM_DELAY_MS", "0");
}

TEST_F(MinerProcess, AMinerWhoseReadersCannotStartIsEndedAndTheStartFails) {
  auto ours = [] {
    Result<std::string> listed = platform::list_miner_processes();
    return listed.ok() && listed.value().find(expected_miner_config_path()) != std::string::npos;
  };
  platform::arm_fault("spawn miner-output");
  {
    auto core = w->core.borrow();
    launch_miner(*core, expected_miner_config_path());
    EXPECT_FALSE(core->miner_child);
    EXPECT_EQ(core->miner_state, MinerState::Error);
    EXPECT_EQ(core->last_error, "could not start the miner's output readers");
    EXPECT_EQ(untagged_log(*core).back(), "Failed to start miner: could not start the miner's output readers");
  }
  platform::disarm_faults();
  EXPECT_TRUE(pump_until([&] { return !ours(); }, std::chrono::seconds(5))) << "the launched miner runs on untracked";
  platform::remove_file(crash_log_path());
}

// A miner that ignores every stop request. The grace is short here: the
// worker's own 5 s are measured above.
platform::ChildProcess stubborn_miner() {
  set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> miner = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  set_env("VORN_SIM_MODE", "");
  if (!miner.ok()) throw std::runtime_error(miner.error());
  return std::move(miner).value();
}
constexpr StopWaits kShortGrace{std::chrono::milliseconds(200), std::chrono::seconds(1)};

TEST(StopFallback, WhenTheTreeKillFailsTheMinerAloneIsEndedWithItsOwnText) {
  platform::ChildProcess miner = stubborn_miner();
  std::vector<std::uint32_t> asked;
  const TreeKill failing = [&](std::uint32_t pid) {
    asked.push_back(pid);
    return Result<std::string>::failure("taskkill failed for miner pid " + std::to_string(pid) + " with status exit code: 1");
  };
  const std::uint32_t pid = miner.pid();
  EXPECT_EQ(stop_process(miner, failing, kShortGrace), "Miner killed after stop timeout");
  EXPECT_EQ(asked, std::vector<std::uint32_t>{pid});
  Result<std::optional<std::uint32_t>> ended = miner.try_wait();
  ASSERT_TRUE(ended.ok());
  EXPECT_TRUE(ended.value().has_value()) << "the miner still runs";
}

TEST(StopFallback, AMinerStillThereAfterTheKillIsReportedAfterABoundedWait) {
  platform::ChildProcess miner = stubborn_miner();
  const TreeKill missing = [](std::uint32_t pid) {  // says it ended the tree, but did nothing
    return Result<std::string>::success("Miner process tree killed after stop timeout (pid " + std::to_string(pid) + ")");
  };
  EXPECT_EQ(stop_process(miner, missing, kShortGrace),
            "Failed to kill miner after timeout: process " + std::to_string(miner.pid()) + " did not end within 1 s");
  EXPECT_FALSE(miner.terminate(1));
  Result<std::optional<std::uint32_t>> ended = miner.wait_for(std::chrono::seconds(5));
  ASSERT_TRUE(ended.ok());
  EXPECT_TRUE(ended.value().has_value());
}

TEST_F(MinerProcess, ACrashIsNoticedByTheExitPoll) {
  set_env("VORN_SIM_MODE", "exit");
  set_env("VORN_SIM_DELAY_MS", "200");
  set_env("VORN_SIM_EXIT_CODE", "3221225477");
  launch();
  {
    auto core = w->core.borrow();
    core->status_dirty = core->controls_dirty = false;  // as after the window showed the start
  }
  beat_until([&] { return !w->core.borrow()->miner_child; }, std::chrono::seconds(5));
  auto core = w->core.borrow();
#ifdef _WIN32
  EXPECT_TRUE(log_contains(*core, "Miner process exited with status exit code: 0xc0000005"));
#else
  EXPECT_EQ(lines_starting(*core, "Miner process exited with status exit code: ").size(), 1u);
#endif
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_STREQ(phase(*core), "idle");
  EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window must show it";
}

TEST_F(MinerProcess, TheExitPollLeavesARunningMinerAloneAndSurvivesAFailedQuery) {
  launch();
  beat_until([] { return false; }, std::chrono::milliseconds(2500));  // two polls at least
  {
    auto core = w->core.borrow();
    EXPECT_TRUE(core->miner_child);
    EXPECT_EQ(core->miner_state, MinerState::Running);
    EXPECT_TRUE(lines_starting(*core, "Miner process exited").empty());
    EXPECT_FALSE(core->auto_restart.due);
  }
  w->core.borrow()->status_dirty = false;  // as after the window showed the start
  platform::arm_fault("miner-poll");
  beat_until([&] { return has_line("Failed to query miner process: "); }, std::chrono::seconds(5));
  auto core = w->core.borrow();
  EXPECT_TRUE(core->status_dirty) << "the window must show the error";
  EXPECT_TRUE(log_contains(*core, "Failed to query miner process: injected failure at miner-poll"));
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(core->last_error, "injected failure at miner-poll");
  EXPECT_TRUE(core->miner_child) << "a miner that may still run is not forgotten";
  EXPECT_FALSE(core->auto_restart.due);
}

TEST_F(MinerProcess, LinesAreCutAtLineFeedsOnly) {
  set_env("VORN_SIM_MODE", "text");
  set_env("VORN_SIM_TEXT", "WARN a\\r\\nWARN b\\nWARN c\\r\\r\\n\\nWARN \\xff\\xfe bad\\nWARN last");
  launch();
  ASSERT_TRUE(pump_until([&] { return log_contains(*w->core.borrow(), "[miner] WARN last"); }));
  std::vector<std::string> miner = lines_starting(*w->core.borrow(), "[miner] ");
  EXPECT_EQ(miner, (std::vector<std::string>{"[miner] WARN a", "[miner] WARN b", "[miner] WARN c",
                                             "[miner] WARN \xEF\xBF\xBD\xEF\xBF\xBD bad", "[miner] WARN last"}));
}

// A flood long enough to outlast many heartbeats and, logged (about 4 MB),
// to rotate a log file that rotates at 2 MB. How long it may take is a
// bound on the test, not a speed target (bench/pipeline_bench and
// window_bench measure speed): under Wine on a loaded two-core machine it
// can take minutes.
constexpr std::size_t kFloodLines = 100000;
constexpr std::uint64_t kFloodRotateBytes = 2ull * 1024 * 1024;
constexpr std::chrono::seconds kFloodLimit{300};

TEST_F(MinerProcess, AFloodOfLoggedLinesWithTheLogFileOnKeepsTheHeartbeatOnTime) {
  const std::string file = platform::join_path(scratch_folder("flood_log"), std::string(kActivityLogFile));
  simulate_flood(kFloodLines, "WARN flood");
  set_env("VORN_SIM_FLOOD_LAST", "WARN flood done");
  {
    auto core = w->core.borrow();
    LogFileLimits limits;
    limits.rotate_bytes = kFloodRotateBytes;
    core->log_file = std::make_unique<ActivityLogFile>(file, w->sender, w->notice, limits);
    core->last_heartbeat_at = Clock::now();
  }
  launch();
  beat_until([&] { return has_line("[miner] WARN flood done"); }, kFloodLimit);
  set_env("VORN_SIM_FLOOD_LAST", "");
  ASSERT_TRUE(has_line("[miner] WARN flood done"));
  EXPECT_TRUE(lines_starting(*w->core.borrow(), "UI heartbeat delayed").empty());
  w->core.borrow()->log_file.reset();
  // Every line is in the file and the one it rotated into.
  auto count = [&] {
    std::size_t n = 0;
    for (const std::string& name : {file + ".3", file + ".2", file + ".1", file}) {
      const std::string text = testing_support::exists(name) ? read_file(name) : "";
      const std::string line = " [miner] WARN flood" + std::string(platform::text_line_end());
      for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++n;
      }
    }
    return n;
  };
  EXPECT_TRUE(pump_until([&] { return count() == kFloodLines; }, std::chrono::seconds(30))) << count();
  EXPECT_TRUE(testing_support::exists(file + ".1")) << "the flood rotated the file";
}

TEST_F(MinerProcess, AFloodKeepsTheHeartbeatOnTimeAndLosesNoLine) {
  simulate_flood(kFloodLines, "#SCAN_PROGRESS:1");
  {
    auto core = w->core.borrow();
    core->last_heartbeat_at = Clock::now();
  }
  launch();
  beat_until([&] { return w->core.borrow()->scan_round_progress == kFloodLines; }, kFloodLimit);
  auto core = w->core.borrow();
  EXPECT_EQ(core->scan_round_progress, kFloodLines);
  EXPECT_TRUE(lines_starting(*core, "UI heartbeat delayed").empty());
}

TEST_F(MinerProcess, AStopThatEndsShowsStoppedAndDropsAPendingRestart) {
  auto core = w->core.borrow();
  core->stop_in_progress = core->restart_pending = true;
  core->miner_state = MinerState::Stopping;
  interpret_miner_line(*core, "#TOTAL:4096");
  interpret_miner_line(*core, "#SCAN_PROGRESS:1024");
  ASSERT_EQ(core->scan_status_text, "Scanning 25%");
  core->status_dirty = core->controls_dirty = false;
  handle_stop_finished(*core, StopFinished{"Miner stopped", false});
  EXPECT_FALSE(core->stop_in_progress);
  EXPECT_FALSE(core->restart_pending);
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_EQ(core->scan_status_text, "Waiting");
  EXPECT_TRUE(core->status_dirty && core->controls_dirty);
  EXPECT_EQ(untagged_log(*core).back(), "Miner stopped");
  // A progress line the stopped miner wrote last shows no old round.
  interpret_miner_line(*core, "#SCAN_PROGRESS:1024");
  EXPECT_EQ(core->scan_status_text, "Waiting");
}

TEST_F(MinerProcess, ARestartWithoutAMinerStartsOne) {
  {
    auto core = w->core.borrow();
    restart_miner(*core);
    EXPECT_TRUE(log_contains(*core, "Restart requested while miner is not running; starting miner"));
    EXPECT_EQ(core->miner_state, MinerState::Starting);
    ASSERT_TRUE(core->config_refresh_in_progress);
  }
  ASSERT_TRUE(pump_until([&] { return static_cast<bool>(w->core.borrow()->miner_child); }, std::chrono::seconds(10)));
}

TEST_F(MinerProcess, StartsAreRefusedWhileBusy) {
  auto core = w->core.borrow();
  core->stop_in_progress = true;
  start_miner(*core);
  core->stop_in_progress = false;
  core->config_refresh_in_progress = true;
  start_miner(*core);
  core->config_refresh_in_progress = false;
  core->settings.miner_exe_path = "/definitely/not/here/vorn_miner.exe";
  const std::string saved = core->settings_path;
  core->status_dirty = core->controls_dirty = false;
  start_miner(*core);
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(core->last_error, "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录");
  EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window shows the error";
  EXPECT_FALSE(core->config_refresh_in_progress);
  std::vector<std::string> log = untagged_log(*core);
  EXPECT_EQ(log[0], "Miner is still stopping; start ignored until stop completes");
  EXPECT_EQ(log[1], "Start Mining is waiting for the current config refresh to finish");
  EXPECT_EQ(log.back(), "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录");
  EXPECT_EQ(log[log.size() - 2], "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录");

  // Settings that cannot be saved stop the start before anything runs.
  core->settings.miner_exe_path = testing_support::sim_miner_path();
  core->miner_state = MinerState::Stopped;
  core->status_dirty = core->controls_dirty = false;
  platform::arm_fault("file-write");
  start_miner(*core);
  platform::disarm_faults();
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(core->last_error, "injected failure at file-write") << "the save's own error";
  EXPECT_EQ(untagged_log(*core).back(), "Cannot start miner: settings could not be saved.");
  EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window shows the error";
  EXPECT_FALSE(core->config_refresh_in_progress);
}

TEST_F(MinerProcess, StartRefreshesAndLaunchesThroughTheSupervisor) {
  {
    auto core = w->core.borrow();
    // What the last miner's round left must not count for the new one: a
    // finished round would let a pending restart end the new miner at once.
    core->scan_round_total = 5;
    core->scan_round_progress = 5;
    core->round_finished = true;
    start_miner(*core);
    EXPECT_EQ(core->miner_state, MinerState::Starting);
    EXPECT_FALSE(core->scan_round_total);
    EXPECT_EQ(core->scan_round_progress, 0u);
    EXPECT_FALSE(core->round_finished);
    EXPECT_TRUE(log_contains(*core, "Settings saved."));
    start_miner(*core);
    EXPECT_TRUE(log_contains(*core, "Start Mining is waiting for the current config refresh to finish"));
  }
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->miner_state == MinerState::Running; }));
  {
    auto core = w->core.borrow();
    EXPECT_TRUE(log_contains(*core, "Miner configuration refreshed: " + expected_miner_config_path()));
    // A restart waits for a safe moment: the end of the miner's round.
    core->settings.auto_restart_on_new_plots = true;
    core->restart_pending = true;
  }
  ASSERT_TRUE(pump_until([&] { return has_line("Restarting miner"); }));
  {
    auto core = w->core.borrow();
    EXPECT_EQ(core->miner_state, MinerState::Restarting);
    EXPECT_STREQ(phase(*core), "stopping_miner");
    const std::vector<std::string> log = untagged_log(*core);
    auto first = [&](std::string_view prefix) {
      return std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    };
    // The safe moment is only seen at a round's end; the stop it starts
    // resets the round, so the flag itself is not looked at here.
    EXPECT_LT(first("Miner scan started: 4096 warps"), first("Safe restart window detected"));
    EXPECT_LT(first("Safe restart window detected"), first("Restarting miner"));
  }
  // The simulated miner ignores nothing in rounds mode, yet gets no signal:
  // the restart ends it after the grace period and starts a new one.
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->miner_state == MinerState::Running; }, std::chrono::seconds(30)));
  EXPECT_EQ(lines_starting(*w->core.borrow(), "Started miner: ").size(), 2u);
  EXPECT_EQ(w->core.borrow()->counters.restarts, (std::array<std::uint64_t, kRestartReasons>{0, 0, 1, 0}))
      << "one launch for plot changes";
  EXPECT_EQ(w->core.borrow()->counters.unexpected_exits, 0u) << "a stop is no unexpected end";
  // The user's Restart Miner counts as such; a Start after a Stop replaces nothing.
  restart_miner(*w->core.borrow());
  ASSERT_TRUE(pump_until([&] { return lines_starting(*w->core.borrow(), "Started miner: ").size() == 3u; },
                         std::chrono::seconds(30)));
  EXPECT_EQ(w->core.borrow()->counters.restarts, (std::array<std::uint64_t, kRestartReasons>{0, 0, 1, 1}));
  stop_miner(*w->core.borrow(), false);
  ASSERT_TRUE(pump_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(30)));
  start_miner(*w->core.borrow());
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->miner_state == MinerState::Running; }, std::chrono::seconds(30)));
  EXPECT_EQ(w->core.borrow()->counters.restarts, (std::array<std::uint64_t, kRestartReasons>{0, 0, 1, 1}));
}

TEST_F(MinerProcess, LeftoverMinersOfThisProfileAreEnded) {
  platform::MinerLaunch other{testing_support::sim_miner_path(), {"--config", "C:\\other\\miner_config.testnet.gui.yaml"}, ""};
  platform::MinerLaunch ours{testing_support::sim_miner_path(), {"--config", "D:\\x\\Miner_Config.Mainnet.GUI.yaml"}, ""};
  Result<platform::ChildProcess> a = platform::spawn_with_output_pipes(other);
  Result<platform::ChildProcess> b = platform::spawn_with_output_pipes(ours);
  ASSERT_TRUE(a.ok() && b.ok());
  const std::uint32_t other_pid = a.value().pid(), our_pid = b.value().pid();
  // A leftover has long been running; these two must first finish starting.
  ASSERT_TRUE(pump_until([&] { return miner_listed(other_pid) && miner_listed(our_pid); }, std::chrono::seconds(5)));
  Result<std::vector<std::string>> report = clean_residual_miners(true);
  ASSERT_TRUE(report.ok()) << report.error();
  auto has = [&](const std::string& line) {
    return std::find(report.value().begin(), report.value().end(), line) != report.value().end();
  };
  EXPECT_TRUE(has("found gui-managed miner pid=" + std::to_string(our_pid) + ", config=miner_config.mainnet.gui.yaml"));
  EXPECT_TRUE(has("killed pid=" + std::to_string(our_pid)));
  EXPECT_TRUE(has("skipped pid=" + std::to_string(other_pid) + ", command line does not match GUI config"));
  EXPECT_TRUE(b.value().wait_for(std::chrono::seconds(5)).value().has_value());
  EXPECT_FALSE(a.value().try_wait().value().has_value());  // the other profile's miner survives
  a.value().terminate(1);
  a.value().wait_for(std::chrono::seconds(5));
}

#ifndef _WIN32
TEST(ProcessListing, ProcessesThatEndDuringAListingOrATreeKillAreSkipped) {
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop) {
      Result<platform::ChildProcess> brief = platform::spawn_with_output_pipes({"/bin/true", {}, ""});
      if (brief.ok()) brief.value().wait_for(std::chrono::seconds(5));
    }
  });
  for (int i = 0; i < 300; ++i) {
    Result<std::string> listed = platform::list_miner_processes();
    ASSERT_TRUE(listed.ok()) << listed.error();
    EXPECT_EQ(listed.value().find("true"), std::string::npos);
    // A tree kill reads every process's parent too: no such pid, as taskkill says.
    Result<std::uint32_t> killed = platform::run_tree_kill(4'194'305);  // above the largest pid
    ASSERT_TRUE(killed.ok()) << killed.error();
    EXPECT_EQ(killed.value(), 128u);
  }
  stop = true;
  churn.join();
}
#endif

TEST_F(MinerProcess, OnlyTheStartRefreshEndsLeftoverMiners) {
  platform::MinerLaunch ours{testing_support::sim_miner_path(), {"--config", "D:\\x\\miner_config.mainnet.gui.yaml"}, ""};
  Result<platform::ChildProcess> leftover = platform::spawn_with_output_pipes(ours);
  ASSERT_TRUE(leftover.ok());
  const std::uint32_t pid = leftover.value().pid();
  // Listed once it runs as vorn_miner.exe with its command line (a process
  // that is still starting has none yet), its arguments one blank apart.
  auto listed_with_its_command_line = [&] {
#ifndef _WIN32
    if (!testing_support::listed_with(pid, "\t" + ours.program + " ")) return false;
#endif
    return testing_support::listed_with(pid, " --config D:\\x\\miner_config.mainnet.gui.yaml");
  };
  ASSERT_TRUE(pump_until(listed_with_its_command_line, std::chrono::seconds(10))) << platform::list_miner_processes().value();
  auto refresh = [&](RefreshPurpose purpose) {
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    run_config_refresh(RefreshJob{purpose, AppSettings{}, expected_miner_config_path(), sender, {}});
    std::optional<WorkerEvent> event = receiver.try_recv();
    EXPECT_TRUE(event && std::holds_alternative<ConfigRefreshed>(*event));
    return event ? std::get<ConfigRefreshed>(*event) : ConfigRefreshed{purpose, {}, false, "no event"};
  };
  ConfigRefreshed stable = refresh(RefreshPurpose::stable_plot_changes(1));
  EXPECT_TRUE(stable.ok) << stable.text;
  EXPECT_TRUE(stable.cleanup_lines.empty());
  EXPECT_FALSE(leftover.value().wait_for(std::chrono::milliseconds(300)).value().has_value());  // left alone

  ConfigRefreshed start = refresh(RefreshPurpose::start_miner());
  EXPECT_TRUE(start.ok) << start.text;
  EXPECT_NE(std::find(start.cleanup_lines.begin(), start.cleanup_lines.end(), "killed pid=" + std::to_string(pid)),
            start.cleanup_lines.end());
  EXPECT_TRUE(leftover.value().wait_for(std::chrono::seconds(5)).value().has_value());

  // A start whose leftovers cannot be looked for does not go on.
  platform::arm_fault("process-list");
  ConfigRefreshed blind = refresh(RefreshPurpose::start_miner());
  platform::disarm_faults();
  EXPECT_FALSE(blind.ok);
  EXPECT_NE(blind.text.find("injected failure at process-list"), std::string::npos) << blind.text;
}

TEST_F(MinerProcess, AListedPidThatNowBelongsToAnotherProgramIsLeftAlone) {
  // Another program, not named vorn_miner.exe, holds the pid that a listing
  // taken a moment earlier gave to one of our leftover miners.
  const std::string folder = scratch_folder("reused_pid");
  const std::string other_program = platform::join_path(folder, "other_tool.exe");
  std::filesystem::copy_file(testing_support::sim_miner_path(), other_program);
  set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> other =
      platform::spawn_with_output_pipes({other_program, {"--config", "C:\\g\\miner_config.mainnet.gui.yaml"}, ""});
  set_env("VORN_SIM_MODE", "");
  ASSERT_TRUE(other.ok()) << other.error();
  const std::uint32_t pid = other.value().pid();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past its start-up
  // Its command line names our configuration, but it is not vorn_miner.exe.
  EXPECT_FALSE(miner_listed(pid));
  const std::string listing = std::to_string(pid) + "\tC:\\m\\vorn_miner.exe --config C:\\g\\miner_config.mainnet.gui.yaml\n";

  Result<std::vector<std::string>> report = clean_listed_miners(listing, true, kill_process_tree);
  ASSERT_TRUE(report.ok()) << report.error();
  const std::string id = std::to_string(pid);
  EXPECT_EQ(report.value(), (std::vector<std::string>{
                                "found gui-managed miner pid=" + id + ", config=miner_config.mainnet.gui.yaml",
                                "skipped pid=" + id + ", process is no longer vorn_miner.exe (now other_tool.exe); not killed"}));
  EXPECT_FALSE(other.value().wait_for(std::chrono::milliseconds(500)).value().has_value());  // it survives
  other.value().terminate(1);
  other.value().wait_for(std::chrono::seconds(5));

  // Once it has ended, the pid is skipped for that reason.
  report = clean_listed_miners(listing, true, kill_process_tree);
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report.value().back(), "skipped pid=" + id + ", process has ended; not killed");

#ifndef _WIN32
  // Nor is a miner that has ended but is not reaped yet.
  set_env("VORN_SIM_MODE", "exit");
  Result<platform::ChildProcess> ended = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  set_env("VORN_SIM_MODE", "");
  ASSERT_TRUE(ended.ok()) << ended.error();
  // Seen to end, and (as a child this test holds) not reaped until dropped.
  ASSERT_TRUE(ended.value().wait_for(std::chrono::seconds(10)).value().has_value());
  const std::string ended_id = std::to_string(ended.value().pid());
  EXPECT_FALSE(miner_listed(ended.value().pid())) << "an ended miner is not running";
  report = clean_listed_miners(ended_id + "\tC:\\m\\vorn_miner.exe --config C:\\g\\miner_config.mainnet.gui.yaml\n", true,
                               kill_process_tree);
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report.value().back(), "skipped pid=" + ended_id + ", process has ended; not killed");
#endif
}

TEST_F(MinerProcess, AMinerThatEndsByItselfIsStartedAgainAfterAGrowingPause) {
  // It exits with 0, then crashes, then is killed from outside; each time the
  // program starts it again once the pause is over (the test shortens it).
  struct Ending {
    const char* mode;
    const char* exit_code;
    bool killed_from_outside;
    const char* announced;
  };
  const Ending endings[] = {
      {"exit", "0", false, "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 4)"},
      {"exit", "3221225477", false, "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 4)"},
      {"rounds", "0", true, "Miner ended unexpectedly; starting it again in 40 s (attempt 3 of 4)"},
  };
  set_env("VORN_SIM_DELAY_MS", "300");
  for (std::size_t i = 0; i < std::size(endings); ++i) {
    set_env("VORN_SIM_MODE", endings[i].mode);
    set_env("VORN_SIM_EXIT_CODE", endings[i].exit_code);
    if (i == 0) {
      launch();
    } else {
      w->core.borrow()->auto_restart.due = Clock::now();  // the pause is over
      beat_until([&] { return w->core.borrow()->miner_child.has_value(); }, std::chrono::seconds(10));
      ASSERT_TRUE(w->core.borrow()->miner_child) << untagged_log(*w->core.borrow()).back();
    }
    if (endings[i].killed_from_outside) {
      ASSERT_TRUE(pump_until([&] { return w->core.borrow()->miner_state == MinerState::Running; }));
      EXPECT_TRUE(platform::run_tree_kill(w->core.borrow()->miner_child->pid()).ok());
    }
    beat_until([&] { return has_line(endings[i].announced); }, std::chrono::seconds(10));
    auto core = w->core.borrow();
    EXPECT_TRUE(log_contains(*core, endings[i].announced)) << untagged_log(*core).back();
    EXPECT_FALSE(core->miner_child);
    EXPECT_EQ(core->miner_state, MinerState::Stopped);
    EXPECT_STREQ(phase(*core), "idle");
    EXPECT_TRUE(core->auto_restart.due);
  }
  EXPECT_EQ(lines_starting(*w->core.borrow(), "Started miner: ").size(), 3u);
  EXPECT_EQ(lines_starting(*w->core.borrow(), "Miner configuration refreshed: ").size(), 2u);
  {
    const RunCounters& counted = w->core.borrow()->counters;
    EXPECT_EQ(counted.unexpected_exits, 3u);
    EXPECT_EQ(counted.restarts, (std::array<std::uint64_t, kRestartReasons>{2, 0, 0, 0})) << "two launches after a crash";
  }
  // The fourth and fifth starts fail (the miner is gone meanwhile): the
  // restart gives up, and the user's own start afterwards is no restart.
  set_env("VORN_SIM_MODE", "rounds");
  set_env("VORN_SIM_DELAY_MS", "0");
  set_env("VORN_SIM_EXIT_CODE", "0");
  w->core.borrow()->settings.miner_exe_path = "/definitely/not/here/vorn_miner.exe";
  for (std::size_t failed = 1; failed <= 2; ++failed) {
    w->core.borrow()->auto_restart.due = Clock::now();
    beat_until([&] { return lines_starting(*w->core.borrow(), "Automatic restart could not start the miner").size() == failed; },
               std::chrono::seconds(10));
  }
  ASSERT_TRUE(has_line("Miner ended unexpectedly 5 times within 30 minutes; automatic restart stopped. "
                       "Use Start Mining to try again."))
      << untagged_log(*w->core.borrow()).back();
  w->core.borrow()->settings.miner_exe_path = testing_support::sim_miner_path();
  start_miner(*w->core.borrow());
  beat_until([&] { return w->core.borrow()->miner_state == MinerState::Running; }, std::chrono::seconds(30));
  ASSERT_EQ(w->core.borrow()->miner_state, MinerState::Running) << untagged_log(*w->core.borrow()).back();
  EXPECT_EQ(w->core.borrow()->counters.restarts, (std::array<std::uint64_t, kRestartReasons>{2, 0, 0, 0}))
      << "the user's start after the restart gave up counted as a restart";
  stop_miner(*w->core.borrow(), false);
  beat_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(10));
  EXPECT_EQ(w->core.borrow()->miner_state, MinerState::Stopped);
}

TEST_F(MinerProcess, NoMinerIsStartedOnceTheExitIsConfirmed) {
  auto core = w->core.borrow();
  core->exit_requested = true;
  core->miner_state = MinerState::Starting;  // a start whose refresh was under way
  handle_config_refreshed(*core, ConfigRefreshed{RefreshPurpose::start_miner(), {}, true, expected_miner_config_path()});
  EXPECT_FALSE(core->miner_child);
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_TRUE(log_contains(*core, "Miner start skipped: the program is exiting"));
  core->miner_state = MinerState::Starting;
  core->status_dirty = core->controls_dirty = false;
  start_miner(*core);
  EXPECT_FALSE(core->config_refresh_in_progress);
  EXPECT_EQ(core->miner_state, MinerState::Stopped);
  EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window shows the start is over";
  // A stop still under way keeps its state until it reports.
  core->stop_in_progress = true;
  core->miner_state = MinerState::Stopping;
  start_miner(*core);
  EXPECT_EQ(core->miner_state, MinerState::Stopping);
  core->stop_in_progress = false;
}

// The output reader alone, on its own channel, for a miner started with
// the given simulated-miner mode.
struct ReaderRun {
  explicit ReaderRun(std::size_t budget_limit, platform::gui::NoticeTarget notice = {})
      : budget(std::make_shared<OutputBudget>(budget_limit)) {
    auto [s, r] = Channel<WorkerEvent>::create();
    sender = s;
    receiver = std::move(r);
    Result<platform::ChildProcess> spawned = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
    EXPECT_TRUE(spawned.ok());
    child.emplace(std::move(spawned).value());
    reader = std::thread([pipe = std::move(*child->take_stdout()), s = sender, b = budget, notice, this]() mutable {
      run_output_reader(std::move(pipe), s, notice, b);
      ended = true;
    });
  }
  ~ReaderRun() {
    child->terminate(1);
    child->wait_for(std::chrono::seconds(5));
    { EventReceiver gone = std::move(receiver); }
    budget->handled(static_cast<std::size_t>(std::max<std::int64_t>(budget->waiting(), 0)));  // never a hang here
    reader.join();
  }
  // The next line, handled as the GUI thread would; empty after 20 s
  // without one (these miners print no empty lines).
  std::string next_line() {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (std::optional<WorkerEvent> e = receiver.try_recv()) {
        MinerLine& line = std::get<MinerLine>(*e);
        budget->handled(queued_cost(line));
        return line.line;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
  }

  std::shared_ptr<OutputBudget> budget;
  EventSender sender;
  EventReceiver receiver;
  std::optional<platform::ChildProcess> child;
  std::atomic<bool> ended{false};
  std::thread reader;
};

TEST(LongLines, AreCutAt64KiBButNeverInsideACharacter) {
  std::string text(kLongestLine + 10, 'a');
  EXPECT_EQ(long_line_cut(text), kLongestLine);
  text.replace(kLongestLine - 1, 3, "\xE2\x82\xAC");  // a euro sign across the limit
  EXPECT_EQ(long_line_cut(text), kLongestLine - 1);
  text.replace(kLongestLine - 3, 4, "\xF0\x9F\x98\x80");  // four bytes ending at the limit
  text[kLongestLine + 1] = 'a';
  EXPECT_EQ(long_line_cut(text), kLongestLine - 3);
  std::string broken(kLongestLine + 10, '\x80');  // continuation bytes only
  EXPECT_EQ(long_line_cut(broken), kLongestLine);
  broken[kLongestLine - 4] = '\xF0';  // no character has four bytes after its first
  EXPECT_EQ(long_line_cut(broken), kLongestLine);
}

TEST_F(MinerProcess, OutputWithoutLineFeedsArrivesInPiecesOf64KiB) {
  const std::pair<std::string, std::vector<std::size_t>> cases[] = {
      {"200000", {65536, 65536, 65536, 3392}},
      {"65536", {65536}},  // exactly the longest line: one line, no empty one after it
  };
  for (const auto& [bytes, expected] : cases) {
    set_env("VORN_SIM_MODE", "endless");
    set_env("VORN_SIM_BYTES", bytes);
    ReaderRun run(kQueuedOutputLimit);
    std::vector<std::size_t> sizes;
    std::size_t offset = 0;  // of the piece in the miner's output: 0123456789 over and over
    std::string line;
    while (!(line = run.next_line()).empty() && line.rfind("WARN", 0) != 0) {
      for (std::size_t i = 0; i < line.size(); ++i) {
        ASSERT_EQ(line[i], static_cast<char>('0' + (offset + i) % 10)) << "byte " << offset + i << " of " << bytes;
      }
      offset += line.size();
      sizes.push_back(line.size());
    }
    EXPECT_EQ(sizes, expected) << bytes;
    EXPECT_EQ(line, "WARN endless progress ended after " + bytes + " bytes");
  }
}

TEST_F(MinerProcess, AReaderAheadOfTheWindowWaitsAndLosesNothing) {
  simulate_flood(100000, "");
  constexpr std::size_t kLimit = 64 * 1024;
  ReaderRun run(kLimit);
  // Nobody handles lines: the reader stops near the limit, and the miner
  // waits on its full pipe instead of finishing.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_GE(run.budget->waiting(), static_cast<std::int64_t>(kLimit));
  // It stops within one read past the limit: a read holds at most 631 of
  // these lines ("flood line N" and a line feed: 13 bytes or more).
  const std::size_t one_read = kReaderBuffer + (kReaderBuffer / 13 + 1) * sizeof(WorkerEvent);
  EXPECT_LT(run.budget->waiting(), static_cast<std::int64_t>(kLimit + one_read));
  EXPECT_FALSE(run.child->try_wait().value().has_value());
  for (int i = 0; i < 100000; ++i) {
    ASSERT_EQ(run.next_line(), "flood line " + std::to_string(i));
  }
  EXPECT_EQ(run.budget->waiting(), 0);
  EXPECT_TRUE(run.child->wait_for(std::chrono::seconds(10)).value().has_value());
}

TEST_F(MinerProcess, AReaderWaitingForAWindowThatIsGoneEnds) {
  simulate_flood(100000, "");
  ReaderRun run(64 * 1024);
  ASSERT_TRUE(pump_until([&] { return run.budget->full(); }));
  { EventReceiver gone = std::move(run.receiver); }
  EXPECT_TRUE(pump_until([&] { return run.ended.load(); }, std::chrono::seconds(5)));
}

TEST_F(MinerProcess, EmptyLinesCountAgainstTheBudgetToo) {
  // 100,000 empty lines: each is an event in the channel, though it has no bytes.
  simulate_flood(100000, "");
  set_env("VORN_SIM_FLOOD_EMPTY", "1");
  constexpr std::size_t kLimit = 64 * 1024;
  ReaderRun run(kLimit);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const std::int64_t per_line = static_cast<std::int64_t>(queued_cost(MinerLine{}));
  EXPECT_GE(run.budget->waiting(), static_cast<std::int64_t>(kLimit));
  EXPECT_LT(run.budget->waiting(), static_cast<std::int64_t>(kLimit) + static_cast<std::int64_t>(kReaderBuffer) * per_line);
  EXPECT_FALSE(run.child->try_wait().value().has_value()) << "the miner ran ahead of the window";
  set_env("VORN_SIM_FLOOD_EMPTY", "");
  int empty = 0;
  ASSERT_TRUE(pump_until([&] {
    while (std::optional<WorkerEvent> e = run.receiver.try_recv()) {
      const MinerLine& line = std::get<MinerLine>(*e);
      run.budget->handled(queued_cost(line));
      empty += line.line.empty();
    }
    return empty == 100000;
  }, std::chrono::seconds(30))) << empty;
  EXPECT_EQ(run.budget->waiting(), 0);
  EXPECT_TRUE(run.child->wait_for(std::chrono::seconds(10)).value().has_value());
}

TEST_F(MinerProcess, AReaderWakesTheWindowOnlyWhenNoWakeUpWaits) {
  simulate_flood(20000, "");
  {
    // Nobody takes the wake-up: the reader wakes the window once, not once
    // per twenty lines.
    platform::gui::Window window = platform::gui::Window::create("reader").value();
    int notices = 0;
    window.bind([&](const platform::gui::Event& e) { notices += e.kind == platform::gui::EventKind::Notice; });
    ReaderRun run(kQueuedOutputLimit, window.notice(1));
    ASSERT_TRUE(pump_until([&] { return run.ended.load(); }, std::chrono::seconds(30)));
    platform::gui::headless::pump_pending();  // every wake-up it gave is queued by now
    EXPECT_EQ(notices, 1);
  }
  // A window that takes each wake-up is woken again for later lines: at the
  // twentieth line since the last wake-up, at an earlier one only when 50 ms
  // have passed since it, and at the end for the lines still waiting. Here
  // the window lives on the reader's thread, where a wake-up is handled
  // before it returns (as SendNotifyMessageW does there), so each notice
  // finds exactly the lines sent since the one before.
  Result<platform::ChildProcess> spawned = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  ASSERT_TRUE(spawned.ok()) << spawned.error();
  platform::ChildProcess child = std::move(spawned).value();
  std::pair<EventSender, EventReceiver> channel = Channel<WorkerEvent>::create();
  auto budget = std::make_shared<OutputBudget>();
  std::vector<std::size_t> per_notice;
  Clock::duration took{};
  std::thread reader([&, pipe = std::move(*child.take_stdout())]() mutable {
    platform::gui::Window window = platform::gui::Window::create("reader").value();
    window.bind([&](const platform::gui::Event& e) {
      if (e.kind != platform::gui::EventKind::Notice) return;
      budget->wake_taken();
      std::size_t lines = 0;
      while (std::optional<WorkerEvent> got = channel.second.try_recv()) {
        budget->handled(queued_cost(std::get<MinerLine>(*got)));
        ++lines;
      }
      per_notice.push_back(lines);
    });
    const Instant began = Clock::now();
    run_output_reader(std::move(pipe), channel.first, window.notice(1), budget);
    took = Clock::now() - began;
  });
  reader.join();
  EXPECT_TRUE(child.wait_for(std::chrono::seconds(10)).value().has_value());
  std::size_t lines = 0;
  for (std::size_t n : per_notice) lines += n;
  EXPECT_EQ(lines, 20000u) << "lines were left without a wake-up";
  ASSERT_GE(per_notice.size(), 3u);
  EXPECT_EQ(per_notice.front(), 1u) << "the first line wakes the window at once";
  EXPECT_EQ(*std::max_element(per_notice.begin(), per_notice.end()), 20u) << "twenty lines, then a wake-up";
  // Fewer lines than twenty (the first and the last aside) each follow a
  // pause of 50 ms since the wake-up before: no more of them than the
  // reading took 50 ms.
  std::size_t early = 0;
  for (std::size_t i = 1; i + 1 < per_notice.size(); ++i) early += per_notice[i] < 20;
  EXPECT_LE(early, static_cast<std::size_t>(took / std::chrono::milliseconds(50)))
      << per_notice.size() << " notices in " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST_F(MinerProcess, LinesThatComeSlowlyOrLastWakeTheWindowThemselves) {
  platform::gui::Window window = platform::gui::Window::create("reader").value();
  int notices = 0;
  std::size_t lines = 0;
  std::shared_ptr<OutputBudget> budget;
  EventReceiver* receiver = nullptr;
  window.bind([&](const platform::gui::Event& e) {
    if (e.kind != platform::gui::EventKind::Notice || receiver == nullptr) return;
    ++notices;
    budget->wake_taken();
    while (std::optional<WorkerEvent> got = receiver->try_recv()) {
      budget->handled(queued_cost(std::get<MinerLine>(*got)));
      ++lines;
    }
  });
  {
    // A progress line every 100 ms: each comes more than 50 ms after the
    // last wake-up and wakes the window, though twenty lines never pile up.
    set_env("VORN_SIM_ROUND_MS", "1000");
    ReaderRun run(kQueuedOutputLimit, window.notice(1));
    budget = run.budget;
    receiver = &run.receiver;
    ASSERT_TRUE(pump_until([&] { return lines >= 5 + 8; }, std::chrono::seconds(10))) << lines;
    EXPECT_GE(notices, 8);
    receiver = nullptr;
  }
  platform::gui::headless::pump_pending();  // its last wake-ups, all queued once it has ended
  {
    // A progress line every 20 ms: the window is woken for the first line,
    // then at most once per 50 ms (or per twenty lines, should a slow read
    // bring that many at once), not for each line.
    set_env("VORN_SIM_ROUND_MS", "200");
    notices = 0;
    lines = 0;
    const Instant began = Clock::now();
    ReaderRun run(kQueuedOutputLimit, window.notice(1));
    budget = run.budget;
    receiver = &run.receiver;
    ASSERT_TRUE(pump_until([&] { return lines >= 40; }, std::chrono::seconds(10))) << lines;
    const auto took = Clock::now() - began;
    EXPECT_GE(notices, 2);
    EXPECT_LE(static_cast<std::size_t>(notices), 1 + static_cast<std::size_t>(took / std::chrono::milliseconds(50)) + lines / 20)
        << lines << " lines in " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    receiver = nullptr;
  }
  platform::gui::headless::pump_pending();
  // Three lines in one read, then the end of the output half a second later:
  // the first wakes the window, the two after it wake it once at the end.
  set_env("VORN_SIM_MODE", "text");
  set_env("VORN_SIM_TEXT", "one\\ntwo\\nthree\\n");
  set_env("VORN_SIM_DELAY_MS", "500");
  notices = 0;
  lines = 0;
  ReaderRun run(kQueuedOutputLimit, window.notice(1));
  budget = run.budget;
  receiver = &run.receiver;
  ASSERT_TRUE(pump_until([&] { return run.ended.load(); }, std::chrono::seconds(10)));
  platform::gui::headless::pump_pending();  // every wake-up it gave is queued by now
  EXPECT_EQ(lines, 3u);
  EXPECT_EQ(notices, 2);
  set_env("VORN_SIM_DELAY_MS", "0");
}

}  // namespace
}  // namespace vorn
