#include <gtest/gtest.h>

#include "miner/auto_restart.h"
#include "miner/miner_control.h"
#include "core/supervisor.h"
#include "minerconfig/miner_config.h"
#include "ui/display.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using testing_support::lines_starting;
using testing_support::log_contains;
using testing_support::untagged_log;

// The automatic restart with a clock the test moves by hand.
class AutoRestart : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    core.event_sender = sender;
    events = std::move(receiver);
  }
  // The refreshes that starts began run their leftover-miner cleanup: they
  // must be over before the next test starts miners of its own.
  void TearDown() override {
    const std::size_t started = lines_starting(core, "Settings saved.").size();
    std::size_t finished = 0;
    testing_support::pump_until([&] {
      while (std::optional<WorkerEvent> e = events.try_recv()) finished += std::holds_alternative<ConfigRefreshed>(*e);
      return finished >= started;
    }, std::chrono::seconds(90));
    EXPECT_GE(finished, started) << "a refresh did not end";
  }

  AppCore core = testing_support::make_core(testing_support::scratch_folder("auto_restart"));
  EventReceiver events;
  const Instant t0 = Clock::now();

  // The miner ended by itself at `ended` (started a little before).
  void end(Instant ended) { on_unexpected_end(core, ended); }
  // The last line of the automatic restart's own (the alerts' lines follow theirs).
  std::string last_line() {
    const std::vector<std::string> lines = untagged_log(core);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
      if (line->rfind("Alert: ", 0) != 0) return *line;
    }
    return "";
  }
};

TEST_F(AutoRestart, PausesDoubleAndTheFifthEndWithinHalfAnHourStopsTrying) {
  Instant now = t0;
  const std::chrono::seconds pauses[] = {10s, 20s, 40s, 80s};
  for (int attempt = 1; attempt <= 4; ++attempt) {
    end(now);
    const std::chrono::seconds pause = pauses[attempt - 1];
    EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in " + std::to_string(pause.count()) +
                               " s (attempt " + std::to_string(attempt) + " of 4)");
    ASSERT_TRUE(core.auto_restart.due);
    EXPECT_EQ(*core.auto_restart.due, now + pause);
    // Until the pause ends the miner is simply stopped.
    check_auto_restart(core, now + pause - 1ms);
    EXPECT_EQ(core.miner_state, MinerState::Stopped);
    EXPECT_STREQ(phase(core), "idle");
    EXPECT_FALSE(log_contains(core, "Settings saved."));
    now += pause + 1min;
  }
  end(now);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly 5 times within 30 minutes; automatic restart stopped. "
                         "Use Start Mining to try again.");
  EXPECT_FALSE(core.auto_restart.due);
  EXPECT_EQ(auto_restart_pause(5), 160s);
  EXPECT_EQ(auto_restart_pause(9), 160s);
  // After giving up, the next end starts counting afresh.
  end(now + 1min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 4)");
}

TEST_F(AutoRestart, OnlyEndsWithinTheLastHalfHourCount) {
  for (int i = 0; i < 4; ++i) end(t0 + i * 1min);
  // A miner that then runs for 30 minutes starts the count afresh.
  end(t0 + 3min + 10s + 30min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 4)");
  // An end exactly 30 minutes old no longer counts; one a moment younger does.
  const Instant a = t0 + 2h;
  end(a);
  end(a + 30min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 4)");
  end(a + 59min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 4)");
  // Runs of 29 minutes do not reset it: the fifth end stops the restarts.
  end(a + 59min + 29min + 10s);
  end(a + 59min + 2 * (29min + 10s));
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 4)");
  end(a + 3h);
  for (int i = 1; i < 5; ++i) end(a + 3h + i * 7min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly 5 times within 30 minutes; automatic restart stopped. "
                         "Use Start Mining to try again.");
}

