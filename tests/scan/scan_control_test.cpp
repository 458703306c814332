#include <gtest/gtest.h>

#include <filesystem>

#include "core/build_profile.h"
#include "core/supervisor.h"
#include "platform/paths.h"
#include "scan/scan_control.h"
#include "ui/display.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::log_contains;
using testing_support::make_core;
using testing_support::pump_until;
using testing_support::scratch_folder;
using testing_support::TestWindow;
using testing_support::lines_starting;
using testing_support::untagged_log;

ScanComplete complete_for(const AppCore& core, std::vector<PlotFile> files) {
  ScanComplete c{core.current_scan_id, core.settings.plot_dirs, std::move(files), {}, {}, std::nullopt};
  for (const std::string& dir : core.settings.plot_dirs) {
    FolderReport r;
    r.path = dir;
    r.status = FolderStatus::Normal;
    r.file_count = c.plot_files.size();
    c.reports.push_back(r);
  }
  return c;
}

std::vector<PlotFile> files(int n, std::uint64_t size = 100, std::uint64_t time = 1000) {
  std::vector<PlotFile> out;
  for (int i = 0; i < n; ++i) out.push_back(PlotFile{"D:\\plots\\p" + std::to_string(i) + ".vorn", size, time});
  return out;
}

// A core that pretends a scan job is running, without starting a thread.
AppCore scanning_core(const std::string& name) {
  AppCore core = make_core(scratch_folder(name));
  core.settings.plot_dirs = {"D:\\plots"};
  core.scan_running = true;
  core.current_scan_id = 1;
  core.next_scan_id = 2;
  core.auto_start_done = true;
  return core;
}

void apply_all(AppCore& core) {
  while (core.pending_scan_results) apply_step(core);
}

// Another scan with the given id finds `found`, and its results are applied.
void rescan(AppCore& core, std::uint64_t id, std::vector<PlotFile> found) {
  core.scan_running = true;
  core.current_scan_id = id;
  accept_scan_results(core, complete_for(core, std::move(found)));
  apply_all(core);
}

TEST(ScanApply, AppliesFiftyFilesPerStep) {
  AppCore core = scanning_core("apply_batches");
  core.status_dirty = core.controls_dirty = false;
  accept_scan_results(core, complete_for(core, files(120, 1ull << 30)));
  EXPECT_EQ(core.scan_status_text, "Applying scan results... 0/120");
  EXPECT_TRUE(core.status_dirty && core.controls_dirty);
  EXPECT_TRUE(log_contains(core, "scan apply started: scan_id=1, total=120"));
  EXPECT_TRUE(lines_starting(core, "scan produced").empty()) << "no warnings, no warning line";
  EXPECT_FALSE(core.scan_running);
  std::vector<std::string> statuses;
  while (core.pending_scan_results) {
    core.status_dirty = false;
    apply_step(core);
    statuses.push_back(core.scan_status_text);
    EXPECT_TRUE(core.status_dirty) << "the window shows " << statuses.back();
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"Applying scan results... 50/120", "Applying scan results... 100/120", "Waiting"}));
  // Quick steps: progress is logged at the end only.
  EXPECT_EQ(lines_starting(core, "scan apply progress: "),
            std::vector<std::string>{"scan apply progress: scan_id=1, applied=120, total=120"});
  EXPECT_EQ(core.plot_index.size(), 120u);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 120 direct .vorn files, 120GB, 120 new candidate(s), 0 changed "
                                 "candidate(s), 0 deleted, 0 stable new/changed"));
  EXPECT_TRUE(log_contains(core, "Plot changes detected; waiting for two unchanged scans before safe restart"));
  EXPECT_EQ(lines_starting(core, "scan apply finished: scan_id=1, total=120, elapsed_ms=").size(), 1u);
}

TEST(ScanApply, AStepEndsWithTheFileThatUsesUpItsTimeBudget) {
  AppCore core = scanning_core("apply_budget");
  // Millions of path components take far longer to index than a step may
  // run, so the first file uses up the step's budget.
  std::string deep = "D:\\plots";
  for (int i = 0; i < 2'000'000; ++i) deep += "\\d";
  accept_scan_results(core, complete_for(core, {PlotFile{deep + "\\a.vorn", 1, 1}, PlotFile{deep + "\\b.vorn", 1, 1}}));
  apply_step(core);
  EXPECT_EQ(core.scan_status_text, "Applying scan results... 1/2");
  apply_step(core);
  EXPECT_EQ(core.scan_status_text, "Waiting");
  EXPECT_EQ(core.plot_index.size(), 2u);
}

