// The options file read off the window thread, and what the window makes
// of each read.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/crash_guard.h"
#include "core/supervisor.h"
#include "options/options_apply.h"
#include "options/options_watch.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using testing_support::log_contains;
using testing_support::scratch_folder;
using testing_support::untagged_log;
using testing_support::write_file;

using Kind = OptionsRead::Kind;
using Receiver = Channel<WorkerEvent>::Receiver;

// Puts the bytes in place whole, with their modification time when one is
// given: a watcher's look never finds the file half written (written in
// place, a look between the truncation and the write reads an empty file).
// On Windows the replacement fails while the watcher reads the file: it is
// tried again, as the program's own writers do.
void put_whole(const std::string& path, std::string_view bytes,
               std::optional<std::filesystem::file_time_type> modified = std::nullopt) {
  write_file(path + ".new", bytes);
  if (modified) std::filesystem::last_write_time(std::filesystem::u8path(path + ".new"), *modified);
  ASSERT_TRUE(testing_support::pump_until([&] { return !platform::replace_file(path + ".new", path); }, 2000ms));
}

class OptionsWatcher : public ::testing::Test {
 protected:
  void TearDown() override { platform::disarm_faults(); }

  // A new watcher on its own channel; the one before ends with its channel.
  void start(std::chrono::milliseconds period) {
    auto [s, r] = Channel<WorkerEvent>::create();
    receiver = std::move(r);
    start_options_watch(OptionsWatch{path, s, platform::gui::NoticeTarget{}, period});
  }

  // The next read the watcher sent, waiting at most `limit`.
  std::optional<OptionsRead> next_read(std::chrono::milliseconds limit = 8000ms) {
    const auto until = Clock::now() + limit;
    for (;;) {
      if (std::optional<WorkerEvent> e = receiver.try_recv()) {
        if (auto* read = std::get_if<OptionsRead>(&*e)) return std::move(*read);
        ADD_FAILURE() << "an event that is not an options read";
        continue;
      }
      if (Clock::now() >= until) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
  }

  std::string folder = scratch_folder("options_watch");
  std::string path = platform::join_path(folder, std::string(kOptionsFile));
  Receiver receiver;
};

TEST_F(OptionsWatcher, TheFirstReadComesAtOnceWhateverTheFileHolds) {
  start(kOptionsCheckPeriod);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Absent);
  EXPECT_TRUE(read->first);
  EXPECT_FALSE(read->options);

  write_file(path, "{\"stall_minutes\": 3}");
  start(kOptionsCheckPeriod);
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Loaded);
  EXPECT_TRUE(read->first);
  ASSERT_TRUE(read->options);
  EXPECT_EQ(read->options->stall_minutes, 3u);

  write_file(path, "{\n  \"stall_minute\": 3\n}");
  start(kOptionsCheckPeriod);
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_TRUE(read->first);
  EXPECT_EQ(read->error, R"(unknown key "stall_minute" at line 2)");

  // Something that cannot be read as a file.
  ASSERT_FALSE(platform::remove_file(path));
  ASSERT_FALSE(platform::create_directories(path));
  start(kOptionsCheckPeriod);
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_EQ(read->error.rfind("the options file could not be read: ", 0), 0u) << read->error;
  EXPECT_NE(read->error.find("(os error "), std::string::npos) << read->error;
}

