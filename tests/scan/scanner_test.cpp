#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/build_profile.h"
#include "platform/fault_points.h"
#include "platform/paths.h"
#include "scan/scanner.h"
#include "support/test_support.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using platform::join_path;
using testing_support::scratch_folder;
using testing_support::write_file;

void make_file(const std::string& path, std::uintmax_t size = 0) {
  write_file(path, "");
  fs::resize_file(fs::u8path(path), size);  // sparse: nothing is written
}

std::vector<std::string> names_of(const FolderScan& scan) {
  std::vector<std::string> names;
  for (const PlotFile& f : scan.plot_files) names.push_back(platform::file_name(f.path));
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PlotFileNames, ExtensionRules) {
  EXPECT_TRUE(is_plot_file_name("A.VORN"));
  EXPECT_TRUE(is_plot_file_name("b.Vorn"));
  EXPECT_TRUE(is_plot_file_name("x.y.vorn"));
  EXPECT_FALSE(is_plot_file_name(".vorn"));
  EXPECT_FALSE(is_plot_file_name("c.vorn.tmp"));
  EXPECT_FALSE(is_plot_file_name("d.vornx"));
  EXPECT_FALSE(is_plot_file_name("vorn"));
  EXPECT_FALSE(is_plot_file_name(".."));
}

TEST(PlotFileNames, CompressionLabels) {
  EXPECT_EQ(compression_label("p_x1_1.vorn"), "X1");
  EXPECT_EQ(compression_label("p_X2.vorn"), "X2");
  EXPECT_EQ(compression_label("p_X12.vorn"), "X1");
  EXPECT_EQ(compression_label("p_X3.vorn"), std::nullopt);
  EXPECT_EQ(compression_label("X"), std::nullopt);
  EXPECT_EQ(compression_label("1x2"), "X2");
  EXPECT_EQ(compression_label("x1_at_the_start.vorn"), "X1");
}

TEST(ScanFolder, CountsDirectPlotFilesWithSizesAndLabels) {
  std::string dir = scratch_folder("scan_direct");
  make_file(join_path(dir, "A.VORN"), 1000);
  make_file(join_path(dir, "b.Vorn"), 24);
  make_file(join_path(dir, ".vorn"), 5);
  make_file(join_path(dir, "c.vorn.tmp"), 5);
  make_file(join_path(dir, "d.vornx"), 5);
  fs::create_directory(fs::u8path(join_path(dir, "e.vorn")));
  make_file(join_path(dir, "p_x1_1.vorn"), 1ull << 34);
  FolderScan scan = scan_folder(dir);
  EXPECT_EQ(names_of(scan), (std::vector<std::string>{"A.VORN", "b.Vorn", "p_x1_1.vorn"}));
  EXPECT_EQ(scan.report.status, FolderStatus::Normal);
  EXPECT_EQ(scan.report.file_count, 3u);
  EXPECT_EQ(scan.report.total_bytes, 1024u + (1ull << 34));
  EXPECT_TRUE(scan.report.free_bytes.has_value());
  EXPECT_EQ(scan.report.compression.kind, CompressionSummary::Kind::Single);
  EXPECT_EQ(scan.report.compression.labels, std::vector<std::string>{"X1"});
  EXPECT_TRUE(scan.warnings.empty());
  for (const PlotFile& f : scan.plot_files) EXPECT_EQ(f.path, join_path(dir, platform::file_name(f.path)));
}

TEST(ScanFolder, MixedLabelsAreSortedWithoutRepeats) {
  std::string dir = scratch_folder("scan_mixed");
  for (const char* n : {"p_X2.vorn", "p_x1_1.vorn", "p_X1_2.vorn", "p_X3.vorn"}) make_file(join_path(dir, n));
  FolderScan scan = scan_folder(dir);
  EXPECT_EQ(scan.report.compression.kind, CompressionSummary::Kind::Mixed);
  EXPECT_EQ(scan.report.compression.labels, (std::vector<std::string>{"X1", "X2"}));
}