TEST(ScanApply, EmptyScanOfNoFolders) {
  AppCore core = scanning_core("apply_empty");
  core.settings.plot_dirs.clear();
  core.folder_reports["E:\\removed"].total_bytes = 1ull << 40;  // from a folder no longer listed
  accept_scan_results(core, complete_for(core, {}));
  core.list_dirty = core.status_dirty = core.controls_dirty = false;
  apply_step(core);
  EXPECT_TRUE(log_contains(core, "scan apply progress: scan_id=1, applied=0, total=0"));
  EXPECT_TRUE(log_contains(core, "Rescan complete: no plot changes (0 direct .vorn files, 0GB)"));
  EXPECT_TRUE(core.folder_reports.empty()) << "the reports are the last scan's only";
  EXPECT_TRUE(core.list_dirty && core.status_dirty && core.controls_dirty) << "the window shows the result";
}

TEST(ScanApply, NewThenStableThenUnchanged) {
  AppCore core = scanning_core("apply_stability");
  accept_scan_results(core, complete_for(core, files(3)));
  apply_all(core);
  EXPECT_FALSE(core.restart_pending);

  rescan(core, 2, files(3));
  EXPECT_TRUE(log_contains(core, "Rescan complete: 3 direct .vorn files, 0GB, 0 new candidate(s), 0 changed "
                                 "candidate(s), 0 deleted, 3 stable new/changed"));
  EXPECT_TRUE(core.restart_pending);
  EXPECT_TRUE(core.config_refresh_in_progress);  // the refresh for stable changes started
  EXPECT_TRUE(log_contains(core, "Refreshing miner config: " + exe_relative("miner_config.mainnet.gui.yaml")));

  rescan(core, 3, files(3));
  EXPECT_TRUE(log_contains(core, "Rescan complete: no plot changes (3 direct .vorn files, 0GB)"));
}

TEST(ScanApply, GrowthAndDeletion) {
  AppCore core = scanning_core("apply_growth");
  accept_scan_results(core, complete_for(core, files(3)));
  apply_all(core);
  std::vector<PlotFile> grown = files(3);
  grown[0].size_bytes = 200;
  rescan(core, 2, grown);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 3 direct .vorn files, 0GB, 0 new candidate(s), 1 changed "
                                 "candidate(s), 0 deleted, 2 stable new/changed"));
  core.config_refresh_in_progress = false;

  rescan(core, 3, {grown[0]});
  EXPECT_TRUE(log_contains(core, "Rescan complete: 1 direct .vorn files, 0GB, 0 new candidate(s), 0 changed "
                                 "candidate(s), 2 deleted, 1 stable new/changed"));
}

TEST(ScanApply, AFolderThatDidNotAnswerKeepsItsPlotsAndItsLastNumbers) {
  AppCore core = scanning_core("apply_not_responding");
  core.settings.plot_dirs = {"D:\\plots", "E:\\more"};
  std::vector<PlotFile> found = files(3, 1ull << 30);
  found.push_back(PlotFile{"E:\\more\\m.vorn", 1ull << 30, 1000});
  ScanComplete first = complete_for(core, found);
  first.reports[0].file_count = 3;
  first.reports[0].total_bytes = 3ull << 30;
  first.reports[0].free_bytes = 5ull << 30;
  first.reports[1].total_bytes = 1ull << 30;
  accept_scan_results(core, std::move(first));
  apply_all(core);
  ASSERT_EQ(core.plot_index.size(), 4u);
  // D: hangs: the scan reports it without files.
  core.scan_running = true;
  core.current_scan_id = 2;
  ScanComplete second = complete_for(core, {found[3]});
  second.reports[0] = FolderReport{"D:\\plots", FolderStatus::NotResponding, 0, 0, std::nullopt, {}, 60.0};
  second.reports[1].total_bytes = 1ull << 30;
  accept_scan_results(core, std::move(second));
  apply_all(core);
  EXPECT_EQ(core.plot_index.size(), 4u) << "its plots are not deleted";
  EXPECT_TRUE(core.plot_index.find("D:\\plots\\p0.vorn"));
  EXPECT_TRUE(lines_starting(core, "Plot deletion detected").empty());
  EXPECT_EQ(lines_starting(core, "Rescan complete: ").back().find("0 deleted") != std::string::npos, true)
      << lines_starting(core, "Rescan complete: ").back();
  const std::vector<PlotRow> rows = build_plot_rows(core);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (PlotRow{"D:\\plots", "3GB", "5GB", "3", "60.00s", "-", "not responding"}));
  EXPECT_EQ(total_capacity_text(core), "4GB") << "the capacity it had still counts";
  // Once it answers again, it is scanned as usual.
  rescan(core, 3, found);
  EXPECT_EQ(build_plot_rows(core)[0][6], "normal");
  EXPECT_TRUE(lines_starting(core, "Plot deletion detected").empty());
}