TEST_F(OptionsWatcher, EveryChangeIsPickedUpWithinFiveSeconds) {
  AppCore core = testing_support::make_core(folder);
  write_file(path, "{\"stall_minutes\": 3}");
  start(kOptionsCheckPeriod);  // the product's own period
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read && read->kind == Kind::Loaded);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: stall watchdog 3 min, tray");

  // Each step changes the size, so the step is seen on any clock.
  auto step = [&](const char* bytes) -> std::optional<OptionsRead> {
    if (bytes) {
      put_whole(path, bytes);
    } else {
      EXPECT_FALSE(platform::remove_file(path));
    }
    const auto began = Clock::now();
    std::optional<OptionsRead> next = next_read(8000ms);
    EXPECT_LE(Clock::now() - began, 5000ms);
    EXPECT_TRUE(next);
    if (next) {
      EXPECT_FALSE(next->first);
    }
    return next;
  };
  read = step("{\"stall_minutes\": 3, \"metrics_listen\": \"127.0.0.1:9100\"}");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Loaded);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: metrics on 127.0.0.1:9100, stall watchdog 3 min, tray");
  const Options good = core.options;

  read = step("{\"stall_minutes\": 3,\n \"metrics_lisen\": \"127.0.0.1:9100\"}");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(),
            R"(Options not loaded: unknown key "metrics_lisen" at line 2; the previous options stay in use)");
  EXPECT_EQ(core.options, good);

  read = step(nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Absent);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(), "Options file removed; using the defaults");
  EXPECT_EQ(core.options, Options{});

  read = step("{\"tray_icon\": false}");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Loaded);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: stall watchdog 10 min");
  EXPECT_EQ(untagged_log(core).size(), 5u);
}

TEST_F(OptionsWatcher, SizeOrModificationTimeAloneIsAChangeAndNothingElseIs) {
  namespace fs = std::filesystem;
  write_file(path, "{\"stall_minutes\": 3}");
  start(50ms);
  ASSERT_TRUE(next_read(2000ms));
  std::this_thread::sleep_for(500ms);  // ten looks at an unchanged file
  EXPECT_FALSE(receiver.try_recv());

  // The same bytes with a new time.
  const fs::file_time_type written = fs::last_write_time(fs::u8path(path));
  fs::last_write_time(fs::u8path(path), written + 1h);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Loaded);

  // New bytes of another size with the old time.
  put_whole(path, "{\"stall_minutes\": 42}", written + 1h);
  read = next_read(2000ms);
  ASSERT_TRUE(read && read->options);
  EXPECT_EQ(read->options->stall_minutes, 42u);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(receiver.try_recv());

  // A file with an error is reported once and not read again while it is
  // the same (a read now would take the armed fault).
  put_whole(path, "{\"stall_minutes\": }");
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  platform::arm_fault("options-read");
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(platform::fault_armed("options-read"));
  EXPECT_FALSE(receiver.try_recv());
}

TEST_F(OptionsWatcher, AFileThatGoesIsReportedGoneOnce) {
  write_file(path, "{\"stall_minutes\": 3}");
  start(50ms);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read && read->kind == Kind::Loaded);
  ASSERT_FALSE(platform::remove_file(path));
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Absent);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(receiver.try_recv());

  // Back, then removed between a look and the read of it (the storage is
  // slow to answer): gone, once, though the next look finds it gone too.
  put_whole(path, "{\"stall_minutes\": 4}");
  read = next_read(2000ms);
  ASSERT_TRUE(read && read->kind == Kind::Loaded);
  platform::arm_delay("file-read", 600ms);
  put_whole(path, "{\"stall_minutes\": 44}");
  std::this_thread::sleep_for(250ms);  // a look has seen the change; its read waits
  ASSERT_FALSE(platform::remove_file(path));
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Absent);
  platform::disarm_faults();
  std::this_thread::sleep_for(400ms);
  EXPECT_FALSE(receiver.try_recv());
}