TEST(ScanFolder, ModificationTimesComeFromTheListing) {
  std::string dir = scratch_folder("scan_times");
  make_file(join_path(dir, "new.vorn"));
  make_file(join_path(dir, "old.vorn"));
  using namespace std::chrono;
  const auto when = sys_seconds(seconds(1700000000));
  fs::last_write_time(fs::u8path(join_path(dir, "new.vorn")), file_clock::from_sys(when));
  fs::last_write_time(fs::u8path(join_path(dir, "old.vorn")), file_clock::from_sys(sys_seconds(seconds(-86400 * 400))));
  FolderScan scan = scan_folder(dir);
  ASSERT_EQ(scan.plot_files.size(), 2u);
  for (const PlotFile& f : scan.plot_files) {
    if (platform::file_name(f.path) == "new.vorn") EXPECT_EQ(f.modified_unix_secs, 1700000000u);
    else EXPECT_EQ(f.modified_unix_secs, 0u);  // before 1970
  }
}

TEST(ScanFolder, MissingPathsAndFiles) {
  std::string dir = scratch_folder("scan_missing");
  make_file(join_path(dir, "file.vorn"));
  for (const std::string& path : {join_path(dir, "file.vorn"), join_path(dir, "absent")}) {
    FolderScan scan = scan_folder(path);
    EXPECT_EQ(scan.report.status, FolderStatus::Missing);
    EXPECT_EQ(scan.report.compression.kind, CompressionSummary::Kind::NotScanned);
    EXPECT_FALSE(scan.report.free_bytes);
    EXPECT_TRUE(scan.warnings.empty());
    EXPECT_EQ(scan.report.path, path);
  }
  // The time the check took is the row's scan time: a share that is gone
  // can take seconds to say so.
  platform::arm_delay("is-directory", std::chrono::milliseconds(60));
  const FolderScan slow = scan_folder(join_path(dir, "absent"));
  platform::disarm_faults();
  EXPECT_EQ(slow.report.status, FolderStatus::Missing);
  EXPECT_GE(slow.report.scan_seconds, 0.05);
  EXPECT_LT(slow.report.scan_seconds, 10.0);
}

TEST(ScanFolder, EmptyFolderHasNoPlotsAndFreeSpace) {
  const std::string dir = scratch_folder("scan_empty");
  platform::arm_delay("folder-open", std::chrono::milliseconds(30));
  FolderScan scan = scan_folder(dir);
  platform::disarm_faults();
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);
  EXPECT_EQ(scan.report.compression.kind, CompressionSummary::Kind::Unknown);
  EXPECT_EQ(scan.report.file_count, 0u);
  EXPECT_TRUE(scan.report.free_bytes);
  EXPECT_TRUE(scan.warnings.empty());
  EXPECT_GE(scan.report.scan_seconds, 0.03) << "the time the folder took";

  // Free space that cannot be read is warned about; the folder still counts.
  make_file(join_path(dir, "a.vorn"));
  platform::arm_fault("free-space");
  scan = scan_folder(dir);
  platform::disarm_faults();
  EXPECT_EQ(scan.report.status, FolderStatus::Normal);
  EXPECT_EQ(scan.report.file_count, 1u);
  EXPECT_FALSE(scan.report.free_bytes);
  EXPECT_EQ(scan.warnings, std::vector<std::string>{"Cannot read available disk space for " + dir});
}

