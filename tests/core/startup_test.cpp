#include <gtest/gtest.h>

#include <algorithm>

#include "core/build_profile.h"
#include "core/activity_log_file.h"
#include "core/startup.h"
#include "core/supervisor.h"
#include "miner/discovery.h"
#include "options/options.h"
#include "platform/fault_points.h"
#include "platform/process.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::untagged_log;
using testing_support::write_file;

// The start-up reads its files next to the executable: each test puts
// exactly the files it needs there and removes them afterwards.
class Startup : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    testing_support::remove_tree(exe_relative(kProfile.settings_file));
    testing_support::remove_tree(exe_relative("miner_config.yaml"));
    testing_support::remove_tree(exe_relative(std::string(kProfile.settings_file) + ".invalid.bak"));
    testing_support::remove_tree(exe_relative(kActivityLogFile));
    testing_support::remove_tree(exe_relative(kOptionsFile));
  }
  static std::vector<std::string> start() {
    return untagged_log(create_app_core(EventSender(), platform::gui::NoticeTarget{}));
  }
  static const std::string kBanner;
};

const std::string Startup::kBanner =
    "Qubo-VORN Pool Miner - MAINNET v0.1.37 "
    "v0.1.37-miner-gui-crash-guard-notice-coalesce-and-ui-reentry-safe";

bool priority_line(const std::string& line) {
  return line == "GUI CPU priority set to AboveNormal" ||
         line.rfind("GUI started, but CPU priority could not be raised: ", 0) == 0;
}

TEST_F(Startup, WithoutFilesTheBannerAndPriorityLinesComeFirst) {
  AppCore core = create_app_core(EventSender(), platform::gui::NoticeTarget{});
  std::vector<std::string> log = untagged_log(core);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(core.log_lines[0], "[gui:mainnet] " + kBanner);
  EXPECT_TRUE(priority_line(log[1])) << log[1];
  EXPECT_EQ(core.settings, [] {
    AppSettings s;
    normalize_settings(s);
    return s;
  }());
  EXPECT_EQ(core.settings_path, exe_relative(kProfile.settings_file));
  EXPECT_FALSE(core.undecodable_settings_file);
}

TEST_F(Startup, LegacyConfigOutputPathIsReportedUnlessEmptyOrOurs) {
  struct Case {
    const char* value;
    bool reported;
  } cases[] = {{"miner_config.mainnet.gui.yaml", false},
               {"   ", false},
               {"", false},
               {" miner_config.mainnet.gui.yaml\\t", false},
               {"D:\\\\rig\\\\miner_config.mainnet.gui.yaml", true},
               {"other.yaml", true}};
  for (const Case& c : cases) {
    write_file(exe_relative(kProfile.settings_file),
               std::string("{\"config_output_path\": \"") + c.value + "\"}");
    std::vector<std::string> log = start();
    bool found = false;
    for (const std::string& line : log) {
      if (line.rfind("ignored legacy config_output_path ", 0) == 0) {
        found = true;
        EXPECT_NE(line.find("; GUI uses miner_config.mainnet.gui.yaml"), std::string::npos);
      }
    }
    EXPECT_EQ(found, c.reported) << c.value;
  }
  write_file(exe_relative(kProfile.settings_file), R"({"config_output_path": "D:\\x.yaml"})");
  EXPECT_EQ(start()[1],
            "ignored legacy config_output_path D:\\x.yaml; GUI uses miner_config.mainnet.gui.yaml");
}

TEST_F(Startup, ArrayFormSettingsLoadWithoutALegacyValue) {
  write_file(exe_relative(kProfile.settings_file), R"(["rig", "", "other.yaml", ["D:\\p"]])");
  AppCore core = create_app_core(EventSender(), platform::gui::NoticeTarget{});
  EXPECT_EQ(core.settings.miner_name, "rig");
  EXPECT_EQ(core.settings.plot_dirs, std::vector<std::string>{"D:\\p"});
  for (const std::string& line : untagged_log(core)) {
    EXPECT_EQ(line.find("ignored legacy"), std::string::npos);
  }
}

TEST_F(Startup, LegacyMinerConfigWithSeveralDocumentsIsReported) {
  const std::string message =
      "legacy miner_config.yaml appears to contain multiple YAML documents; GUI will not "
      "overwrite it and uses miner_config.mainnet.gui.yaml";
  auto reported = [&] {
    for (const std::string& line : start()) {
      if (line == message) return true;
    }
    return false;
  };
  write_file(exe_relative("miner_config.yaml"), "---\na: 1\nb: 2\n");
  EXPECT_FALSE(reported());
  write_file(exe_relative("miner_config.yaml"), "---\r\na: 1\r\n  --- \r\nb: 2\r\n");
  EXPECT_TRUE(reported());
  EXPECT_EQ(testing_support::read_file(exe_relative("miner_config.yaml")),
            "---\r\na: 1\r\n  --- \r\nb: 2\r\n");  // never written
}

