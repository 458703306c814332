#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "core/build_profile.h"
#include "core/crash_guard.h"
#include "core/event_guard.h"
#include "core/supervisor.h"
#include "miner/discovery.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::log_contains;
using testing_support::pump_until;
using testing_support::scratch_folder;
using testing_support::TestWindow;
using testing_support::lines_starting;
using testing_support::untagged_log;

// A simulated miner that ends by itself three seconds after it started.
platform::ChildProcess short_lived_miner() {
  testing_support::set_env("VORN_SIM_MODE", "exit");
  testing_support::set_env("VORN_SIM_DELAY_MS", "3000");
  Result<platform::ChildProcess> child = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  testing_support::set_env("VORN_SIM_MODE", "rounds");
  EXPECT_TRUE(child.ok()) << child.error();
  return std::move(child).value();
}

TEST(Channel, KeepsEachSendersOrderTellsWhenNoSenderIsLeftAndFailsAfterTheReceiverIsGone) {
  auto [sender, receiver] = Channel<int>::create();
  constexpr int kThreads = 4, kEach = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([s = sender, t] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(s.send(t * kEach + i));
    });
  }
  std::vector<int> last(kThreads, -1);
  int received = 0;
  while (received < kThreads * kEach) {
    if (std::optional<int> v = receiver.try_recv()) {
      int t = *v / kEach;
      EXPECT_GT(*v, last[t]);
      last[t] = *v;
      ++received;
    }
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(receiver.try_recv());
  // Copies, moves and assignments count as they should: the first sender
  // alone is left.
  {
    Channel<int>::Sender copy = sender;
    Channel<int>::Sender moved = std::move(copy);
    copy = moved;
    copy = copy;
    moved = Channel<int>::Sender();
    EXPECT_TRUE(copy.send(7));
  }
  EXPECT_TRUE(receiver.has_senders());
  EXPECT_EQ(receiver.try_recv(), 7);
  {
    // A channel whose senders are all gone says so, and still hands out
    // what they sent.
    auto [last, alone] = Channel<int>::create();
    Channel<int>::Sender other = last;
    EXPECT_TRUE(last.send(8));
    last = Channel<int>::Sender();
    EXPECT_TRUE(alone.has_senders());
    { Channel<int>::Sender gone = std::move(other); }
    EXPECT_FALSE(alone.has_senders());
    EXPECT_EQ(alone.try_recv(), 8);
  }
  { auto gone = std::move(receiver); }
  EXPECT_FALSE(sender.send(1));
}

TEST(Drain, TakesAtMostOneHundredEventsPerDrainInChannelOrder) {
  auto w = TestWindow::create(scratch_folder("drain"));
  for (int i = 1; i <= 250; ++i) w->sender.send(MinerLine{"#TOTAL:" + std::to_string(i)});
  // The number of events handled when each drain begins.
  std::vector<std::size_t> handled_at_start;
  w->notice_handler = [&] {
    handled_at_start.push_back(lines_starting(*w->core.borrow(), "Miner scan started").size());
    on_notice(*w);
  };
  w->notice.wake();
  auto core = w->core.borrow();
  std::vector<std::string> started = lines_starting(*core, "Miner scan started: ");
  ASSERT_EQ(started.size(), 250u);
  for (int i = 1; i <= 250; ++i) EXPECT_EQ(started[i - 1], "Miner scan started: " + std::to_string(i) + " warps");
  ASSERT_GE(handled_at_start.size(), 3u);  // each drain that ran out of budget sent one more
  handled_at_start.push_back(250);
  std::size_t largest = 0;
  for (std::size_t i = 1; i < handled_at_start.size(); ++i) {
    EXPECT_LE(handled_at_start[i] - handled_at_start[i - 1], 100u);
    largest = std::max(largest, handled_at_start[i] - handled_at_start[i - 1]);
  }
  EXPECT_EQ(largest, 100u);  // a drain that is not short of time takes all it may
  EXPECT_EQ(w->refreshes, static_cast<int>(handled_at_start.size()) - 1);  // one per drain
}