TEST(ScanApply, ANewTimeAloneIsAChangeAndARenameIsOneNewAndOneDeleted) {
  AppCore core = scanning_core("apply_time_and_rename");
  accept_scan_results(core, complete_for(core, files(3)));
  apply_all(core);
  std::vector<PlotFile> touched = files(3);
  touched[1].modified_unix_secs += 1;  // same size, new time
  rescan(core, 2, touched);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 3 direct .vorn files, 0GB, 0 new candidate(s), 1 changed "
                                 "candidate(s), 0 deleted, 2 stable new/changed"));
  core.config_refresh_in_progress = false;

  std::vector<PlotFile> renamed = touched;
  renamed[2].path += ".moved.vorn";
  rescan(core, 3, renamed);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 3 direct .vorn files, 0GB, 1 new candidate(s), 0 changed "
                                 "candidate(s), 1 deleted, 1 stable new/changed"));
}

TEST(ScanApply, OneFileIsEnoughForEachOutcome) {
  const std::string waiting = "Plot changes detected; waiting for two unchanged scans before safe restart";
  const std::string deletion = "Plot deletion detected; no safe restart is scheduled";
  AppCore core = scanning_core("apply_one");
  accept_scan_results(core, complete_for(core, files(1)));
  apply_all(core);
  EXPECT_EQ(lines_starting(core, waiting).size(), 1u) << "one new file";
  rescan(core, 2, files(1));
  EXPECT_TRUE(core.restart_pending) << "one stable file";
  core.config_refresh_in_progress = core.restart_pending = false;
  rescan(core, 3, files(1));
  EXPECT_EQ(lines_starting(core, waiting).size(), 1u) << "nothing changed";
  EXPECT_TRUE(lines_starting(core, deletion).empty());
  std::vector<PlotFile> touched = files(1);
  touched[0].modified_unix_secs += 1;
  rescan(core, 4, touched);
  EXPECT_EQ(lines_starting(core, waiting).size(), 2u) << "one changed file";
  rescan(core, 5, {});
  EXPECT_EQ(lines_starting(core, deletion).size(), 1u) << "one deleted file";
  EXPECT_FALSE(core.restart_pending);
}

TEST(ScanApply, OnlyDeletionsScheduleNothing) {
  AppCore core = scanning_core("apply_deleted");
  accept_scan_results(core, complete_for(core, files(2)));
  apply_all(core);
  core.plot_index.find("D:\\plots\\p0.vorn")->stable = true;
  core.plot_index.find("D:\\plots\\p1.vorn")->stable = true;
  rescan(core, 2, {});
  EXPECT_TRUE(log_contains(core, "Plot deletion detected; no safe restart is scheduled"));
  EXPECT_FALSE(core.config_refresh_in_progress);
}

TEST(ScanApply, PathsCompareComponentByComponent) {
  AppCore core = scanning_core("apply_paths");
  accept_scan_results(core, complete_for(core, files(1)));
  apply_all(core);
  std::vector<PlotFile> same = files(1);
  same[0].path = "D:/plots//p0.vorn";
  rescan(core, 2, same);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 1 direct .vorn files, 0GB, 0 new candidate(s), 0 changed "
                                 "candidate(s), 0 deleted, 1 stable new/changed"));
}