TEST(ScanFolder, NestedPlotFoldersAreNamedUpToThree) {
  std::string dir = scratch_folder("scan_nested");
  for (int i = 0; i < 5; ++i) {
    std::string sub = join_path(dir, "sub" + std::to_string(i));
    fs::create_directory(fs::u8path(sub));
    make_file(join_path(sub, "p.vorn"));
  }
  FolderScan scan = scan_folder(dir);
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);
  ASSERT_EQ(scan.warnings.size(), 1u);
  const std::string& w = scan.warnings[0];
  EXPECT_EQ(w.rfind("No direct .vorn files in " + dir + "; found plot files under ", 0), 0u) << w;
  std::size_t listed = 0;
  for (int i = 0; i < 5; ++i) listed += w.find(join_path(dir, "sub" + std::to_string(i))) != std::string::npos;
  EXPECT_EQ(listed, 3u);
  // The three are listed one after another, between commas.
  const std::string under = "; found plot files under ";
  const std::size_t from = w.find(under) + under.size();
  const std::string list = w.substr(from, w.find(". Add the actual") - from);
  EXPECT_EQ(list.rfind(join_path(dir, "sub"), 0), 0u) << list;
  std::size_t commas = 0;
  for (std::size_t at = list.find(", "); at != std::string::npos; at = list.find(", ", at + 1)) ++commas;
  EXPECT_EQ(commas, 2u) << list;
  EXPECT_NE(w.find(". Add the actual plot folder, for example "), std::string::npos);
  EXPECT_EQ(w.back(), '.');

  make_file(join_path(dir, "direct.vorn"));
  FolderScan with_direct = scan_folder(dir);
  EXPECT_EQ(with_direct.report.status, FolderStatus::Normal);
  EXPECT_TRUE(with_direct.warnings.empty());
}

TEST(ScanFolder, PlotFilesTwoLevelsDownAreNotLookedAt) {
  std::string dir = scratch_folder("scan_deep");
  std::string deep = join_path(join_path(dir, "a"), "b");
  fs::create_directories(fs::u8path(deep));
  make_file(join_path(deep, "p.vorn"));
  FolderScan scan = scan_folder(dir);
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);
  EXPECT_TRUE(scan.warnings.empty());
}

TEST(ScanFolder, SymbolicLinksAreSkipped) {
  std::string dir = scratch_folder("scan_links");
  make_file(join_path(dir, "real.vorn"));
  std::error_code ec;
  fs::create_directory_symlink(fs::u8path(dir), fs::u8path(join_path(dir, "loop")), ec);
  fs::create_symlink(fs::u8path(join_path(dir, "real.vorn")), fs::u8path(join_path(dir, "link.vorn")), ec);
  if (ec) GTEST_SKIP() << "symbolic links cannot be made here: " << ec.message();
  FolderScan scan = scan_folder(dir);
#ifndef _WIN32
  EXPECT_EQ(names_of(scan), std::vector<std::string>{"real.vorn"});
#endif
  EXPECT_EQ(scan.report.status, FolderStatus::Normal);
  // A link to a folder of plot files is not looked into either (the
  // listing names it a folder, as Windows does a junction): a folder with
  // no plot files of its own gets no hint that names the link.
  const std::string outer = scratch_folder("scan_links_outer");
  fs::create_directory_symlink(fs::u8path(dir), fs::u8path(join_path(outer, "linked")), ec);
  ASSERT_FALSE(ec) << ec.message();
  scan = scan_folder(outer);
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);
  EXPECT_TRUE(scan.warnings.empty()) << scan.warnings.front();
}

TEST(ScanFolder, UnreadableFoldersAndEntriesAreWarnedAbout) {
  std::string dir = scratch_folder("scan_unreadable");
  make_file(join_path(dir, "p.vorn"));
  make_file(join_path(dir, "q.vorn"));
  platform::arm_fault("folder-open");
  FolderScan scan = scan_folder(dir);
  ASSERT_EQ(scan.warnings.size(), 1u);
  EXPECT_EQ(scan.warnings[0], "Cannot read plot directory " + dir + ": injected failure at folder-open");
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);

  // An entry that cannot be read is warned about; the others still count.
  platform::arm_fault("folder-entry");
  scan = scan_folder(dir);
  ASSERT_EQ(scan.warnings.size(), 1u);
  EXPECT_EQ(scan.warnings[0], "Cannot read directory entry in " + dir + ": injected failure at folder-entry");
  EXPECT_EQ(scan.report.file_count, 1u);
  EXPECT_EQ(scan.report.status, FolderStatus::Normal);
  platform::disarm_faults();

#ifndef _WIN32
  // A subfolder whose name is not text cannot be opened by its shown name:
  // it is not taken for a plot folder.
  std::string odd = scratch_folder("scan_unreadable_sub");
  fs::create_directory(fs::path(odd) / "\xff");
  make_file((fs::path(odd) / "\xff" / "p.vorn").string());
  scan = scan_folder(odd);
  EXPECT_EQ(scan.report.status, FolderStatus::NoPlots);
  EXPECT_TRUE(scan.warnings.empty());
