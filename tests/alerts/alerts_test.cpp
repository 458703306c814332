// The window thread's side: alerts raised where things happen, the
// 10-minute limit, the stall watchdog, dropped plots, the heartbeat's lines,
// and the reports with their counters, with no secret in any line.
#include <gtest/gtest.h>

#include "alerts/alert_test_support.h"
#include "alerts/alerts.h"
#include "core/supervisor.h"
#include "miner/auto_restart.h"
#include "miner/miner_control.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using testing_support::lines_starting;
using testing_support::untagged_log;

struct AlertsFixture : ::testing::Test {
  void SetUp() override {
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    core.event_sender = sender;
    events = std::move(receiver);
    core.settings.miner_name = "rig-7";
  }
  std::vector<std::string> alert_lines() { return lines_starting(core, "Alert: "); }
  // Handles the sender's reports (as the window thread does) until `n` arrived.
  std::size_t handle_reports(std::size_t n, std::chrono::seconds limit = 5s) {
    std::size_t handled = 0;
    const auto end = Clock::now() + limit;
    while (handled < n && Clock::now() < end) {
      while (std::optional<WorkerEvent> e = events.try_recv()) {
        if (auto* r = std::get_if<AlertReport>(&*e)) {
          handle_alert_report(core, *r);
          ++handled;
        }
      }
      std::this_thread::sleep_for(5ms);
    }
    return handled;
  }
  void use_options(Options o) {
    core.options = std::move(o);
    ++core.options_generation;
  }
  // A real simulated miner that ignores a stop request, launched at t0 as
  // the core's running miner (what it prints is not read here).
  void launch_silent_miner() {
    testing_support::set_env("VORN_SIM_MODE", "ignore");
    Result<platform::ChildProcess> miner = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
    testing_support::set_env("VORN_SIM_MODE", "");
    ASSERT_TRUE(miner.ok()) << miner.error();
    core.miner_child = std::move(miner).value();
    core.miner_state = MinerState::Running;
    alerts_note_launch(core, t0);
  }

  AppCore core = testing_support::make_core(testing_support::scratch_folder("alerts"));
  EventReceiver events;
  const Instant t0 = Clock::now();
};

TEST_F(AlertsFixture, CrashesAlertAtMostOncePerTenMinutesAndTheFifthGivesUp) {
  on_unexpected_end(core, t0, "exit code: 3");
  on_unexpected_end(core, t0, "exit code: 0xc0000005");  // at the same instant: held as well
  on_unexpected_end(core, t0 + 9min, "exit code: 1");
  EXPECT_EQ(alert_lines(), std::vector<std::string>{
                               "Alert: Miner ended unexpectedly on rig-7 (exit code: 3); starting it again in 10 s"});
  on_unexpected_end(core, t0 + 10min, "exit code: 2");
  EXPECT_EQ(alert_lines().back(),
            "Alert: Miner ended unexpectedly on rig-7 (exit code: 2); starting it again in 80 s "
            "(2 more since the last alert)");
  on_unexpected_end(core, t0 + 11min);
  EXPECT_EQ(alert_lines().back(),
            "Alert: Mining stopped on rig-7: the miner ended 5 times within 30 minutes. Use Start Mining to try again.");
  EXPECT_EQ(alert_lines().size(), 3u);
  // The next height after a give-up says mining is back; once.
  alerts_note_launch(core, t0 + 12min);
  alerts_note_height(core, 4711, false, t0 + 12min);  // the height it ended at: not mining again yet
  EXPECT_EQ(alert_lines().size(), 3u);
  alerts_note_height(core, 4712, true, t0 + 13min);
  alerts_note_height(core, 4713, true, t0 + 14min);
  EXPECT_EQ(alert_lines().back(), "Alert: Mining again on rig-7 at height 4712");
  EXPECT_EQ(alert_lines().size(), 4u);
  // The 10 minutes count from the last one sent; a start that failed has its own text.
  on_unexpected_end(core, t0 + 20min, kStartFailedText);
  EXPECT_EQ(alert_lines().back(), "Alert: Miner ended unexpectedly on rig-7 (it could not be started); starting it again in 10 s");
  on_unexpected_end(core, t0 + 45min, "exit code: 4");
  on_unexpected_end(core, t0 + 50min, "exit code: 5");
  on_unexpected_end(core, t0 + 56min, "exit code: 6");
  EXPECT_EQ(alert_lines().back(),
            "Alert: Miner ended unexpectedly on rig-7 (exit code: 6); starting it again in 40 s "
            "(1 more since the last alert)");
  EXPECT_EQ(alert_lines().size(), 7u);
  EXPECT_FALSE(core.alerts.sender) << "with no alert channel nothing is started to send them";
}