TEST_F(AutoRestart, TheUsersCommandsCancelAPendingRestart) {
  const std::pair<const char*, std::function<void(AppCore&)>> takeovers[] = {
      {"Start Mining", [](AppCore& c) { start_miner(c); }},
      {"Stop Mining", [](AppCore& c) { stop_miner(c, false); }},
      {"Restart Miner", [](AppCore& c) { restart_miner(c); }},
  };
  for (const auto& [name, takeover] : takeovers) {
    core.auto_restart = {};
    end(t0);
    ASSERT_TRUE(core.auto_restart.due) << name;
    takeover(core);
    const std::size_t lines = core.log_lines.size();
    check_auto_restart(core, t0 + 1h);
    EXPECT_FALSE(core.auto_restart.due) << name;
    EXPECT_EQ(core.log_lines.size(), lines) << name << ": something started after all";
  }
  // The same while the automatic start's own refresh runs: when that
  // refresh then fails, the failure is the user's, and nothing more starts.
  core.settings.miner_exe_path = testing_support::sim_miner_path();
  for (const auto& [name, takeover] : takeovers) {
    core.auto_restart = {};
    end(t0);
    check_auto_restart(core, t0 + 10s);
    ASSERT_TRUE(core.config_refresh_in_progress) << name;
    takeover(core);
    handle_config_refreshed(core, ConfigRefreshed{RefreshPurpose::start_miner(), {}, false, "timed out after 30 s"});
    EXPECT_EQ(last_line(), "Miner configuration refresh failed: timed out after 30 s") << name;
    EXPECT_FALSE(core.auto_restart.due) << name;
  }
  // Once the exit is confirmed (the window cancels what is pending), an end
  // schedules nothing at all.
  core.auto_restart = {};
  core.exit_requested = true;
  end(t0);
  EXPECT_FALSE(core.auto_restart.due);
}

TEST_F(AutoRestart, StopMiningIsOfferedWhileARestartWaitsAndCancelsItWithOneLine) {
  EXPECT_FALSE(button_states(core).stop_mining) << "nothing to stop";
  end(t0);
  core.controls_dirty = false;
  check_auto_restart(core, t0 + 5s);
  EXPECT_TRUE(button_states(core).stop_mining);
  const std::size_t lines = core.log_lines.size();
  stop_miner(core, false);
  EXPECT_EQ(core.log_lines.size(), lines + 1);
  EXPECT_EQ(last_line(), "Restart cancelled; the miner stays stopped");
  EXPECT_EQ(core.miner_state, MinerState::Stopped);
  EXPECT_FALSE(button_states(core).stop_mining);
  EXPECT_TRUE(core.controls_dirty) << "the button must be shown disabled again";
  check_auto_restart(core, t0 + 1h);
  EXPECT_EQ(core.log_lines.size(), lines + 1) << "nothing started after the cancel";
  // Without a waiting restart, Stop Mining says what it always said.
  stop_miner(core, false);
  EXPECT_EQ(last_line(), "Miner is not running");
  // A start that a running stop refuses still takes the waiting restart's
  // place: the buttons are shown anew.
  end(t0 + 2h);
  core.stop_in_progress = true;
  core.controls_dirty = false;
  start_miner(core);
  EXPECT_EQ(last_line(), "Miner is still stopping; start ignored until stop completes");
  EXPECT_FALSE(core.auto_restart.due);
  EXPECT_TRUE(core.controls_dirty);
  core.stop_in_progress = false;
}

TEST_F(AutoRestart, ARestartDueWhileARefreshOrAStopRunsStartsWhenItIsOver) {
  core.settings.miner_exe_path = testing_support::sim_miner_path();
  for (bool* busy : {&core.config_refresh_in_progress, &core.stop_in_progress}) {
    core.auto_restart = {};
    core.miner_state = MinerState::Stopped;
    end(t0);
    *busy = true;  // a refresh for stable plot changes, or a stop, is under way
    check_auto_restart(core, t0 + 10s);
    check_auto_restart(core, t0 + 11s);
    ASSERT_TRUE(core.auto_restart.due) << "the restart is kept while it could only be refused";
    EXPECT_EQ(core.miner_state, MinerState::Stopped);
    EXPECT_TRUE(button_states(core).stop_mining);
    *busy = false;
    core.config_refresh_in_progress = false;
    check_auto_restart(core, t0 + 12s);
    EXPECT_FALSE(core.auto_restart.due);
    EXPECT_EQ(core.miner_state, MinerState::Starting) << last_line();
    EXPECT_TRUE(core.config_refresh_in_progress) << "the start's own refresh runs";
    EXPECT_TRUE(core.auto_restart.attempt_running);
  }
  core.config_refresh_in_progress = false;
}