#endif
}

std::vector<WorkerEvent> run_job(std::vector<std::string> folders) {
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  run_scan_job(ScanJob{sender, std::move(folders), 9, {}});
  std::vector<WorkerEvent> events;
  while (auto e = receiver.try_recv()) events.push_back(std::move(*e));
  return events;
}

TEST(ScanJob, SendsItsEventsInOrder) {
  std::string a = scratch_folder("job_a"), b = scratch_folder("job_b");
  make_file(join_path(a, "1.vorn"));
  make_file(join_path(b, "2.vorn"));
  make_file(join_path(b, "3.vorn"));
  std::vector<WorkerEvent> events = run_job({a, b, join_path(a, "missing")});
  ASSERT_GE(events.size(), 10u);
  EXPECT_EQ(std::get<ScanStarted>(events[0]).folder_count, 3u);
  EXPECT_EQ(std::get<ScanProgress>(events[1]).done, 0u);
  EXPECT_EQ(std::get<FolderStarted>(events[2]).path, a);
  EXPECT_EQ(std::get<FolderScanned>(events[3]).file_count, 1u);
  const auto& last_progress = std::get<ScanProgress>(events[events.size() - 3]);
  EXPECT_EQ(last_progress.done, 3u);
  EXPECT_EQ(last_progress.total, 3u);
  EXPECT_EQ(std::get<ScanFinished>(events[events.size() - 2]).total_files, 3u);
  const auto& complete = std::get<ScanComplete>(events.back());
  EXPECT_EQ(complete.scan_id, 9u);
  EXPECT_EQ(complete.plot_files.size(), 3u);
  ASSERT_EQ(complete.reports.size(), 3u);
  EXPECT_EQ(complete.reports[2].status, FolderStatus::Missing);
  // Three quick folders: progress at the start and at the end, not after
  // each folder (a slow machine may add one between).
  std::size_t progress = 0;
  for (const WorkerEvent& e : events) progress += std::holds_alternative<ScanProgress>(e);
  EXPECT_LT(progress, 4u);
  for (const WorkerEvent& e : events) {
    std::visit([](const auto& x) {
      if constexpr (requires { x.scan_id; }) {
        EXPECT_EQ(x.scan_id, 9u);
      }
    }, e);
  }
}

TEST(ScanJob, SlowFoldersReportProgressEveryHalfSecondNotEachFolder) {
  // Each folder takes at least 150 ms to open, so half a second spans at
  // least four folders.
  std::vector<std::string> folders;
  for (int i = 0; i < 9; ++i) folders.push_back(scratch_folder("job_slow_" + std::to_string(i)));
  platform::arm_delay("folder-open", std::chrono::milliseconds(150));
  std::vector<WorkerEvent> events = run_job(folders);
  platform::disarm_faults();
  std::vector<std::uint64_t> done;
  for (const WorkerEvent& e : events) {
    if (const auto* p = std::get_if<ScanProgress>(&e)) done.push_back(p->done);
  }
  ASSERT_GE(done.size(), 3u) << "the start, at least one on the way, and the end";
  EXPECT_EQ(done.front(), 0u);
  EXPECT_EQ(done.back(), 9u);
  for (std::size_t i = 1; i + 1 < done.size(); ++i) EXPECT_GE(done[i] - done[i - 1], 4u) << "progress " << i;
}