TEST_F(AlertsFixture, TheRigIsRigNameElseTheMinerNameElseTheComputersName) {
  EXPECT_EQ(rig_name(core), "rig-7");
  core.settings.miner_name = "  ";
  EXPECT_EQ(rig_name(core), platform::computer_name());
  EXPECT_FALSE(platform::computer_name().empty());
  core.options.rig_name = "north-2";
  EXPECT_EQ(rig_name(core), "north-2");
}

TEST(StallWatchdog, FiresOncePerStallAndRestartsAtMostThreeTimesAnHour) {
  AlertsState s;
  const Instant t0 = Clock::now();
  auto check = [&](Instant at, bool restart_on_stall = true, bool running = true) {
    return stall_check(s, 10, restart_on_stall, running, at);
  };
  EXPECT_FALSE(check(t0 + 1h).fired) << "no launch yet";
  s.launched = true;
  s.activity_at = t0;
  EXPECT_FALSE(check(t0 + 10min - 1ms).fired);
  EXPECT_FALSE(check(t0 + 10min, true, false).fired) << "not running";
  EXPECT_FALSE(stall_check(s, 0, true, true, t0 + 1h).fired) << "watchdog off";
  StallVerdict v = check(t0 + 10min);
  EXPECT_TRUE(v.fired && v.restart);
  EXPECT_FALSE(check(t0 + 30min).fired) << "once per stall";
  // Each launch (or new height, or round start) counts afresh.
  for (int n = 2; n <= 4; ++n) {
    s.stalled = false;
    s.activity_at = t0 + n * 10min;
    v = check(t0 + (n + 1) * 10min);
    EXPECT_TRUE(v.fired);
    EXPECT_EQ(v.restart, n <= 3) << "stall " << n;
  }
  // An hour after the first restart, one more is allowed.
  s.stalled = false;
  s.activity_at = t0 + 60min;
  v = check(t0 + 70min);
  EXPECT_TRUE(v.fired && v.restart);
  s.stalled = false;
  s.activity_at = t0 + 80min;
  v = check(t0 + 90min, false);
  EXPECT_TRUE(v.fired && !v.restart) << "restart_on_stall off";
}

// The miner runs (a real simulated one) and reports nothing new: the
// watchdog logs, alerts and restarts it with the reason "stall"; no
// heartbeat ping goes out while it is stalled.
TEST_F(AlertsFixture, AStalledMinerIsLoggedAlertedAndRestartedForTheStall) {
  START_RECORDER(recorder, "200");
  Options o;
  o.stall_minutes = 1;
  o.heartbeat_url = recorder->url("/hb/secret-uuid");
  o.heartbeat_interval_secs = 86400;
  use_options(o);
  ASSERT_NO_FATAL_FAILURE(launch_silent_miner());
  alerts_note_height(core, 100, true, t0 + 1s);  // the first ping
  ASSERT_TRUE(recorder->wait_for_requests(1));
  check_alerts(core, t0 + 1s);  // the options applied after it: no change, no second ping
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder->requests().size(), 1u);
  // A shorter interval holds at once, not after the day that was planned.
  o.heartbeat_interval_secs = 60;
  use_options(o);
  check_alerts(core, t0 + 1s);
  ASSERT_TRUE(recorder->wait_for_requests(2));
  alerts_note_round_started(core, t0 + 30s);
  alerts_note_height(core, 100, false, t0 + 45s);  // the same height again is no sign of mining
  check_alerts(core, t0 + 60s);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder->requests().size(), 2u) << "the interval is not over";
  check_alerts(core, t0 + 61s);  // one interval after the last ping
  ASSERT_TRUE(recorder->wait_for_requests(3));
  // So does a new address: its service hears from the rig at once.
  o.heartbeat_url = recorder->url("/hb/other-uuid");
  use_options(o);
  check_alerts(core, t0 + 62s);
  ASSERT_TRUE(recorder->wait_for_requests(4));
  EXPECT_EQ(recorder->requests()[3].path, "/hb/other-uuid");
  EXPECT_TRUE(lines_starting(core, "No new block height").empty()) << "a round started 31 s ago";
  check_alerts(core, t0 + 90s - 1ms);
  EXPECT_TRUE(lines_starting(core, "No new block height").empty());
  check_alerts(core, t0 + 90s);
  ASSERT_EQ(lines_starting(core, "No new block height").size(), 1u);
  EXPECT_EQ(lines_starting(core, "No new block height")[0], "No new block height for 1 minutes");
  EXPECT_EQ(alert_lines(), std::vector<std::string>{"Alert: No new block height on rig-7 for 1 minutes; restarting the miner"});
  EXPECT_TRUE(core.stop_in_progress);
  EXPECT_EQ(core.restart_reason, RestartReason::Stall);
  // Stopping: no pings, whatever the interval says.
  check_alerts(core, t0 + 200s);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder->requests().size(), 4u);
  // The stop worker ends the miner (after its grace) and reports.
  bool stopped = false;
  const auto end = Clock::now() + 30s;
  while (!stopped && Clock::now() < end) {
    while (std::optional<WorkerEvent> e = events.try_recv()) stopped = stopped || std::holds_alternative<StopFinished>(*e);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(stopped);
  // Started again, the miner reports the height it stalled at: the chain has
  // not moved, so mining is not "again" until a new height arrives.
  alerts_note_launch(core, t0 + 210s);
  alerts_note_height(core, 100, false, t0 + 211s);
  EXPECT_EQ(alert_lines().size(), 1u);
  alerts_note_height(core, 101, true, t0 + 250s);
  EXPECT_EQ(alert_lines().back(), "Alert: Mining again on rig-7 at height 101");
  // (a height noted here, with no miner running in this test: no ping)
  check_alerts(core, t0 + 400s);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(recorder->requests().size(), 4u) << "a ping without a running miner";
}

