#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "core/activity_log_file.h"
#include "core/app_core.h"
#include "core/crash_guard.h"
#include "core/supervisor.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::read_file;
using testing_support::scratch_folder;
using testing_support::write_file;

class LogFile : public ::testing::Test {
 protected:
  std::string folder = scratch_folder("log_file");
  std::string path = platform::join_path(folder, std::string(kActivityLogFile));
  Channel<WorkerEvent>::Sender sender;
  Channel<WorkerEvent>::Receiver receiver;
  void SetUp() override {
    auto [s, r] = Channel<WorkerEvent>::create();
    sender = s;
    receiver = std::move(r);
  }
  std::unique_ptr<ActivityLogFile> open(LogFileLimits limits = {}) {
    return std::make_unique<ActivityLogFile>(path, sender, platform::gui::NoticeTarget{}, limits);
  }
  std::vector<std::string> failures() {
    std::vector<std::string> found;
    while (std::optional<WorkerEvent> e = receiver.try_recv()) {
      if (auto* f = std::get_if<LogFileFailed>(&*e)) found.push_back(f->error);
    }
    return found;
  }
  // The file's lines, each checked to end in this system's line end.
  static std::vector<std::string> lines_of(const std::string& text) {
    const std::string_view end_of_line = platform::text_line_end();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(end_of_line, start)) != std::string::npos; start = end + end_of_line.size()) {
      lines.push_back(text.substr(start, end - start));
      EXPECT_EQ(lines.back().find('\n'), std::string::npos) << "a line end other than " << (end_of_line.size() == 2 ? "CR LF" : "LF");
    }
    EXPECT_EQ(start, text.size()) << "the file ends inside a line";
    return lines;
  }
  // The lines of a file without their time stamps.
  static std::vector<std::string> texts_of(const std::string& name) {
    std::vector<std::string> texts;
    for (const std::string& line : lines_of(read_file(name))) texts.push_back(line.substr(20));
    return texts;
  }
  std::vector<LogFileFailed> reports() {
    std::vector<LogFileFailed> found;
    while (std::optional<WorkerEvent> e = receiver.try_recv()) {
      if (auto* f = std::get_if<LogFileFailed>(&*e)) found.push_back(*f);
    }
    return found;
  }
};