TEST(ScanApply, ShowsTheFirstFiveWarnings) {
  AppCore core = scanning_core("apply_warnings");
  ScanComplete c = complete_for(core, {});
  for (int i = 1; i <= 7; ++i) c.warnings.push_back("warning " + std::to_string(i));
  accept_scan_results(core, std::move(c));
  std::vector<std::string> log = untagged_log(core);
  auto at = std::find(log.begin(), log.end(), "scan produced 7 warning(s); showing first 5");
  AppCore one = scanning_core("apply_one_warning");
  ScanComplete single = complete_for(one, {});
  single.warnings.push_back("the only warning");
  accept_scan_results(one, std::move(single));
  EXPECT_TRUE(log_contains(one, "scan produced 1 warning(s); showing first 1"));
  EXPECT_TRUE(log_contains(one, "the only warning"));
  ASSERT_NE(at, log.end());
  EXPECT_EQ(std::vector<std::string>(at + 1, log.end()),
            (std::vector<std::string>{"warning 1", "warning 2", "warning 3", "warning 4", "warning 5"}));
}

TEST(ScanApply, StaleResultsAreIgnored) {
  AppCore core = scanning_core("apply_stale");
  ScanComplete old = complete_for(core, files(1));
  old.scan_id = 0;
  accept_scan_results(core, std::move(old));
  EXPECT_TRUE(log_contains(core, "scan result ignored: stale scan_id=0, current_scan_id=1"));
  EXPECT_TRUE(core.scan_running);

  ScanComplete other_folders = complete_for(core, files(1));
  other_folders.folders = {"E:\\other"};
  accept_scan_results(core, std::move(other_folders));
  EXPECT_TRUE(log_contains(core, "scan result ignored: stale scan_id=1, folder list changed"));
  EXPECT_FALSE(core.scan_running);
  EXPECT_EQ(core.scan_status_text, "Waiting");

  core.scan_running = true;
  accept_scan_results(core, complete_for(core, files(60)));
  apply_step(core);
  core.settings.plot_dirs.push_back("E:\\gone again");
  core.status_dirty = core.controls_dirty = false;
  apply_step(core);
  EXPECT_EQ(core.scan_status_text, "Waiting");
  EXPECT_TRUE(core.status_dirty && core.controls_dirty) << "the window shows Waiting";
  EXPECT_FALSE(core.scan_running);
  core.settings.plot_dirs.pop_back();

  core.scan_running = true;
  accept_scan_results(core, complete_for(core, files(60)));
  apply_step(core);
  core.settings.plot_dirs.push_back("E:\\new");
  request_scan(core);  // the new folder asks for a scan, which waits for this apply
  EXPECT_TRUE(core.scan_queued);
  core.list_dirty = core.status_dirty = core.controls_dirty = false;
  apply_step(core);
  EXPECT_TRUE(log_contains(core, "scan result ignored: stale scan_id=1, folder list changed before apply finished"));
  EXPECT_TRUE(core.plot_index.empty());
  EXPECT_FALSE(core.pending_scan_results);
  EXPECT_TRUE(core.list_dirty && core.status_dirty && core.controls_dirty) << "the window shows the end of the apply";
  // The queued scan starts at once, for the new folder list.
  EXPECT_TRUE(core.scan_running);
  EXPECT_FALSE(core.scan_queued);
  EXPECT_EQ(core.current_scan_id, 2u);
  EXPECT_EQ(core.scan_status_text, "Scanning plot folders");
}

TEST(ScanApply, AFailedOrStaleScanEndsShowingWaiting) {
  // Whether the scan failed or its folders are no longer the list, the
  // window stops showing a scan at once.
  for (bool failed : {true, false}) {
    AppCore core = scanning_core(failed ? "apply_end_failed" : "apply_end_stale");
    core.scan_status_text = "Scanning plot folders";
    core.list_dirty = core.status_dirty = core.controls_dirty = false;
    ScanComplete c = complete_for(core, files(1));
    if (failed) {
      c.failure = "disk gone";
    } else {
      c.folders = {"E:\\other"};
    }
    accept_scan_results(core, std::move(c));
    EXPECT_EQ(core.scan_status_text, "Waiting") << failed;
    EXPECT_FALSE(core.scan_running) << failed;
    EXPECT_TRUE(core.list_dirty && core.status_dirty && core.controls_dirty) << failed;
  }
  // A scan asked for meanwhile starts at once, for the new list.
  AppCore core = scanning_core("apply_end_queued");
  core.scan_queued = true;
  ScanComplete c = complete_for(core, files(1));
  c.folders = {"E:\\other"};
  accept_scan_results(core, std::move(c));
  EXPECT_TRUE(core.scan_running);
  EXPECT_FALSE(core.scan_queued);
  EXPECT_EQ(core.current_scan_id, 2u);
}