TEST(Drain, AnEventThatTakesLongEndsTheDrainAndTheRestFollowWithoutWaiting) {
  auto w = TestWindow::create(scratch_folder("slow"));
  const std::string slow(8 << 20, 'a');  // reading it takes longer than a drain's 8 ms
  for (int i = 0; i < 4; ++i) w->sender.send(MinerLine{slow});
  w->sender.send(MinerLine{"#TOTAL:9"});
  int drains = 0;
  w->notice_handler = [&] {
    ++drains;
    on_notice(*w);
  };
  w->notice.wake();
  // Each drain stops after its slow event and asks for the next at once; no
  // heartbeat is needed.
  ASSERT_TRUE(pump_until([&] { return log_contains(*w->core.borrow(), "Miner scan started: 9 warps"); }));
  EXPECT_GE(drains, 4);
}

TEST(Drain, ManyHeartbeatsLeadToOneHeartbeatPassAfterTheOtherEvents) {
  auto w = TestWindow::create(scratch_folder("heartbeats"));
  {
    auto core = w->core.borrow();
    core->last_heartbeat_at = Clock::now() - std::chrono::seconds(4);
  }
  for (int i = 0; i < 5; ++i) {
    w->sender.send(Heartbeat{});
    w->sender.send(MinerLine{"#TOTAL:" + std::to_string(i)});
  }
  for (int i = 0; i < 5; ++i) w->sender.send(Heartbeat{});
  w->notice.wake();
  auto core = w->core.borrow();
  std::vector<std::string> log = untagged_log(*core);
  ASSERT_EQ(lines_starting(*core, "UI heartbeat delayed: ").size(), 1u);
  EXPECT_EQ(log.back().rfind("UI heartbeat delayed: ", 0), 0u);
  EXPECT_NE(log.back().find(" ms, current_phase=idle"), std::string::npos);
  EXPECT_EQ(w->refreshes, 1);
}

TEST(Drain, AFloodFromFourThreadsIsHandledWithBoundedNesting) {
  auto w = TestWindow::create(scratch_folder("flood"));
  constexpr std::uint64_t kEach = 250000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([s = w->sender, n = w->notice] {
      for (std::uint64_t i = 1; i <= kEach; ++i) {
        s.send(MinerLine{"#SCAN_PROGRESS:1"});
        if (i % 1000 == 0) n.wake();
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->scan_round_progress == 4 * kEach; }));
  EXPECT_LE(w->deepest_drain, kMaxNestedDrains);
  EXPECT_GE(w->deepest_drain, 2);  // the flood did chain drains
}

TEST(Drain, NoticeDuringADrainIsFoldedIntoOneMore) {
  auto w = TestWindow::create(scratch_folder("again"));
  w->sender.send(MinerLine{"#TOTAL:1"});
  w->drain_running = true;  // as if a drain ran further up the stack
  w->notice.wake();
  EXPECT_TRUE(w->drain_again);
  EXPECT_EQ(w->refreshes, 1);
  EXPECT_FALSE(log_contains(*w->core.borrow(), "Miner scan started: 1 warps"));
  w->drain_running = false;
  w->notice.wake();
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Miner scan started: 1 warps"));
}

TEST(Heartbeat, DelayIsReportedFromThreeWholeSeconds) {
  auto w = TestWindow::create(scratch_folder("delay"));
  auto core = w->core.borrow();
  core->last_heartbeat_at = Clock::now() - std::chrono::milliseconds(2900);
  on_heartbeat(*core);
  EXPECT_TRUE(lines_starting(*core, "UI heartbeat delayed").empty());
  core->last_heartbeat_at = Clock::now() - std::chrono::milliseconds(3200);
  on_heartbeat(*core);
  std::vector<std::string> lines = lines_starting(*core, "UI heartbeat delayed: ");
  ASSERT_EQ(lines.size(), 1u);
  const long ms = std::stol(lines[0].substr(std::string("UI heartbeat delayed: ").size()));
  EXPECT_GE(ms, 3200);
  EXPECT_LT(ms, 3400);
  EXPECT_NE(lines[0].find("current_phase=idle"), std::string::npos);
  on_heartbeat(*core);  // on time after the late one
  EXPECT_EQ(lines_starting(*core, "UI heartbeat delayed: ").size(), 1u);
}