TEST_F(LogFile, EveryLineOfTheWindowsLogArrivesInOrderWithItsLocalTime) {
  AppCore core = testing_support::make_core(folder);
  core.log_file = open();
  write_file(path, "2026-12-06 23:59:59 [gui:mainnet] from the day before" + std::string(platform::text_line_end()));
  log_line(core, "first");
  raw_log_line(core, "[miner] second, as the miner wrote it");
  clear_log(core);  // the window's log only
  log_line(core, "third");
  core.log_file.reset();  // written out before it goes
  const std::vector<std::string> lines = lines_of(read_file(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "2026-12-06 23:59:59 [gui:mainnet] from the day before");
#ifdef _WIN32
  EXPECT_NE(read_file(path).find("[gui:mainnet] first\r\n"), std::string::npos) << "Notepad needs CR LF";
#endif
  const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
  const char* expected[] = {"[gui:mainnet] first", "[miner] second, as the miner wrote it", "[gui:mainnet] third"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_GE(lines[i + 1].size(), 20u);
    EXPECT_TRUE(std::regex_match(lines[i + 1].substr(0, 20), stamp)) << lines[i + 1];
    EXPECT_EQ(lines[i + 1].substr(20), expected[i]);
  }
  EXPECT_TRUE(failures().empty());
}

TEST_F(LogFile, PastTheLimitItRotatesKeepingThreeOldFiles) {
  const std::size_t line_bytes = 51 + platform::text_line_end().size();
  LogFileLimits limits;
  limits.rotate_bytes = 20 * line_bytes;
  // Numbering starts at 1: a ".0" file is somebody else's and stays.
  write_file(path + ".0", "not one of ours\n");
  auto file = open(limits);
  // 100 lines of 51 bytes and a line end, in writes of about ten lines: 20 fill a file.
  for (int i = 0; i < 100; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "line %03d ......................", i);
    file->append(line);
    if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(20));  // several writes
  }
  file.reset();
  std::vector<std::string> kept;
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) {
    ASSERT_TRUE(platform::path_exists(name)) << name;
    const std::string text = read_file(name);
    EXPECT_LE(text.size(), limits.rotate_bytes) << name;
    for (const std::string& line : lines_of(text)) kept.push_back(line.substr(20));
  }
  EXPECT_FALSE(platform::path_exists(path + ".4"));
  EXPECT_EQ(read_file(path + ".0"), "not one of ours\n");
  // The newest lines, in order, with none lost inside the kept files.
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back(), "line 099 ......................");
  for (std::size_t i = 1; i < kept.size(); ++i) {
    EXPECT_EQ(std::stoi(kept[i].substr(5, 3)), std::stoi(kept[i - 1].substr(5, 3)) + 1) << kept[i];
  }
  EXPECT_EQ(kept.size(), 80u);  // four files filled to the byte; the first one was dropped
  // A line longer than the limit goes whole into a file of its own.
  file = open(limits);
  file->append(std::string(2000, 'x'));
  file->append("after the long line");
  file.reset();
  EXPECT_EQ(lines_of(read_file(path + ".1")).back().size(), 20u + 2000u);
  EXPECT_EQ(lines_of(read_file(path)).size(), 1u);
  EXPECT_EQ(lines_of(read_file(path + ".2")).size(), 20u);
  // Lines that come in one go are split over the files the same way.
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) platform::remove_file(name);
  limits.rotate_bytes = 2 * line_bytes;
  file = open(limits);
  for (int i = 0; i < 61; ++i) file->append("line " + std::to_string(1000 + i) + " .....................");
  file.reset();
  for (const std::string& name : {path + ".3", path + ".2", path + ".1"}) EXPECT_EQ(lines_of(read_file(name)).size(), 2u);
  EXPECT_EQ(lines_of(read_file(path)).size(), 1u);
  // Also as the first line of a new file.
  for (const std::string& name : {path + ".3", path + ".2", path + ".1", path}) platform::remove_file(name);
  file = open(limits);
  file->append(std::string(2000, 'y'));
  file.reset();
  EXPECT_EQ(lines_of(read_file(path)).size(), 1u);
  EXPECT_FALSE(platform::path_exists(path + ".1"));
  EXPECT_TRUE(failures().empty());
}

TEST_F(LogFile, AFileThatCannotBeWrittenIsReportedOnceAndTriedAgainAfterThePause) {
  const std::string blocked = platform::join_path(folder, "blocked");
  write_file(blocked, "a file where the log's folder should be");
  path = platform::join_path(blocked, std::string(kActivityLogFile));
  LogFileLimits limits;
  limits.retry_after = std::chrono::milliseconds(1500);
  auto file = open(limits);
  auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
  std::vector<std::string> reported;
  auto wait_for_report = [&] {
    for (int i = 0; i < 100 && reported.empty(); ++i) {
      settle();
      reported = failures();
    }
  };
  file->append("lost 0");
  wait_for_report();
  for (int i = 1; i < 3; ++i) {
    file->append("lost " + std::to_string(i));
    settle();
  }
  const std::vector<std::string> more = failures();
  reported.insert(reported.end(), more.begin(), more.end());
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_NE(reported[0].find("(os error "), std::string::npos) << reported[0];
  // The folder appears; lines within the pause are still dropped, later
  // ones are written.
  platform::remove_file(blocked);
  ASSERT_FALSE(platform::create_directories(blocked));
  file->append("within the pause");
  settle();
  EXPECT_FALSE(platform::path_exists(path));
  std::this_thread::sleep_for(limits.retry_after);
  file->append("kept");
  settle();
  // The file says how many lines it misses: the four that were dropped.
  EXPECT_EQ(texts_of(path), (std::vector<std::string>{
                                "[gui:mainnet] 4 log line(s) missing here: the file could not be written", "kept"}));
  // A later failure is reported again.
  testing_support::remove_tree(blocked);
  write_file(blocked, "blocked again");
  file->append("lost again");
  reported.clear();
  wait_for_report();
  EXPECT_EQ(reported.size(), 1u);
  file.reset();
  platform::remove_file(blocked);
}