TEST_F(OptionsWatcher, AFileThatCouldNotBeReadIsReadAgainAtTheNextLook) {
  write_file(path, "{\"stall_minutes\": 3}");
  // Held by another program at start-up: the read fails, the file is the same
  // at the next look, and is read then.
  platform::arm_fault("file-read");
  start(50ms);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->first);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_EQ(read->error, "the options file could not be read: injected failure at file-read");
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Loaded);
  ASSERT_TRUE(read->options);
  EXPECT_EQ(read->options->stall_minutes, 3u);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(receiver.try_recv()) << "read once more, then left alone";

  // Something that can never be read is reported once, not at every look.
  // (A look between the removal and the folder's creation sees no file. On
  // Windows the file goes only once the watcher's own look at it is over.)
  ASSERT_FALSE(platform::remove_file(path));
  ASSERT_TRUE(testing_support::pump_until([&] { return !platform::path_exists(path); }, 5000ms));
  ASSERT_FALSE(platform::create_directories(path));
  ASSERT_TRUE(platform::is_directory(path));
  do read = next_read(2000ms);
  while (read && read->kind == Kind::Absent);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_EQ(read->error.rfind("the options file could not be read: ", 0), 0u) << read->error;
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(receiver.try_recv());
  // Until it becomes a file again (put in place whole).
  write_file(path + ".new", "{\"stall_minutes\": 4}");
  std::filesystem::remove(std::filesystem::u8path(path));
  ASSERT_TRUE(testing_support::pump_until([&] { return !platform::path_exists(path); }, 5000ms));
  ASSERT_FALSE(platform::replace_file(path + ".new", path));
  do read = next_read(2000ms);
  while (read && read->kind == Kind::Absent);
  ASSERT_TRUE(read && read->options);
  EXPECT_EQ(read->options->stall_minutes, 4u);
}

TEST_F(OptionsWatcher, AFileOverTheLimitIsRefusedWithoutReadingItWhole) {
  std::string big = "{}";
  big.resize(kOptionsFileLimit + 1, ' ');
  write_file(path, big);
  platform::arm_fault("file-read");  // taken by any read of the file
  start(kOptionsCheckPeriod);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_EQ(read->error, "the options file is larger than 1 MiB");
  EXPECT_TRUE(platform::fault_armed("file-read"));  // refused by its size alone
  platform::disarm_faults();

  // A file that grew after its size was taken is read only up to the limit.
  big.resize(3 * kOptionsFileLimit, ' ');
  write_file(path, big);
  Result<std::string> start_of = platform::read_file_start(path, kOptionsFileLimit + 1);
  ASSERT_TRUE(start_of.ok()) << start_of.error();
  EXPECT_EQ(start_of.value().size(), kOptionsFileLimit + 1);
  EXPECT_EQ(start_of.value().substr(0, 2), "{}");
  OptionsRead direct = read_options_file(path, platform::FileStamp{2, 0});
  EXPECT_EQ(direct.kind, Kind::Failed);
  EXPECT_EQ(direct.error, "the options file is larger than 1 MiB");
  // Exactly at the limit the file is read.
  big.resize(kOptionsFileLimit);
  write_file(path, big);
  direct = read_options_file(path, platform::file_stamp(path));
  EXPECT_EQ(direct.kind, Kind::Loaded);
}

TEST_F(OptionsWatcher, StampsAndBoundedReads) {
  EXPECT_FALSE(platform::file_stamp(path));
  write_file(path, "12345");
  std::optional<platform::FileStamp> stamp = platform::file_stamp(path);
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->size, 5u);
  EXPECT_EQ(platform::file_stamp(path), stamp);
  namespace fs = std::filesystem;
  fs::last_write_time(fs::u8path(path), fs::last_write_time(fs::u8path(path)) - 1h);
  std::optional<platform::FileStamp> older = platform::file_stamp(path);
  ASSERT_TRUE(older);
  EXPECT_EQ(older->size, 5u);
  EXPECT_LT(older->modified, stamp->modified);
  EXPECT_EQ(platform::read_file_start(path, 3).value(), "123");
  EXPECT_EQ(platform::read_file_start(path, 100).value(), "12345");
  EXPECT_EQ(platform::read_file_start(path, 0).value(), "");
  EXPECT_FALSE(platform::read_file_start(platform::join_path(folder, "missing"), 10).ok());
  EXPECT_EQ(platform::read_file(path).value(), "12345");
  // A folder cannot be made where a file is.
  EXPECT_TRUE(platform::create_directories(path));
  EXPECT_TRUE(platform::create_directories(platform::join_path(path, "below")));
  EXPECT_FALSE(platform::is_directory(path));
}