TEST(Heartbeat, DeferredSaveHappensOnce750msAfterTheLastEdit) {
  auto w = TestWindow::create(scratch_folder("deferred_save"));
  auto core = w->core.borrow();
  request_deferred_save(*core, Clock::now());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Instant second_edit = Clock::now();
  request_deferred_save(*core, second_edit);
  Instant saved_at;
  while (Clock::now() - second_edit < std::chrono::seconds(2)) {
    on_heartbeat(*core);
    if (!core->save_pending && saved_at == Instant()) saved_at = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(saved_at, Instant());
  EXPECT_GE(saved_at - second_edit, std::chrono::milliseconds(750));
  EXPECT_LT(saved_at - second_edit, std::chrono::milliseconds(1500));  // one pass after it, even under load
  EXPECT_EQ(lines_starting(*core, "Settings saved.").size(), 1u);
}

TEST(Heartbeat, ThePeriodicChecksRunOncePerSecond) {
  auto w = TestWindow::create(scratch_folder("poll"));
  auto core = w->core.borrow();
  core->exit_requested = true;  // a start that begins launches nothing
  const Instant now = Clock::now();
  core->auto_restart.due = now - std::chrono::seconds(1);
  // A periodic rescan is due as well: the same once-a-second check starts it.
  core->settings.auto_detect_new_plots = true;
  core->last_scan_started_at = now - std::chrono::hours(24);
  core->last_poll_at = now - std::chrono::milliseconds(900);
  on_heartbeat(*core);
  EXPECT_TRUE(core->auto_restart.due) << "checked less than a second ago";
  EXPECT_FALSE(core->scan_running);
  core->last_poll_at = now + std::chrono::seconds(5);  // a time ahead of the clock counts as just now
  on_heartbeat(*core);
  EXPECT_TRUE(core->auto_restart.due);
  EXPECT_FALSE(core->scan_running);
  core->last_poll_at = now - std::chrono::milliseconds(1100);
  on_heartbeat(*core);
  EXPECT_FALSE(core->auto_restart.due) << "the start it waited for has begun";
  EXPECT_TRUE(core->scan_running) << "the periodic rescan is due";
  EXPECT_GE(core->last_poll_at, now);
}

TEST(Heartbeat, ThreadSendsUntilTheReceiverIsGone) {
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  std::thread beat(run_heartbeat, sender, platform::gui::NoticeTarget{});
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  int beats = 0;
  while (auto e = receiver.try_recv()) beats += std::holds_alternative<Heartbeat>(*e);
  EXPECT_GE(beats, 1);
  EXPECT_LE(beats, 4);
  { auto gone = std::move(receiver); }
  beat.join();  // ends at its next send
}

TEST(Heartbeat, EachBeatWakesTheWindow) {
  auto w = TestWindow::create(scratch_folder("beat_wakes"));
  int notices = 0;
  w->notice_handler = [&] { ++notices; };
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  std::thread beat(run_heartbeat, sender, w->notice);
  EXPECT_TRUE(pump_until([&] { return notices >= 2; }, std::chrono::seconds(5)));
  { auto gone = std::move(receiver); }
  beat.join();
}

TEST(ConfigRefreshed, FailureSetsTheErrorState) {
  auto w = TestWindow::create(scratch_folder("refresh_fail"));
  auto core = w->core.borrow();
  core->config_refresh_in_progress = true;
  handle_config_refreshed(*core, ConfigRefreshed{RefreshPurpose::start_miner(), {"found x", "killed pid=1"}, false, "disk full"});
  EXPECT_FALSE(core->config_refresh_in_progress);
  EXPECT_EQ(core->miner_state, MinerState::Error);
  EXPECT_EQ(core->last_error, "disk full");
  std::vector<std::string> log = untagged_log(*core);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "found x");
  EXPECT_EQ(log[1], "killed pid=1");
  EXPECT_EQ(log[2], "Miner configuration refresh failed: disk full");
}