TEST_F(LogFile, WhileTheDiskStallsOnlyTheNewestLinesWait) {
#ifdef _WIN32
  GTEST_SKIP() << "a named pipe stands in for the stalled disk on POSIX only";
#else
  // Opening a named pipe for writing blocks until somebody reads it: the
  // writer thread stalls as on a hung disk.
  ASSERT_EQ(std::system(("mkfifo '" + path + "'").c_str()), 0);
  const std::size_t line_bytes = 20 + 34 + platform::text_line_end().size();
  LogFileLimits limits;
  limits.queued_bytes = 18 * line_bytes;  // exactly 18 lines
  auto file = open(limits);
  file->append("first");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the writer holds it, stalled
  for (int i = 0; i < 200; ++i) file->append("line " + std::to_string(1000 + i) + " ........................");
  // Reading lets the stalled writes through, one opening of the pipe each.
  std::vector<std::string> lines;
  while (lines.empty() || lines.back().find("line 1199") == std::string::npos) {
    std::ifstream pipe(path, std::ios::binary);
    for (std::string line; std::getline(pipe, line);) lines.push_back(line.substr(20));
  }
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), "first");
  // The newest lines that fit in the queue's bound (18 of them, which fill
  // it exactly), after a line that says how many were dropped.
  ASSERT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines[1], "[gui:mainnet] 182 log line(s) missing here: the disk did not keep up");
  EXPECT_EQ(lines[2], "line 1182 ........................");
  EXPECT_EQ(lines.back(), "line 1199 ........................");
  // Two waiting lines, each past the bound on its own: the newer one stays.
  file->append("second stall");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  file->append(std::string(1200, 'a'));
  file->append(std::string(1200, 'b'));
  lines.clear();
  while (lines.size() < 2) {
    std::ifstream pipe(path, std::ios::binary);
    for (std::string line; std::getline(pipe, line);) lines.push_back(line.substr(20));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"second stall", "[gui:mainnet] 1 log line(s) missing here: the disk did not keep up",
                                             std::string(1200, 'b')}));
  // Closing while the disk hangs waits 2 s for the writer, no more, no less;
  // the line is still written when the disk answers.
  file->append("third stall");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto closing = std::chrono::steady_clock::now();
  file.reset();
  const auto waited = std::chrono::steady_clock::now() - closing;
  EXPECT_GE(waited, std::chrono::milliseconds(1950));
  EXPECT_LT(waited, std::chrono::milliseconds(2800));
  std::ifstream pipe(path, std::ios::binary);
  std::string line;
  ASSERT_TRUE(std::getline(pipe, line));
  EXPECT_EQ(line.substr(20), "third stall");
#endif
}