TEST(ScanJob, AFolderWhoseStorageHangsIsReportedNotRespondingAndTheOthersAreScanned) {
  std::string dead = scratch_folder("job_dead"), good = scratch_folder("job_good");
  make_file(join_path(dead, "d.vorn"));
  make_file(join_path(good, "g.vorn"));
  platform::arm_delay("folder-open " + dead, std::chrono::milliseconds(4000));  // its storage hangs
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  const Instant start = Clock::now();
  run_scan_job(ScanJob{sender, {dead, good}, 5, {}, std::chrono::milliseconds(1000)});
  const auto took = Clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(3000)) << "the scan waited for the storage";
  std::vector<WorkerEvent> events;
  while (auto e = receiver.try_recv()) events.push_back(std::move(*e));
  ASSERT_FALSE(events.empty());
  const auto& complete = std::get<ScanComplete>(events.back());
  ASSERT_EQ(complete.reports.size(), 2u);
  EXPECT_EQ(complete.reports[0].status, FolderStatus::NotResponding);
  EXPECT_EQ(complete.reports[0].path, dead);
  EXPECT_EQ(complete.reports[1].status, FolderStatus::Normal);
  EXPECT_EQ(complete.reports[1].path, good);
  ASSERT_EQ(complete.plot_files.size(), 1u);
  EXPECT_EQ(complete.plot_files[0].path, join_path(good, "g.vorn"));
  EXPECT_EQ(complete.warnings,
            std::vector<std::string>{"Plot directory " + dead + " did not answer for 1 s; its plot files are kept as they were"});
  std::vector<std::string> scanned;
  for (const WorkerEvent& e : events) {
    if (const auto* f = std::get_if<FolderScanned>(&e)) scanned.push_back(f->path);
  }
  EXPECT_EQ(scanned, std::vector<std::string>{good}) << "no folder-finished line for the one that hangs";
  // The stuck call ends later on its own thread; what it found goes nowhere.
  // With the test's sender gone, the senders left are those of threads the
  // job started: once none is left, nothing more can arrive. (A folder's
  // thread that kept one would be waited for here, and its late result seen.)
  sender = EventSender();
  ASSERT_TRUE(testing_support::pump_until([&] { return !receiver.has_senders(); }, std::chrono::seconds(10)))
      << "a sender outlived the job";
  EXPECT_FALSE(receiver.try_recv()) << "a late result was sent";
  // The stuck call's last step into the file system asks for the free space:
  // once it has taken this fault, its thread passes no fault point again, and
  // the faults of the tests after this one are safe from it.
  platform::arm_fault("free-space");
  EXPECT_TRUE(testing_support::pump_until([] { return !platform::fault_armed("free-space"); }, std::chrono::seconds(10)))
      << "the stuck call did not end";
  platform::disarm_faults();
}

TEST(ScanJob, EmptyFolderListStillReports) {
  std::vector<WorkerEvent> events = run_job({});
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(std::get<ScanStarted>(events[0]).folder_count, 0u);
  EXPECT_EQ(std::get<ScanProgress>(events[1]).total, 0u);
  EXPECT_EQ(std::get<ScanFinished>(events[2]).total_files, 0u);
  EXPECT_TRUE(std::get<ScanComplete>(events[3]).reports.empty());
}

TEST(ScanJob, AFolderDeletedWhileTheJobRunsIsReportedMissing) {
  std::string big = scratch_folder("job_big"), doomed = scratch_folder("job_doomed");
  for (int i = 0; i < 5000; ++i) make_file(join_path(big, "p" + std::to_string(i) + ".vorn"));
  make_file(join_path(doomed, "q.vorn"));
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  std::thread job(run_scan_job, ScanJob{sender, {big, doomed}, 3, {}});
  // Once the first folder is being scanned, the second one disappears.
  std::vector<WorkerEvent> events;
  bool deleted = false;
  while (events.empty() || !std::holds_alternative<ScanComplete>(events.back())) {
    std::optional<WorkerEvent> e = receiver.try_recv();
    if (!e) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no spinning beside the job
      continue;
    }
    if (!deleted && std::holds_alternative<FolderStarted>(*e) && std::get<FolderStarted>(*e).path == big) {
      testing_support::remove_tree(doomed);
      deleted = true;
    }
    events.push_back(std::move(*e));
  }
  job.join();
  const auto& complete = std::get<ScanComplete>(events.back());
  ASSERT_EQ(complete.reports.size(), 2u);
  EXPECT_EQ(complete.reports[0].file_count, 5000u);
  EXPECT_EQ(complete.reports[1].status, FolderStatus::Missing);
  EXPECT_EQ(complete.plot_files.size(), 5000u);
}

}  // namespace
}  // namespace vorn