TEST_F(OptionsWatcher, ItEndsWhenTheWindowIsGoneEvenIfTheFileNeverChanges) {
  auto [s, r] = Channel<WorkerEvent>::create();
  receiver = std::move(r);
  std::atomic<bool> ended = false;
  std::thread watcher([&ended, watch = OptionsWatch{path, s, platform::gui::NoticeTarget{}, 50ms}]() mutable {
    run_options_watch(std::move(watch));
    ended = true;
  });
  ASSERT_TRUE(next_read(2000ms));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(ended);
  receiver = Receiver();  // the window closes
  const auto until = Clock::now() + 3000ms;
  while (!ended && Clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(ended);
  if (ended) {
    watcher.join();
  } else {
    watcher.detach();
  }
  // Without a window it ends at its first read.
  ended = false;
  std::thread early([&ended, p = path] {
    run_options_watch(OptionsWatch{p, Channel<WorkerEvent>::Sender(), platform::gui::NoticeTarget{}, 50ms});
    ended = true;
  });
  early.join();
  EXPECT_TRUE(ended);
}

TEST_F(OptionsWatcher, AFailureInsideTheReaderIsReportedAsItsEnd) {
  platform::arm_fault("options-read");
  start(50ms);
  std::optional<OptionsRead> read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->kind, Kind::Failed);
  EXPECT_TRUE(read->first);
  EXPECT_EQ(read->error, "the options reader stopped: injected failure at options-read");
  AppCore core = testing_support::make_core(folder);
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(),
            "Options not loaded: the options reader stopped: injected failure at options-read; using the defaults");
  EXPECT_EQ(core.options_generation, 1u);

  // Later, after a good first read: the options in use stay.
  write_file(path, "{\"stall_minutes\": 3}");
  start(50ms);
  read = next_read(2000ms);
  ASSERT_TRUE(read && read->kind == Kind::Loaded);
  handle_options_read(core, std::move(*read));
  platform::arm_fault("options-read");
  write_file(path, "{\"stall_minutes\": 4}");
  read = next_read(2000ms);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->first);
  EXPECT_EQ(read->error, "the options reader stopped: injected failure at options-read");
  handle_options_read(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(),
            "Options not loaded: the options reader stopped: injected failure at options-read; the previous options "
            "stay in use");
  EXPECT_EQ(core.options.stall_minutes, 3u);
  EXPECT_NE(testing_support::read_file(crash_log_path()).find("thread=options\n"), std::string::npos);
}

// --- the window's side -------------------------------------------------------

OptionsRead loaded(std::string_view bytes, bool first) {
  OptionsRead read;
  read.kind = Kind::Loaded;
  read.options = std::make_shared<const Options>(parse_options(bytes).value());
  read.first = first;
  return read;
}

OptionsRead failed(std::string error, bool first) {
  OptionsRead read;
  read.kind = Kind::Failed;
  read.error = std::move(error);
  read.first = first;
  return read;
}

OptionsRead absent(bool first) {
  OptionsRead read;
  read.first = first;
  return read;
}