TEST_F(AlertsFixture, ChannelsAnnounceThemselvesAndReportsAreCountedWithoutSecrets) {
  START_RECORDER(recorder, "200,404");
  const std::string secret_path = "/hook/T0KEN-abc";
  Options o;
  o.alerts = {AlertChannel{ChannelKind::Json, recorder->url(secret_path), "", AlertLevel::Info},
              AlertChannel{ChannelKind::Telegram, recorder->url("/botSECRET/sendMessage"), "-100777", AlertLevel::Critical}};
  use_options(o);
  check_alerts(core, t0);
  EXPECT_EQ(alert_lines(), std::vector<std::string>{"Alert: Alerts are on for rig-7"});
  ASSERT_EQ(handle_reports(1), 1u);  // json only: telegram wants critical
  EXPECT_EQ(core.counters.alerts_sent["json"], 1u);
  check_alerts(core, t0 + 1s);
  use_options(o);  // the same list again: no second announcement
  check_alerts(core, t0 + 2s);
  EXPECT_EQ(alert_lines().size(), 1u);

  alert_miner_gave_up(core);  // both channels: 404 from the first to answer, 404 from the other
  ASSERT_EQ(handle_reports(2), 2u);
  EXPECT_EQ(core.counters.alerts_failed["json"] + core.counters.alerts_failed["telegram"], 2u);
  const std::string where = "http://127.0.0.1/\xE2\x80\xA6";
  EXPECT_EQ(lines_starting(core, "Alert sent to "), std::vector<std::string>{"Alert sent to json " + where});
  EXPECT_EQ(lines_starting(core, "Alert not delivered to ").size(), 2u);
  EXPECT_EQ(lines_starting(core, "Alert not delivered to telegram ")[0],
            "Alert not delivered to telegram " + where + ": HTTP status 404");
  // Alerts turned off: nothing announces that.
  use_options(Options{});
  check_alerts(core, t0 + 3s);
  EXPECT_EQ(alert_lines().size(), 2u);
  for (const std::string& line : core.log_lines) {
    EXPECT_EQ(line.find("T0KEN"), std::string::npos) << line;
    EXPECT_EQ(line.find("SECRET"), std::string::npos) << line;
    EXPECT_EQ(line.find("-100777"), std::string::npos) << line;
  }
}

TEST_F(AlertsFixture, HeartbeatFailureAndRecoveryAreLoggedOnceEach) {
  auto report = [&](AlertReport::Kind kind, std::string error = "") {
    AlertReport r;
    r.kind = kind;
    r.error = std::move(error);
    handle_alert_report(core, r);
  };
  report(AlertReport::Kind::PingWorked);
  report(AlertReport::Kind::PingFailed, "timed out after 10 s");
  report(AlertReport::Kind::PingFailed, "HTTP status 500");
  report(AlertReport::Kind::PingWorked);
  report(AlertReport::Kind::PingWorked);
  EXPECT_EQ(lines_starting(core, "Heartbeat ping "),
            (std::vector<std::string>{"Heartbeat ping failed: timed out after 10 s", "Heartbeat ping works again"}));
}

