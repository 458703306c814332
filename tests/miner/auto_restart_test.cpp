#include <gtest/gtest.h>

#include "miner/auto_restart.h"
#include "miner/miner_control.h"
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
  AppCore core = testing_support::make_core(testing_support::scratch_folder("auto_restart"));
  const Instant t0 = Clock::now();

  // The miner ended by itself at `ended` (started a little before).
  void end(Instant ended) { on_unexpected_end(core, ended); }
  std::string last_line() { return untagged_log(core).back(); }
};

TEST_F(AutoRestart, PausesDoubleAndTheFifthEndWithinHalfAnHourStopsTrying) {
  Instant now = t0;
  const std::chrono::seconds pauses[] = {10s, 20s, 40s, 80s};
  for (int attempt = 1; attempt <= 4; ++attempt) {
    end(now);
    const std::chrono::seconds pause = pauses[attempt - 1];
    EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in " + std::to_string(pause.count()) +
                               " s (attempt " + std::to_string(attempt) + " of 5)");
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
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 5)");
}

TEST_F(AutoRestart, OnlyEndsWithinTheLastHalfHourCount) {
  for (int i = 0; i < 4; ++i) end(t0 + i * 1min);
  // A miner that then runs for 30 minutes starts the count afresh.
  end(t0 + 3min + 10s + 30min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 5)");
  // An end exactly 30 minutes old no longer counts; one a moment younger does.
  const Instant a = t0 + 2h;
  end(a);
  end(a + 30min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 5)");
  end(a + 59min);
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 5)");
  // Runs of 29 minutes do not reset it: the fifth end stops the restarts.
  end(a + 59min + 29min + 10s);
  end(a + 59min + 2 * (29min + 10s));
  EXPECT_EQ(last_line(), "Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 5)");
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
  // Once the exit is confirmed (the window cancels what is pending), an end
  // schedules nothing at all.
  core.auto_restart = {};
  core.exit_requested = true;
  end(t0);
  EXPECT_FALSE(core.auto_restart.due);
}

TEST_F(AutoRestart, AStartThatFailsBeforeTheLaunchLeavesNothingPending) {
  core.settings.miner_exe_path = "/definitely/not/here/vorn_miner.exe";
  end(t0);
  check_auto_restart(core, t0 + 10s);
  EXPECT_EQ(core.miner_state, MinerState::Error);
  const std::size_t reported = lines_starting(core, "未找到 vorn_miner.exe").size();
  EXPECT_GE(reported, 1u);
  EXPECT_FALSE(core.auto_restart.due);
  check_auto_restart(core, t0 + 1h);
  EXPECT_EQ(lines_starting(core, "未找到 vorn_miner.exe").size(), reported);
}

}  // namespace
}  // namespace vorn