TEST_F(LogFile, ARotationThatFailsChangesNoOldFileAndTheLinesGoOnPastTheLimit) {
  const std::size_t line_bytes = 20 + 10 + platform::text_line_end().size();
  LogFileLimits limits;
  limits.rotate_bytes = 10 * line_bytes;
  for (int n = 1; n <= 3; ++n) write_file(path + "." + std::to_string(n), "old file " + std::to_string(n) + "\n");
  auto file = open(limits);
  for (int i = 0; i < 9; ++i) file->append("line " + std::to_string(10000 + i));
  file->flush(std::chrono::seconds(5));
  // The tenth line fills the file; while the slow disk writes it, five more
  // queue up and come in one batch.
  platform::arm_delay("file-append", std::chrono::milliseconds(300));
  file->append("line 10009");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // A viewer holds the file: it cannot be renamed.
  platform::arm_fault("file-replace");
  for (int i = 10; i < 15; ++i) file->append("line " + std::to_string(10000 + i));
  file->flush(std::chrono::seconds(5));
  platform::disarm_faults();
  EXPECT_EQ(texts_of(path).size(), 15u) << "no line is lost: the file grows past its limit";
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(read_file(path + "." + std::to_string(n)), "old file " + std::to_string(n) + "\n") << "an old file changed";
  }
  const std::vector<LogFileFailed> failed = reports();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_TRUE(failed[0].rotation);
  EXPECT_EQ(failed[0].error, "injected failure at file-replace");
  // The next batch rotates: the current file becomes .1, and so on.
  file->append("line 10015");
  file->flush(std::chrono::seconds(5));
  EXPECT_EQ(texts_of(path), std::vector<std::string>{"line 10015"});
  EXPECT_EQ(texts_of(path + ".1").size(), 15u);
  EXPECT_EQ(read_file(path + ".2"), "old file 1\n");
  EXPECT_EQ(read_file(path + ".3"), "old file 2\n");
  EXPECT_FALSE(platform::path_exists(path + ".rotating"));
  EXPECT_TRUE(reports().empty()) << "reported once";

  // A rotation stopped half-way (the current file already moved aside) is
  // finished before the next one: nothing is overwritten out of order.
  write_file(path + ".rotating", "moved aside\n");
  for (int i = 0; i < 10; ++i) file->append("line " + std::to_string(20000 + i));
  file.reset();
  EXPECT_EQ(texts_of(path), std::vector<std::string>{"line 20009"});
  EXPECT_EQ(texts_of(path + ".1").front(), "line 10015");
  EXPECT_EQ(read_file(path + ".2"), "moved aside\n");
  EXPECT_EQ(texts_of(path + ".3").size(), 15u);
  EXPECT_FALSE(platform::path_exists(path + ".rotating"));
}

TEST_F(LogFile, ACrashRecordWaitsForTheQueuedLines) {
  AppCore core = testing_support::make_core(folder);
  core.log_file = open();
  platform::arm_delay("file-append", std::chrono::milliseconds(300));  // a slow disk
  for (int i = 0; i < 3; ++i) log_line(core, "before the crash " + std::to_string(i));
  write_crash_record("test", "a crash", std::nullopt);
  const std::vector<std::string> written = texts_of(path);
  platform::disarm_faults();
  EXPECT_EQ(written, (std::vector<std::string>{"[gui:mainnet] before the crash 0", "[gui:mainnet] before the crash 1",
                                               "[gui:mainnet] before the crash 2"}));
  platform::remove_file(crash_log_path());
}

TEST_F(LogFile, NothingLoggedLeavesNoFileAndClosingDoesNotWait) {
  auto file = open();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the writer waits for lines
  const auto closing = std::chrono::steady_clock::now();
  file.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::milliseconds(1000));
  EXPECT_FALSE(platform::path_exists(path));
}

TEST_F(LogFile, TheWindowSaysWhyTheFileIsNotWrittenOrNotRotated) {
  AppCore core = testing_support::make_core(folder);
  dispatch_event(core, LogFileFailed{"Access is denied. (os error 5)"});
  EXPECT_EQ(testing_support::untagged_log(core).back(),
            "Activity log file is not writable: Access is denied. (os error 5); lines are kept in the window only");
  dispatch_event(core, LogFileFailed{"The process cannot access the file. (os error 32)", true});
  EXPECT_EQ(testing_support::untagged_log(core).back(),
            "Activity log file could not be rotated: The process cannot access the file. (os error 32); it grows past "
            "its limit until a later rotation works");
}

}  // namespace
}  // namespace vorn