TEST(ConfigRefreshed, StableCountWithoutAMinerOnlyLogs) {
  auto w = TestWindow::create(scratch_folder("refresh_stable"));
  auto core = w->core.borrow();
  for (std::uint64_t n : {3, 1, 0}) {
    core->log_lines.clear();
    core->status_dirty = core->controls_dirty = false;
    handle_config_refreshed(*core, ConfigRefreshed{RefreshPurpose::stable_plot_changes(n), {}, true, "C:\\x.yaml"});
    std::vector<std::string> expected{"Miner configuration refreshed: C:\\x.yaml"};
    if (n > 0) {
      expected.push_back(std::to_string(n) +
                         " stable new/changed plot file(s) detected; miner configuration refreshed: C:\\x.yaml");
    }
    EXPECT_EQ(untagged_log(*core), expected);
    EXPECT_EQ(core->miner_state, MinerState::Stopped);
    EXPECT_EQ(core->scan_status_text, "Waiting");
    EXPECT_TRUE(core->status_dirty && core->controls_dirty) << "the window must show it";
  }
}

// A refresh for stable plot changes while a miner runs: the restart waits
// for the end of the miner's round, and then stops it with a restart.
TEST(ConfigRefreshed, StableChangesRestartOnlyAtTheEndOfARound) {
  auto w = TestWindow::create(scratch_folder("refresh_round"));
  auto core = w->core.borrow();
  core->miner_child = short_lived_miner();
  core->miner_state = MinerState::Running;
  core->restart_pending = true;
  core->round_finished = false;
  const ConfigRefreshed refreshed{RefreshPurpose::stable_plot_changes(2), {}, true, "C:\\x.yaml"};
  handle_config_refreshed(*core, refreshed);
  EXPECT_EQ(core->miner_state, MinerState::RestartPending);
  EXPECT_FALSE(core->stop_in_progress);
  EXPECT_TRUE(core->miner_child);

  core->round_finished = true;
  handle_config_refreshed(*core, refreshed);
  EXPECT_TRUE(core->stop_in_progress);
  EXPECT_EQ(core->miner_state, MinerState::Restarting);
  EXPECT_TRUE(log_contains(*core, "Restarting miner"));
  // Another refresh while that stop runs does not stop again.
  handle_config_refreshed(*core, refreshed);
  EXPECT_EQ(lines_starting(*core, "Restarting miner").size(), 1u);
  core->exit_requested = true;  // no new miner after the stop
}