TEST(ScanApply, ResultsOfAnOlderScanAreDroppedHalfWay) {
  AppCore core = scanning_core("apply_older");
  accept_scan_results(core, complete_for(core, files(120)));
  apply_step(core);
  core.current_scan_id = 5;  // a newer scan started meanwhile
  core.status_dirty = core.controls_dirty = false;
  apply_step(core);
  EXPECT_FALSE(core.pending_scan_results);
  EXPECT_TRUE(core.plot_index.empty());
  EXPECT_EQ(core.scan_status_text, "Waiting");
  EXPECT_TRUE(core.status_dirty && core.controls_dirty);
  EXPECT_TRUE(log_contains(core, "scan result ignored: stale scan_id=1, current_scan_id=5"));
}

TEST(ScanApply, DuplicateFolderCountsBothButIndexesOnce) {
  AppCore core = scanning_core("apply_duplicate");
  core.settings.plot_dirs = {"D:\\plots", "D:\\plots\\"};
  std::vector<PlotFile> twice = files(2);
  const std::vector<PlotFile> again = twice;
  twice.insert(twice.end(), again.begin(), again.end());
  accept_scan_results(core, complete_for(core, twice));
  apply_all(core);
  EXPECT_EQ(core.plot_index.size(), 2u);
  EXPECT_EQ(core.folder_reports.size(), 1u);
  EXPECT_TRUE(log_contains(core, "Rescan complete: 4 direct .vorn files, 0GB, 4 new candidate(s), 0 changed "
                                 "candidate(s), 0 deleted, 0 stable new/changed"));
}

TEST(ScanScheduling, QueuesOneRequestWhileBusy) {
  AppCore core = scanning_core("queue");
  core.status_dirty = core.controls_dirty = false;
  request_scan(core);
  EXPECT_TRUE(core.status_dirty && core.controls_dirty) << "the window shows the queued scan";
  request_scan(core);
  request_scan(core);
  EXPECT_EQ(lines_starting(core, "Plot rescan already busy; another scan is queued").size(), 1u);
  EXPECT_TRUE(core.scan_queued);
  EXPECT_EQ(core.scan_status_text, "Scanning plot folders (next scan queued)");
  accept_scan_results(core, complete_for(core, files(1)));
  request_scan(core);
  EXPECT_EQ(core.scan_status_text, "Applying scan results... next scan queued");
  apply_all(core);
  // The queued request started a real job with the next id.
  EXPECT_TRUE(core.scan_running);
  EXPECT_FALSE(core.scan_queued);
  EXPECT_EQ(core.current_scan_id, 2u);
  EXPECT_EQ(core.next_scan_id, 3u);
}

TEST(ScanScheduling, IdsSaturate) {
  AppCore core = make_core(scratch_folder("ids"));
  core.next_scan_id = UINT64_MAX;
  request_scan(core);
  EXPECT_EQ(core.current_scan_id, UINT64_MAX);
  EXPECT_EQ(core.next_scan_id, UINT64_MAX);
}

TEST(ScanApply, ProgressIsLoggedOncePerSecondAndAtTheEnd) {
  AppCore core = scanning_core("apply_progress");
  accept_scan_results(core, complete_for(core, files(250)));
  const auto progress = [&] { return lines_starting(core, "scan apply progress: "); };
  // The results keep the time of the last progress line (at first, of the
  // start): moving it back stands for the time gone by, so no step waits on
  // the clock. A step of 50 files takes far less than the 100 ms margin.
  const auto last_logged_ago = [&](std::chrono::milliseconds ago) {
    core.pending_scan_results->progress_logged_at = Clock::now() - ago;
  };
  apply_step(core);  // 50, at once after the start: not logged
  EXPECT_EQ(progress().size(), 0u);
  last_logged_ago(std::chrono::milliseconds(900));
  apply_step(core);  // 100, short of a second after the start: not logged
  EXPECT_EQ(progress().size(), 0u);
  last_logged_ago(std::chrono::milliseconds(1000));
  apply_step(core);  // 150, a second after the start: logged
  EXPECT_EQ(progress().size(), 1u);
  apply_step(core);  // 200, at once after that line: not logged
  apply_step(core);  // 250, the end: logged at once
  EXPECT_FALSE(core.pending_scan_results);
  EXPECT_EQ(progress(), (std::vector<std::string>{"scan apply progress: scan_id=1, applied=150, total=250",
                                                  "scan apply progress: scan_id=1, applied=250, total=250"}));
}