TEST(OptionsApply, WhatTheStartUpReadDoes) {
  AppCore core = testing_support::make_core(scratch_folder("options_apply"));
  EXPECT_EQ(core.options_generation, 0u);
  handle_options_read(core, absent(true));
  EXPECT_TRUE(core.log_lines.empty());
  EXPECT_EQ(core.options, Options{});
  EXPECT_FALSE(core.options_from_file);
  EXPECT_EQ(core.options_generation, 1u);

  core = testing_support::make_core(scratch_folder("options_apply"));
  handle_options_read(core, loaded(R"({"alerts": [{"kind": "json", "url": "https://h.example/SECRET"}],
                                       "heartbeat_url": "https://ping.example/SECRET", "metrics_token": "SECRET",
                                       "stall_minutes": 0, "tray_icon": false})",
                                   true));
  ASSERT_EQ(core.log_lines.size(), 1u);
  EXPECT_EQ(core.log_lines[0], "[gui:mainnet] Options loaded: 1 alert channel(s), heartbeat every 300 s");
  EXPECT_EQ(core.options.heartbeat_url, "https://ping.example/SECRET");
  EXPECT_TRUE(core.options_from_file);
  EXPECT_EQ(core.options_generation, 1u);

  core = testing_support::make_core(scratch_folder("options_apply"));
  handle_options_read(core, failed(R"(unknown key "tray" at line 3)", true));
  EXPECT_EQ(untagged_log(core), std::vector<std::string>{
                                    R"(Options not loaded: unknown key "tray" at line 3; using the defaults)"});
  EXPECT_EQ(core.options, Options{});
  EXPECT_FALSE(core.options_from_file);
  EXPECT_EQ(core.options_generation, 1u);
}

TEST(OptionsApply, WhatALaterReadDoes) {
  AppCore core = testing_support::make_core(scratch_folder("options_apply"));
  handle_options_read(core, loaded(R"({"stall_minutes": 5})", true));
  handle_options_read(core, loaded(R"({"stall_minutes": 6})", false));
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: stall watchdog 6 min, tray");
  EXPECT_EQ(core.options.stall_minutes, 6u);
  EXPECT_EQ(core.options_generation, 2u);

  handle_options_read(core, failed("invalid JSON at line 2: invalid literal", false));
  EXPECT_EQ(untagged_log(core).back(),
            "Options not loaded: invalid JSON at line 2: invalid literal; the previous options stay in use");
  EXPECT_EQ(core.options.stall_minutes, 6u);
  EXPECT_TRUE(core.options_from_file);
  EXPECT_EQ(core.options_generation, 2u);  // nothing changed

  handle_options_read(core, absent(false));
  EXPECT_EQ(untagged_log(core).back(), "Options file removed; using the defaults");
  EXPECT_EQ(core.options, Options{});
  EXPECT_FALSE(core.options_from_file);
  EXPECT_EQ(core.options_generation, 3u);
  EXPECT_EQ(core.log_lines.size(), 4u);

  // Loaded twice with the same options: logged and counted each time, so a
  // subsystem may try again what failed before (a port that was taken).
  handle_options_read(core, loaded("{}", false));
  handle_options_read(core, loaded("{}", false));
  EXPECT_EQ(core.options_generation, 5u);
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: stall watchdog 10 min, tray");
  EXPECT_EQ(core.log_lines.size(), 6u);
}

TEST(OptionsApply, ReadsArriveThroughTheWindowsChannel) {
  const std::string folder = scratch_folder("options_window");
  const std::string path = platform::join_path(folder, std::string(kOptionsFile));
  write_file(path, "{\"stall_minutes\": 8}");
  std::unique_ptr<testing_support::TestWindow> w = testing_support::TestWindow::create(folder);
  start_options_watch(OptionsWatch{path, w->sender, w->notice, 50ms});
  ASSERT_TRUE(testing_support::pump_until([&] { return w->core.borrow()->options_generation == 1; }, 5000ms));
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Options loaded: stall watchdog 8 min, tray"));
  write_file(path, "{\"stall_minutes\": 80}");
  ASSERT_TRUE(testing_support::pump_until([&] { return w->core.borrow()->options_generation == 2; }, 5000ms));
  EXPECT_EQ(w->core.borrow()->options.stall_minutes, 80u);
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Options loaded: stall watchdog 80 min, tray"));
}

}  // namespace
}  // namespace vorn