TEST(AutoStart, IsDecidedOnceWithItsReasons) {
  auto w = TestWindow::create(scratch_folder("auto_start"));
  auto core = w->core.borrow();
  maybe_auto_start(*core);
  EXPECT_TRUE(log_contains(*core, "Auto start skipped: no plot directory configured"));
  core->log_lines.clear();
  maybe_auto_start(*core);
  EXPECT_TRUE(core->log_lines.empty());

  core->auto_start_done = false;
  core->settings.plot_dirs = {"/nowhere"};
  FolderReport missing;
  missing.path = "/nowhere";
  missing.status = FolderStatus::Missing;
  core->folder_reports["/nowhere"] = missing;
  maybe_auto_start(*core);
  EXPECT_TRUE(log_contains(*core, "Auto start skipped: no normal plot directory found after first scan"));

  // A folder without plots is no reason to mine either.
  core->auto_start_done = false;
  core->log_lines.clear();
  core->settings.plot_dirs.push_back("/empty");
  core->folder_reports["/empty"] = FolderReport{"/empty", FolderStatus::NoPlots, 0, 0, std::nullopt, {}, 0.1};
  maybe_auto_start(*core);
  EXPECT_EQ(untagged_log(*core), std::vector<std::string>{"Auto start skipped: no normal plot directory found after first scan"});
  EXPECT_FALSE(core->config_refresh_in_progress);

  // A normal folder, but no miner program anywhere it is looked for.
  core->auto_start_done = false;
  core->log_lines.clear();
  core->folder_reports["/empty"].status = FolderStatus::Normal;
  core->settings.miner_exe_path = platform::join_path(scratch_folder("auto_start_none"), "vorn_miner.exe");
  maybe_auto_start(*core);
  EXPECT_EQ(untagged_log(*core), (std::vector<std::string>{std::string(kMinerNotFound),
                                                           "Auto start skipped: vorn_miner.exe was not found"}));
  EXPECT_FALSE(core->config_refresh_in_progress);

  // Everything in place: the start begins with its configuration refresh.
  core->auto_start_done = false;
  core->log_lines.clear();
  core->settings.miner_exe_path = testing_support::sim_miner_path();
  maybe_auto_start(*core);
  EXPECT_EQ(untagged_log(*core).front(), "Auto start conditions met; starting miner once");
  EXPECT_TRUE(core->config_refresh_in_progress);
  core->exit_requested = true;  // the refresh's answer launches nothing

  core->auto_start_done = false;
  core->stop_in_progress = true;
  maybe_auto_start(*core);
  EXPECT_TRUE(log_contains(*core, "Auto start skipped: miner is stopping"));
}

TEST(AutoStart, IsSkippedWhileAMinerRuns) {
  auto w = TestWindow::create(scratch_folder("auto_start_running"));
  auto core = w->core.borrow();
  core->miner_child = short_lived_miner();
  core->settings.plot_dirs = {"/p"};
  core->folder_reports["/p"] = FolderReport{"/p", FolderStatus::Normal, 1, 1, std::nullopt, {}, 0.1};
  maybe_auto_start(*core);
  EXPECT_EQ(untagged_log(*core), std::vector<std::string>{"Auto start skipped: miner is already running"});
  EXPECT_FALSE(core->config_refresh_in_progress);
}

// ---------------------------------------------------------------- crash guard

class CrashGuard : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::remove_tree(crash_log_path()); }
  static std::string crash_log() { return testing_support::read_file(crash_log_path()); }
  static int records() {
    std::string log = crash_log();
    int n = 0;
    for (std::size_t at = 0; (at = log.find("timestamp=", at)) != std::string::npos; ++at) ++n;
    return n;
  }
};

TEST_F(CrashGuard, RecordHasItsSevenLines) {
  set_thread_name("main");
  ASSERT_FALSE(write_crash_record("ctx", "boom", std::string_view("a.cpp:7")));
  std::string log = crash_log();
  EXPECT_EQ(log.substr(0, 10), "timestamp=");
  std::size_t first_newline = log.find('\n');
  EXPECT_EQ(log.substr(first_newline + 1),
            "version=v0.1.37-miner-gui-crash-guard-notice-coalesce-and-ui-reentry-safe\n"
            "context=ctx\nthread=main\npanic=boom\nlocation=a.cpp:7\n\n");
}

TEST_F(CrashGuard, TimeAndPlaceAreWrittenAsTheRecordPromises) {
  using std::chrono::system_clock;
  EXPECT_EQ(timestamp_text(system_clock::time_point{} + std::chrono::milliseconds(90500)), "90");
  EXPECT_EQ(timestamp_text(system_clock::time_point{}), "0");
  EXPECT_EQ(timestamp_text(system_clock::time_point{} - std::chrono::seconds(1)), "unknown");
  struct Case {
    SourceLocation where;
    const char* location;
  } cases[] = {{{"/src/core/a.cpp", 7}, "a.cpp:7"}, {{"a.cpp", 8}, "a.cpp:8"}, {{"src/core/", 9}, "src/core/:9"}};
  for (const Case& c : cases) {
    try {
      raise_failure("boom", c.where);
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.location(), c.location);
    }
  }
  EXPECT_NE(crash_log().find("panic=boom\nlocation=src/core/:9\n"), std::string::npos);
}