TEST(ScanScheduling, PeriodicRescanCountsFromTheLastStart) {
  AppCore core = scanning_core("periodic");
  core.scan_running = false;
  core.settings.plot_rescan_interval_secs = 30;  // counts as 60
  const Instant now = Clock::now();
  core.last_scan_started_at = now;
  check_periodic_rescan(core, now - std::chrono::seconds(1));  // a time taken before that start
  EXPECT_FALSE(core.scan_running);
  core.last_scan_started_at = now - std::chrono::seconds(59);
  check_periodic_rescan(core, now);
  EXPECT_FALSE(core.scan_running);
  core.last_scan_started_at = now - std::chrono::seconds(60);
  core.settings.auto_detect_new_plots = false;
  check_periodic_rescan(core, now);
  EXPECT_FALSE(core.scan_running);
  core.settings.auto_detect_new_plots = true;
  check_periodic_rescan(core, now);
  EXPECT_TRUE(core.scan_running);
  EXPECT_EQ(core.current_scan_id, 2u);
  EXPECT_GE(core.last_scan_started_at, now) << "the next one counts from this start";
}

TEST(ScanScheduling, ProgressEventsOfTheCurrentScanOnly) {
  AppCore core = scanning_core("progress");
  handle_scan_progress_event(core, ScanStarted{1, 2});
  handle_scan_progress_event(core, FolderStarted{1, "D:\\plots"});
  handle_scan_progress_event(core, FolderScanned{1, "D:\\plots", 4, 12});
  core.status_dirty = false;
  handle_scan_progress_event(core, ScanProgress{1, 1, 2});
  EXPECT_EQ(core.scan_status_text, "Scanning plot folders 1/2");
  EXPECT_TRUE(core.status_dirty);
  handle_scan_progress_event(core, ScanFinished{1, 30, 4});
  handle_scan_progress_event(core, ScanStarted{0, 5});
  handle_scan_progress_event(core, ScanProgress{0, 5, 5});
  EXPECT_EQ(untagged_log(core), (std::vector<std::string>{
                                    "scan started: scan_id=1, folders=2",
                                    "scan folder started: scan_id=1, folder=D:\\plots",
                                    "scan folder finished: scan_id=1, folder=D:\\plots, files=4, elapsed_ms=12",
                                    "scan finished: scan_id=1, total=4, elapsed_ms=30"}));
  EXPECT_EQ(core.scan_status_text, "Scanning plot folders 1/2");
  handle_scan_progress_event(core, ScanProgress{1, 0, 0});
  EXPECT_EQ(core.scan_status_text, "Scanning plot folders");
}

TEST(ScanEndToEnd, StartUpScanIsAppliedThroughHeartbeats) {
  std::string dir = scratch_folder("e2e_plots");
  testing_support::write_file(platform::join_path(dir, "a.vorn"), "xx");
  auto w = TestWindow::create(scratch_folder("e2e"));
  {
    auto core = w->core.borrow();
    core->settings.plot_dirs = {dir};
    request_scan(*core);
    EXPECT_EQ(core->current_scan_id, 1u);
    EXPECT_STREQ(phase(*core), "scanning");
  }
  // The job's results come with its notices, and wait for a heartbeat.
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->pending_scan_results.has_value(); }));
  EXPECT_TRUE(w->core.borrow()->folder_reports.empty()) << "applied without a heartbeat";
  // One heartbeat, queued as the heartbeat thread queues it, applies the one file.
  const Instant beat_before = w->core.borrow()->last_heartbeat_at;
  ASSERT_TRUE(w->sender.send(Heartbeat{}));
  ASSERT_TRUE(w->notice.post());
  ASSERT_TRUE(pump_until([&] { return w->core.borrow()->last_heartbeat_at != beat_before; }));
  auto core = w->core.borrow();
  EXPECT_EQ(core->folder_reports.size(), 1u);
  EXPECT_STREQ(phase(*core), "idle");
  EXPECT_TRUE(log_contains(*core, "scan started: scan_id=1, folders=1"));
  EXPECT_TRUE(log_contains(*core, "Rescan complete: 1 direct .vorn files, 0GB, 1 new candidate(s), 0 changed "
                                  "candidate(s), 0 deleted, 0 stable new/changed"));
  EXPECT_TRUE(log_contains(*core, "Auto start skipped: vorn_miner.exe was not found") ||
              log_contains(*core, "Auto start conditions met; starting miner once"));
}

}  // namespace
}  // namespace vorn
