#include <gtest/gtest.h>

#include <cmath>

#include "core/app_core.h"
#include "core/build_profile.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::make_core;
using testing_support::scratch_folder;

TEST(BuildProfile, CaptionAndPoolHost) {
  EXPECT_EQ(window_caption(), "Qubo-VORN Pool Miner - MAINNET v0.1.37");
  EXPECT_EQ(kProfile.pool_host.size(), 21u);
  EXPECT_EQ(kProfile.pool_port, 443u);
}

TEST(BuildProfile, ExeRelativeIsBesideTheExecutable) {
  std::optional<std::string> exe = platform::executable_path();
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe_relative("x.json"), platform::join_path(platform::parent_folder(*exe), "x.json"));
}

TEST(AppCoreState, StartsWithTheInitialValues) {
  AppCore core = make_core(scratch_folder("initial"));
  EXPECT_EQ(core.scan_status_text, "Waiting");
  EXPECT_EQ(core.next_scan_id, 1u);
  EXPECT_EQ(core.current_scan_id, 0u);
  EXPECT_EQ(core.miner_state, MinerState::Stopped);
  EXPECT_TRUE(core.list_dirty && core.status_dirty && core.log_dirty && core.controls_dirty);
  EXPECT_FALSE(core.scan_running || core.scan_queued || core.stop_in_progress ||
               core.exit_requested || core.restart_pending || core.round_finished ||
               core.auto_start_done || core.config_refresh_in_progress || core.save_pending);
  EXPECT_EQ(core.last_heartbeat_at - core.log_refresh_at, std::chrono::milliseconds(500));
  EXPECT_STREQ(phase(core), "idle");
  // The first render is due at once from the clock's 500th millisecond on;
  // a clock that has not run that long is not reached back past its start.
  using std::chrono::milliseconds;
  for (const milliseconds at : {milliseconds(499), milliseconds(500), milliseconds(501)}) {
    const AppCore early(EventSender(), platform::gui::NoticeTarget{}, Instant(at));
    EXPECT_EQ(early.log_refresh_at, at < milliseconds(500) ? Instant(at) : Instant(at - milliseconds(500)))
        << at.count() << " ms";
  }
}

TEST(AppCoreState, PhaseTakesTheFirstConditionThatHolds) {
  AppCore core = make_core(scratch_folder("phase"));
  core.config_refresh_in_progress = true;
  EXPECT_STREQ(phase(core), "refreshing_config");
  core.scan_running = true;
  EXPECT_STREQ(phase(core), "scanning");
  core.pending_scan_results.emplace();
  EXPECT_STREQ(phase(core), "applying_scan_results");
  core.miner_state = MinerState::Restarting;
  EXPECT_STREQ(phase(core), "restarting_miner");
  core.stop_in_progress = true;
  EXPECT_STREQ(phase(core), "stopping_miner");
  core.exit_requested = true;
  EXPECT_STREQ(phase(core), "exiting");
}

TEST(AppCoreState, MinerStateTexts) {
  EXPECT_STREQ(miner_state_text(MinerState::RestartPending), "Restart pending");
  EXPECT_STREQ(miner_state_text(MinerState::Error), "Error");
  EXPECT_EQ(static_cast<int>(MinerState::Error), 6);
}

TEST(ActivityLog, LinesCarryTheTagAndTheLogKeeps500) {
  AppCore core = make_core(scratch_folder("log"));
  core.log_dirty = false;
  log_line(core, "first");
  EXPECT_EQ(core.log_lines.back(), "[gui:mainnet] first");
  EXPECT_TRUE(core.log_dirty);
  for (int i = 2; i <= 501; ++i) log_line(core, "line " + std::to_string(i));
  ASSERT_EQ(core.log_lines.size(), 500u);
  EXPECT_EQ(core.log_lines.front(), "[gui:mainnet] line 2");
  EXPECT_EQ(core.log_lines.back(), "[gui:mainnet] line 501");
  raw_log_line(core, "[miner] raw");
  EXPECT_EQ(core.log_lines.back(), "[miner] raw");
  EXPECT_EQ(core.log_lines.size(), 500u);
  core.log_dirty = false;
  clear_log(core);
  EXPECT_TRUE(core.log_lines.empty());
  EXPECT_TRUE(core.log_dirty);
}

TEST(FormatCapacity, UnitsAndRounding) {
  const std::uint64_t gib = 1ull << 30, tib = 1ull << 40, pib = 1ull << 50;
  EXPECT_EQ(format_capacity(0), "0GB");
  EXPECT_EQ(format_capacity(500 * gib), "500GB");
  EXPECT_EQ(format_capacity(tib - 1), "1024GB");
  EXPECT_EQ(format_capacity(tib), "1.00T");
  EXPECT_EQ(format_capacity(tib + tib / 2), "1.50T");
  EXPECT_EQ(format_capacity(3 * tib), "3.00T");
  EXPECT_EQ(format_capacity(pib), "1.00P");
  EXPECT_EQ(format_capacity(UINT64_MAX), "16384.00P");
  // Ties go to the even neighbour.
  EXPECT_EQ(format_capacity(gib / 2), "0GB");
  EXPECT_EQ(format_capacity(gib + gib / 2), "2GB");
  EXPECT_EQ(format_capacity(2 * gib + gib / 2), "2GB");
  EXPECT_EQ(format_capacity(tib + tib / 8), "1.12T");  // 1.125 -> 1.12
  EXPECT_EQ(format_capacity(tib + 3 * tib / 8), "1.38T");  // 1.375 -> 1.38
}

TEST(DeferredSave, MarksTheSaveWithTheEditTime) {
  AppCore core = make_core(scratch_folder("deferred"));
  Instant t = Clock::now();
  request_deferred_save(core, t);
  EXPECT_TRUE(core.save_pending);
  EXPECT_EQ(core.save_requested_at, t);
}

}  // namespace
}  // namespace vorn