TEST_F(Startup, SettingsAreNormalisedTheMinerLookedForAndTheLogKeptInItsFile) {
  write_file(exe_relative(kProfile.settings_file),
             R"({"miner_name": "rig", "plot_rescan_interval_secs": 5, "auto_restart_on_new_plots": false})");
  {
    AppCore core = create_app_core(EventSender(), platform::gui::NoticeTarget{});
    EXPECT_EQ(core.settings.miner_name, "rig");
    EXPECT_EQ(core.settings.plot_rescan_interval_secs, 60u);
    EXPECT_TRUE(core.settings.auto_restart_on_new_plots);
    const std::vector<std::string> log = untagged_log(core);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
      return line.rfind("Auto-detected miner: ", 0) == 0 || line == kMinerNotFound;
    }));
    EXPECT_TRUE(core.scan_running) << "the first scan is asked for";
  }  // the log file's writer finishes with the core
  const std::string file = testing_support::read_file(exe_relative(kActivityLogFile));
  EXPECT_NE(file.find("[gui:mainnet] " + kBanner), std::string::npos);
}

TEST_F(Startup, FailuresOfThePriorityAndOfTheLeftoverCleanupAreSaid) {
  platform::arm_fault("raise-priority");
  platform::arm_fault("process-list");
  const std::vector<std::string> log = start();
  platform::disarm_faults();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "GUI started, but CPU priority could not be raised: injected failure at raise-priority");
  EXPECT_EQ(log[2],
            "startup orphan miner cleanup skipped: could not query existing vorn_miner.exe processes: injected failure at "
            "process-list");
}

TEST_F(Startup, TheSettingsFileAsLoadedIsReplacedWithoutACopyAndAnEditedOneWithACopy) {
  const std::string path = exe_relative(kProfile.settings_file);
  for (const char* name : {".changed.bak", ".invalid.bak"}) platform::remove_file(path + name);
  write_file(path, R"({"miner_name": "rig"})");
  AppCore core = create_app_core(EventSender(), platform::gui::NoticeTarget{});
  ASSERT_TRUE(save_settings(core));
  EXPECT_FALSE(testing_support::exists(path + ".changed.bak"));
  write_file(path, R"({"miner_name": "edited by hand"})");
  ASSERT_TRUE(save_settings(core));
  EXPECT_EQ(testing_support::read_file(path + ".changed.bak"), R"({"miner_name": "edited by hand"})");
  platform::remove_file(path + ".changed.bak");
}

TEST_F(Startup, UndecodableSettingsGiveDefaultsAndAreMarkedForACopy) {
  write_file(exe_relative(kProfile.settings_file), "{\"plot_dirs\": [\"D:\\\\p\"]");
  AppCore core = create_app_core(EventSender(), platform::gui::NoticeTarget{});
  EXPECT_TRUE(core.settings.plot_dirs.empty());
  EXPECT_EQ(core.undecodable_settings_file, exe_relative(kProfile.settings_file));
}

TEST_F(Startup, TheOptionsFileBesideTheProgramIsReadOffTheWindowThread) {
  write_file(exe_relative(kOptionsFile), "{\"stall_minutes\": 7, \"tray_icon\": false}");
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  AppCore core = create_app_core(sender, platform::gui::NoticeTarget{});
  EXPECT_EQ(core.options_generation, 0u);  // read by a worker; nothing waits for it here
  std::optional<OptionsRead> read;
  ASSERT_TRUE(testing_support::pump_until([&] {
    while (std::optional<WorkerEvent> e = receiver.try_recv()) {
      if (auto* r = std::get_if<OptionsRead>(&*e)) read = std::move(*r);
    }
    return read.has_value();
  }, std::chrono::seconds(5)));
  EXPECT_TRUE(read->first);
  dispatch_event(core, std::move(*read));
  EXPECT_EQ(untagged_log(core).back(), "Options loaded: stall watchdog 7 min");
  EXPECT_EQ(core.options.stall_minutes, 7u);
  EXPECT_EQ(core.options_generation, 1u);
}

TEST_F(Startup, AMinerLeftBehindByAnEarlierRunIsEnded) {
  // A vorn_miner.exe that runs with this profile's configuration file.
  testing_support::set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> leftover = platform::spawn_with_output_pipes(
      {testing_support::sim_miner_path(), {"--config", exe_relative(kProfile.config_file)}, ""});
  testing_support::set_env("VORN_SIM_MODE", "");
  ASSERT_TRUE(leftover.ok()) << leftover.error();
  const std::string id = std::to_string(leftover.value().pid());
  // Listed once it runs as vorn_miner.exe with its command line.
  ASSERT_TRUE(testing_support::pump_until(
      [&] { return testing_support::listed_with(leftover.value().pid(), kProfile.config_file); }));
  const std::vector<std::string> log = start();
  auto logged = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
  EXPECT_TRUE(logged("found gui-managed miner pid=" + id + ", config=miner_config.mainnet.gui.yaml"))
      << ::testing::PrintToString(log);
  EXPECT_TRUE(logged("killed pid=" + id));
  Result<std::optional<std::uint32_t>> ended = leftover.value().wait_for(std::chrono::seconds(5));
  EXPECT_TRUE(ended.ok() && ended.value().has_value()) << "the leftover miner still runs";
}

}  // namespace
}  // namespace vorn