// A failure that nothing catches still leaves its record, with the name of
// the thread it happened on, before the program ends.
TEST_F(CrashGuard, AnUncaughtExceptionIsRecordedBeforeTheProgramEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        install_crash_hook();
        std::thread([] {
          set_thread_name("unlucky worker");
          throw std::runtime_error("nobody caught this");
        }).join();
      },
      "");
  EXPECT_NE(crash_log().find("context=panic hook\nthread=unlucky worker\npanic=nobody caught this\nlocation=unknown\n"),
            std::string::npos)
      << crash_log();
}

TEST_F(CrashGuard, FailureInAHandlerIsRecordedLoggedAndSurvived) {
  auto w = TestWindow::create(scratch_folder("crash_handler"));
  int calls = 0;
  w->notice_handler = [&] {
    guard_event(*w, [&] {
      if (++calls == 1) raise_failure("boom " + std::to_string(42));
      on_notice(*w);
    });
  };
  w->notice.wake();
  // The recovery's own notice ran the normal handler.
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(records(), 2);
  std::string log = crash_log();
  EXPECT_NE(log.find("context=panic hook\nthread=main\npanic=boom 42\nlocation=supervisor_test.cpp:"), std::string::npos);
  EXPECT_NE(log.find("context=event handler\nthread=main\npanic=boom 42\nlocation=unknown\n"), std::string::npos);
  {
    auto core = w->core.borrow();
    EXPECT_EQ(core->last_error, "GUI event panic recovered");
    EXPECT_TRUE(log_contains(*core, "GUI event recovered from a panic; details written to " + crash_log_path()));
  }
  w->sender.send(MinerLine{"#TOTAL:7"});
  w->notice.wake();
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Miner scan started: 7 warps"));
}

TEST_F(CrashGuard, FailureWhileTheStateIsBorrowedWritesThreeRecords) {
  auto w = TestWindow::create(scratch_folder("crash_borrowed"));
  bool outer = true;
  w->notice_handler = [&] {
    guard_event(*w, [&] {
      if (outer) {
        outer = false;
        auto core = w->core.borrow();
        w->sender.send(MinerLine{"x"});
        w->notice.wake();  // handled at once, nested: the drain cannot borrow
        return;
      }
      on_notice(*w);
    });
  };
  w->notice.wake();
  EXPECT_EQ(records(), 3);
  EXPECT_NE(crash_log().find("context=event handler panic recovery\nthread=main\npanic=could not borrow AppCore to log "
                             "recovered panic\nlocation=unknown\n"),
            std::string::npos);
  EXPECT_FALSE(w->core.borrow()->last_error);
  // The drain that failed half-way is over: the next notice drains again.
  w->sender.send(MinerLine{"#TOTAL:7"});
  w->notice.wake();
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Miner scan started: 7 warps"));
}

TEST_F(CrashGuard, NonTextFailureAndWorkerThreads) {
  auto w = TestWindow::create(scratch_folder("crash_worker"));
  bool thrown = false;
  w->notice_handler = [&] {
    guard_event(*w, [&] {
      if (!std::exchange(thrown, true)) throw 42;
    });
  };
  w->notice.wake();
  EXPECT_NE(crash_log().find("panic=non-string panic payload"), std::string::npos);

  testing_support::remove_tree(crash_log_path());
  spawn_worker("scan", [] { raise_failure("worker boom"); }).join();
  spawn_worker("miner-stop", [] { throw std::runtime_error("plain boom"); }).join();
  spawn_worker("", [] { raise_failure("nameless"); }).join();
  std::string log = crash_log();
  EXPECT_EQ(records(), 3);
  EXPECT_NE(log.find("thread=scan\npanic=worker boom\n"), std::string::npos);
  EXPECT_NE(log.find("thread=miner-stop\npanic=plain boom\n"), std::string::npos);
  EXPECT_NE(log.find("thread=unnamed\npanic=nameless\n"), std::string::npos);
}

}  // namespace
}  // namespace vorn