// A ping says mining is healthy: none goes out while the miner is being
// stopped or is not running yet, or while it is stalled, whatever the
// interval says; the next new height brings them back.
TEST_F(AlertsFixture, HeartbeatPingsOnlyWhileTheMinerRunsAndIsNotStalled) {
  START_RECORDER(recorder, "200");
  Options o;
  o.stall_minutes = 5;
  o.restart_on_stall = false;
  o.heartbeat_url = recorder->url("/hb");
  o.heartbeat_interval_secs = 60;
  use_options(o);
  ASSERT_NO_FATAL_FAILURE(launch_silent_miner());
  alerts_note_height(core, 100, true, t0);
  ASSERT_TRUE(recorder->wait_for_requests(1));
  const auto no_ping_at = [&](Instant at, const char* why) {
    const std::size_t before = recorder->requests().size();
    check_alerts(core, at);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder->requests().size(), before) << why;
  };
  core.stop_in_progress = true;
  no_ping_at(t0 + 60s, "a miner being stopped");
  core.stop_in_progress = false;
  core.miner_state = MinerState::Starting;
  no_ping_at(t0 + 61s, "a miner starting");
  core.miner_state = MinerState::Running;
  no_ping_at(t0 + 5min, "a stalled miner");
  EXPECT_EQ(lines_starting(core, "No new block height").size(), 1u);
  alerts_note_height(core, 101, true, t0 + 6min);
  ASSERT_TRUE(recorder->wait_for_requests(2)) << "no ping after the stall ended";
  // A new launch: no ping before its first height, then one at once, even
  // a height seen before and the interval not over.
  alerts_note_launch(core, t0 + 6min + 10s);
  no_ping_at(t0 + 6min + 20s, "a relaunched miner with no height yet");
  alerts_note_height(core, 101, false, t0 + 6min + 30s);
  ASSERT_TRUE(recorder->wait_for_requests(3)) << "no ping at the relaunched miner's first height";
  EXPECT_FALSE(core.miner_child->terminate(1));
  EXPECT_TRUE(core.miner_child->wait_for(5s).ok());
}

FolderReport folder(const std::string& path, FolderStatus status, std::uint64_t files, std::uint64_t bytes) {
  FolderReport r;
  r.path = path;
  r.status = status;
  r.file_count = files;
  r.total_bytes = bytes;
  return r;
}

TEST_F(AlertsFixture, PlotsDropWhenAScanFindsFewerOrAFolderStopsAnswering) {
  constexpr std::uint64_t kGiB = 1ull << 30;
  core.settings.plot_dirs = {"/a", "/b"};
  auto scan = [&](FolderReport a, FolderReport b) {
    core.folder_reports.clear();
    core.folder_reports.emplace("/a", a);
    core.folder_reports.emplace("/b", b);
    alerts_note_scan(core);
  };
  scan(folder("/a", FolderStatus::Normal, 3, 300 * kGiB), folder("/b", FolderStatus::Normal, 2, 200 * kGiB));
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::Normal, 2, 200 * kGiB));
  EXPECT_TRUE(alert_lines().empty()) << "the first scan and more plots are no drop";
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::Missing, 0, 0));
  EXPECT_EQ(alert_lines(), std::vector<std::string>{"Alert: Plots dropped on rig-7: 6 -> 4 plot files (600GB -> 400GB)"});
  // The folder is back, then stops answering: the window keeps its numbers, the alert does not count them.
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::Normal, 2, 200 * kGiB));
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::NotResponding, 2, 200 * kGiB));
  EXPECT_EQ(alert_lines().back(), "Alert: Plots dropped on rig-7: 6 -> 4 plot files (600GB -> 400GB)");
  EXPECT_EQ(alert_lines().size(), 2u);
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::NotResponding, 2, 200 * kGiB));
  EXPECT_EQ(alert_lines().size(), 2u) << "still silent: once per drop";
  // A folder removed from the list is the user's doing.
  core.settings.plot_dirs = {"/a"};
  core.folder_reports.erase("/b");
  alerts_note_scan(core);
  EXPECT_EQ(alert_lines().size(), 2u);
  // A folder that held no plot files yet and stops answering: its drive failed.
  core.settings.plot_dirs = {"/a", "/b"};
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::NoPlots, 0, 0));
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::NoPlots, 0, 0));
  EXPECT_EQ(alert_lines().size(), 2u);
  scan(folder("/a", FolderStatus::Normal, 4, 400 * kGiB), folder("/b", FolderStatus::NotResponding, 0, 0));
  EXPECT_EQ(alert_lines().back(), "Alert: Plots dropped on rig-7: 4 -> 4 plot files (400GB -> 400GB)");
  EXPECT_EQ(alert_lines().size(), 3u);
  // A folder just added has no report yet and counts nothing; the sums are
  // exact to the byte (one byte more would be 1.00T).
  core.settings.plot_dirs = {"/a", "/b", "/c"};
  scan(folder("/a", FolderStatus::Normal, 4, 2 * kGiB * 1024), folder("/b", FolderStatus::NotResponding, 0, 0));
  scan(folder("/a", FolderStatus::Normal, 3, kGiB * 1024 - 1), folder("/b", FolderStatus::NotResponding, 0, 0));
  EXPECT_EQ(alert_lines().back(), "Alert: Plots dropped on rig-7: 4 -> 3 plot files (2.00T -> 1024GB)");
  EXPECT_EQ(alert_lines().size(), 4u);
}

}  // namespace
}  // namespace vorn