TEST_F(AutoRestart, AStopWithRestartThatEndsDuringARefreshStartsWhenTheRefreshIsOver) {
  core.settings.miner_exe_path = testing_support::sim_miner_path();
  const ConfigRefreshed plots_refreshed{RefreshPurpose::stable_plot_changes(2), {}, true, expected_miner_config_path()};
  for (bool cancelled : {false, true}) {
    core.stop_in_progress = true;
    core.miner_state = MinerState::Restarting;
    core.config_refresh_in_progress = true;  // a rescan found stable plot changes meanwhile
    handle_stop_finished(core, StopFinished{"Miner stopped with status exit code: 0", true});
    EXPECT_EQ(last_line(), "Restart waits for the current config refresh to finish");
    EXPECT_EQ(core.miner_state, MinerState::Restarting);
    EXPECT_TRUE(button_states(core).stop_mining) << "the waiting restart can be cancelled";
    if (cancelled) {
      stop_miner(core, false);
      EXPECT_EQ(last_line(), "Restart cancelled; the miner stays stopped");
    }
    handle_config_refreshed(core, plots_refreshed);
    if (cancelled) {
      EXPECT_EQ(core.miner_state, MinerState::Stopped);
      EXPECT_FALSE(core.config_refresh_in_progress) << "nothing was started";
    } else {
      EXPECT_EQ(core.miner_state, MinerState::Starting) << last_line();
      EXPECT_TRUE(core.config_refresh_in_progress) << "the start's own refresh runs";
    }
    core.config_refresh_in_progress = false;
  }
}

TEST_F(AutoRestart, AStartThatFailsInsideAnAutomaticRestartCountsAsAnUnexpectedEnd) {
  core.settings.miner_exe_path = "/definitely/not/here/vorn_miner.exe";
  end(t0);
  Instant now = t0;
  const std::chrono::seconds pauses[] = {20s, 40s, 80s};
  for (int attempt = 2; attempt <= 4; ++attempt) {
    now = *core.auto_restart.due;
    check_auto_restart(core, now);
    const std::vector<std::string> log = untagged_log(core);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录");
    EXPECT_EQ(log[log.size() - 2], "Automatic restart could not start the miner; counted as an unexpected end");
    EXPECT_EQ(log.back(), "Miner ended unexpectedly; starting it again in " + std::to_string(pauses[attempt - 2].count()) +
                              " s (attempt " + std::to_string(attempt) + " of 4)");
    ASSERT_TRUE(core.auto_restart.due);
    EXPECT_EQ(*core.auto_restart.due, now + pauses[attempt - 2]);
  }
  check_auto_restart(core, *core.auto_restart.due);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly 5 times within 30 minutes; automatic restart stopped. "
                         "Use Start Mining to try again.");
  EXPECT_FALSE(core.auto_restart.due);
  EXPECT_EQ(core.miner_state, MinerState::Error);

  // A failed refresh of an automatic start counts too (a process listing
  // that timed out); the same failure after the user's own Start does not.
  core.settings.miner_exe_path = testing_support::sim_miner_path();
  end(now);
  check_auto_restart(core, *core.auto_restart.due);
  ASSERT_TRUE(core.config_refresh_in_progress);
  handle_config_refreshed(core, ConfigRefreshed{RefreshPurpose::start_miner(), {}, false, "timed out after 30 s"});
  std::vector<std::string> log = untagged_log(core);
  EXPECT_EQ(log[log.size() - 3], "Miner configuration refresh failed: timed out after 30 s");
  EXPECT_EQ(log[log.size() - 2], "Automatic restart could not start the miner; counted as an unexpected end");
  EXPECT_EQ(log.back(), "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 4)");
  // So does a launch that fails after the refresh (its file gone meanwhile).
  check_auto_restart(core, *core.auto_restart.due);
  ASSERT_TRUE(core.config_refresh_in_progress);
  const std::string gone = platform::join_path(testing_support::scratch_folder("auto_restart_gone"), "miner.yaml");
  handle_config_refreshed(core, ConfigRefreshed{RefreshPurpose::start_miner(), {}, true, gone});
  log = untagged_log(core);
  EXPECT_EQ(log[log.size() - 3].rfind("Cannot start miner: ", 0), 0u) << log[log.size() - 3];
  EXPECT_EQ(log[log.size() - 2], "Automatic restart could not start the miner; counted as an unexpected end");
  EXPECT_EQ(log.back(), "Miner ended unexpectedly; starting it again in 40 s (attempt 3 of 4)");
  cancel_auto_restart(core);
  start_miner(core);
  ASSERT_TRUE(core.config_refresh_in_progress);
  handle_config_refreshed(core, ConfigRefreshed{RefreshPurpose::start_miner(), {}, false, "timed out after 30 s"});
  EXPECT_EQ(last_line(), "Miner configuration refresh failed: timed out after 30 s");
  EXPECT_FALSE(core.auto_restart.due);
}

}  // namespace
}  // namespace vorn
