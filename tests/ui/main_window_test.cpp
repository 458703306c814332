#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/activity_log_file.h"
#include "core/build_profile.h"
#include "core/crash_guard.h"
#include "platform/fault_points.h"
#include "platform/headless/headless_gui.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/test_support.h"
#include "alerts/alerts.h"
#include "core/supervisor.h"
#include "miner/discovery.h"
#include "miner/interpret.h"
#include "miner/miner_control.h"
#include "minerconfig/miner_config.h"
#include "options/options_watch.h"
#include "scan/scan_control.h"
#include "ui/display.h"
#include "ui/main_window.h"
#include "ui/startup_launch.h"

namespace vorn {
namespace {

namespace gui = platform::gui;
namespace headless = platform::gui::headless;
using testing_support::lines_starting;
using testing_support::log_contains;
using testing_support::scratch_folder;
using testing_support::untagged_log;

class Ui : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = scratch_folder("ui");
    testing_support::set_env("XDG_CONFIG_HOME", platform::join_path(folder, "config"));
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    gui::Window window = gui::Window::create(window_caption()).value();
    AppCore core(sender, window.notice(1), Clock::now());
    core.settings_path = platform::join_path(folder, kProfile.settings_file);
    core.auto_start_done = true;  // no automatic start in these tests
    normalize_settings(core.settings);
    w = MainWindow::build(std::move(window), std::move(core), std::move(receiver)).value();
    w->bind_events();
    headless::clear_quit();
  }
  void TearDown() override { headless::clear_quit(); }

  const Controls& c() { return w->controls(); }
  std::string text(gui::ControlHandle h) { return gui::text_of(h); }
  // Renders the log at once, as a refresh 500 ms later would.
  void render_now() {
    w->core.borrow()->log_refresh_at = Clock::now() - std::chrono::seconds(1);
    w->refresh_display();
  }

  std::string folder;
  std::unique_ptr<MainWindow> w;
};

TEST(MainWindowBuild, AControlThatCannotBeMadeEndsTheBuildWithItsError) {
  for (const char* part : {"add-control", "add-menu"}) {
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    gui::Window window = gui::Window::create(window_caption()).value();
    AppCore core(sender, window.notice(1), Clock::now());
    core.settings_path = platform::join_path(scratch_folder("ui_build"), kProfile.settings_file);
    platform::arm_fault(part);
    auto built = MainWindow::build(std::move(window), std::move(core), std::move(receiver));
    ASSERT_FALSE(built.ok()) << part;
    EXPECT_EQ(built.error(), std::string("injected failure at ") + part);
  }
}

TEST_F(Ui, ThirtyControlsWithTheirTextsPositionsAndSizes) {
  struct Expected {
    gui::ControlKind kind;
    const char* text;
    int x, y, width, height;
  };
  using K = gui::ControlKind;
  const Expected expected[] = {
      {K::Label, "Qubo-VORN Pool Miner", 18, 12, 520, 26},
      {K::Label, "Fixed pool mining client", 18, 40, 520, 22},
      {K::Label, "MAINNET", 1000, 18, 150, 26},
      {K::Label, nullptr, 18, 72, 1140, 24},
      {K::Label, "Miner Name", 18, 112, 90, 24},
      {K::Edit, "Vorn Miner", 112, 108, 280, 28},
      {K::Label, "Total Capacity: 0GB", 430, 112, 190, 24},
      {K::Label, "Current Height: -", 640, 112, 190, 24},
      {K::Label, nullptr, 850, 112, 300, 24},
      {K::Label, "Version: v0.1.37    Network: mainnet", 18, 140, 1140, 18},
      {K::Label, "Plot Folders", 18, 168, 160, 24},
      {K::ListView, "", 18, 196, 1142, 270},
      {K::Button, "Add Plot Folder", 18, 486, 150, 34},
      {K::Button, "Scan Now", 178, 486, 120, 34},
      {K::Label, "Rescan interval", 332, 492, 125, 24},
      {K::Edit, "120", 460, 489, 70, 26},
      {K::Label, "minutes", 540, 492, 70, 24},
      {K::CheckBox, "Auto rescan plots", 630, 492, 180, 24},
      {K::CheckBox, "Start GUI when Windows starts", 820, 492, 280, 24},
      {K::Label, "Manual scan always works. No restart if nothing changed.", 18, 526, 1140, 24},
      {K::Button, "Start Mining", 18, 564, 130, 36},
      {K::Button, "Stop Mining", 158, 564, 120, 36},
      {K::Button, "Restart Miner", 288, 564, 130, 36},
      {K::Button, "Save Settings", 438, 564, 130, 36},
      {K::Button, "Clear Log", 588, 564, 110, 36},
      {K::Label, "No plot changes detected. Miner restart not needed.", 18, 608, 1140, 24},
      {K::Label, "Activity Log", 18, 644, 120, 24},
      {K::LogBox, nullptr, 18, 672, 1142, 175},
  };
  std::vector<gui::ControlHandle> controls = headless::controls_of(w->window().handle());
  ASSERT_EQ(controls.size(), std::size(expected));  // plus the popup menu and its item
  for (std::size_t i = 0; i < controls.size(); ++i) {
    headless::ControlInfo info = headless::control_info(controls[i]);
    const Expected& e = expected[i];
    EXPECT_EQ(info.kind, e.kind) << i;
    if (e.text) {
      EXPECT_EQ(info.text, e.text) << i;
    }
    EXPECT_EQ(info.x, e.x) << i;
    EXPECT_EQ(info.y, e.y) << i;
    EXPECT_EQ(info.width, e.width) << i;
    EXPECT_EQ(info.height, e.height) << i;
    EXPECT_LE(info.x + info.width, 1200) << i;
    EXPECT_LE(info.y + info.height, 880) << i;
  }
  headless::ControlInfo list = headless::control_info(c().plot_list);
  ASSERT_EQ(list.columns.size(), 7u);
  const std::pair<const char*, int> columns[] = {{"Path", 500},     {"Capacity", 90},     {"Free Space", 100}, {"Files", 70},
                                                 {"Scan Time", 100}, {"Compression", 130}, {"Status", 150}};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(list.columns[i].caption, columns[i].first);
    EXPECT_EQ(list.columns[i].width, columns[i].second);
  }
  EXPECT_EQ(c().extra_labels.size(), 5u);
  EXPECT_EQ(w->window().caption(), "Qubo-VORN Pool Miner - MAINNET v0.1.37");
}

TEST_F(Ui, StatusLineAndLabels) {
  {
    auto core = w->core.borrow();
    core->current_height = 4242;
    core->scan_status_text = "Scanning 33%";
    core->restart_pending = true;
    core->last_error = "disk full";
    core->status_dirty = true;
  }
  w->refresh_display();
  EXPECT_EQ(text(c().status_line),
            "Miner: Stopped    Plots: 0    Capacity: 0GB    Height: 4242    Scan: Scanning 33%    Restart: yes"
            "    Last error: disk full");
  EXPECT_EQ(text(c().current_height), "Current Height: 4242");
  EXPECT_EQ(text(c().scan_status), "Scan Status: Scanning 33%");
  EXPECT_EQ(text(c().change_result), "Stable plot changes detected. Restart is waiting for a safe moment.");
}

TEST_F(Ui, ButtonsFollowTheState) {
  {
    auto core = w->core.borrow();
    core->stop_in_progress = true;
    core->controls_dirty = true;
  }
  w->refresh_display();
  EXPECT_TRUE(gui::is_enabled(c().stop_mining));
  EXPECT_FALSE(gui::is_enabled(c().start_mining));
  EXPECT_FALSE(gui::is_enabled(c().restart_miner));
  EXPECT_TRUE(gui::is_enabled(c().scan_now));
  {
    auto core = w->core.borrow();
    core->stop_in_progress = false;
    core->config_refresh_in_progress = true;
    core->controls_dirty = true;
  }
  w->refresh_display();
  EXPECT_FALSE(gui::is_enabled(c().stop_mining));
  EXPECT_FALSE(gui::is_enabled(c().add_folder));
  EXPECT_FALSE(gui::is_enabled(c().scan_now));
  EXPECT_FALSE(gui::is_enabled(c().start_mining));
}

TEST(Buttons, EachButtonInEachStateWithoutAMiner) {
  struct Case {
    const char* state;
    std::function<void(AppCore&)> set;
    ButtonStates shown;  // start, stop, restart, add folder, scan now
  } cases[] = {
      {"idle", [](AppCore&) {}, {true, false, true, true, true}},
      {"stopping", [](AppCore& c) { c.stop_in_progress = true; }, {false, true, false, true, true}},
      {"scanning", [](AppCore& c) { c.scan_running = true; }, {false, false, false, false, false}},
      {"applying", [](AppCore& c) { c.pending_scan_results.emplace(); }, {false, false, false, false, false}},
      {"refreshing", [](AppCore& c) { c.config_refresh_in_progress = true; }, {false, false, false, false, false}},
  };
  for (const Case& c : cases) {
    AppCore core = testing_support::make_core(scratch_folder("button_table"));
    c.set(core);
    const ButtonStates b = button_states(core);
    EXPECT_EQ((std::vector<bool>{b.start_mining, b.stop_mining, b.restart_miner, b.add_plot_folder, b.scan_now}),
              (std::vector<bool>{c.shown.start_mining, c.shown.stop_mining, c.shown.restart_miner,
                                 c.shown.add_plot_folder, c.shown.scan_now}))
        << c.state;
  }
}

TEST(Buttons, StartMiningIsDisabledInEveryStateThatHoldsAMiner) {
  AppCore core = testing_support::make_core(scratch_folder("buttons"));
  EXPECT_TRUE(button_states(core).start_mining);
  testing_support::set_env("VORN_SIM_MODE", "exit");
  core.miner_child = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""}).value();
  testing_support::set_env("VORN_SIM_MODE", "rounds");
  for (MinerState state : {MinerState::Starting, MinerState::Running, MinerState::RestartPending,
                           MinerState::Restarting, MinerState::Stopping, MinerState::Error}) {
    core.miner_state = state;
    EXPECT_FALSE(button_states(core).start_mining) << miner_state_text(state);
    EXPECT_TRUE(button_states(core).stop_mining) << miner_state_text(state);
    EXPECT_TRUE(button_states(core).restart_miner) << miner_state_text(state);
  }
  core.miner_child->wait_for(std::chrono::seconds(5));
}

TEST(Display, IntervalMinutesAndTotalCapacity) {
  const std::pair<std::uint64_t, std::uint64_t> minutes[] = {{0, 1}, {59, 1}, {60, 1}, {61, 2}, {90, 2}, {120, 2}, {121, 3}};
  for (auto [seconds, shown] : minutes) EXPECT_EQ(interval_minutes(seconds), shown) << seconds;
  AppCore core = testing_support::make_core(scratch_folder("capacity"));
  core.folder_reports["a"].total_bytes = 1ull << 40;
  core.folder_reports["b"].total_bytes = 1ull << 39;
  core.folder_reports["c"].total_bytes = 1ull << 39;
  EXPECT_EQ(total_capacity_text(core), "2.00T");
  core.folder_reports["d"].total_bytes = UINT64_MAX;  // saturates instead of wrapping round
  EXPECT_EQ(total_capacity_text(core), format_capacity(UINT64_MAX));
  core.folder_reports.clear();
  EXPECT_EQ(total_capacity_text(core), "0GB");
  core.folder_reports["a"].total_bytes = 1ull << 39;
  core.folder_reports["b"].total_bytes = (1ull << 39) - 1;  // one byte short of a tebibyte in all
  EXPECT_EQ(total_capacity_text(core), "1024GB");
}

TEST(Display, IntervalFieldTextToSeconds) {
  const std::uint64_t keep = 900;  // what the field held: 15 minutes
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"9", 540},
      {"0", 60},
      {"-1", keep},
      {"1.5", keep},
      {"18446744073709551615", UINT64_MAX},  // the most minutes there are: the seconds saturate
      {"18446744073709551616", keep},        // more than a count can hold is no number
      {"307445734561825860", 18446744073709551600ull},  // the most minutes whose seconds still fit
      {"307445734561825861", UINT64_MAX},
  };
  for (auto [typed, seconds] : cases) EXPECT_EQ(parse_interval_field(typed, keep), seconds) << typed;
}

TEST(Display, TheHintNamesTheMostPressingState) {
  struct Case {
    std::function<void(AppCore&)> set;
    const char* hint;
  } cases[] = {
      {[](AppCore&) {}, "No plot changes detected. Miner restart not needed."},
      {[](AppCore& c) { c.round_finished = true; },
       "Safe restart window detected. No restart is needed without plot changes."},
      {[](AppCore& c) { c.round_finished = c.scan_running = true; },
       "Scanning plot folders. Miner will keep running unless stable plot changes are found."},
      {[](AppCore& c) {
         c.scan_running = true;
         c.pending_scan_results.emplace();
       },
       "Applying scan results. Miner start and plot folder changes are paused until this finishes."},
      {[](AppCore& c) {
         c.pending_scan_results.emplace();
         c.config_refresh_in_progress = true;
       },
       "Refreshing miner config. Start Mining waits until the current profile YAML is ready."},
      {[](AppCore& c) { c.config_refresh_in_progress = c.restart_pending = true; },
       "Stable plot changes detected. Restart is waiting for a safe moment."},
  };
  for (const Case& c : cases) {
    AppCore core = testing_support::make_core(scratch_folder("hint"));
    c.set(core);
    EXPECT_EQ(hint_text(core), c.hint);
  }
}

TEST(Display, ScanTimes) {
  EXPECT_EQ(scan_time_text(0.0), "<0.01s");
  EXPECT_EQ(scan_time_text(0.009), "<0.01s");
  EXPECT_EQ(scan_time_text(0.01), "0.01s");
}

TEST_F(Ui, RescanIntervalField) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"0", 60}, {" 15 ", 900}, {"abc", 900}, {"", 900}, {"+", 900}, {"+2", 120}, {"99999999999999999999", 120}};
  for (auto [typed, seconds] : cases) {
    headless::type_text(c().rescan_interval, typed);
    EXPECT_EQ(w->core.borrow()->settings.plot_rescan_interval_secs, seconds) << typed;
  }
  EXPECT_TRUE(w->core.borrow()->save_pending);
}

TEST_F(Ui, SaveSettingsWritesTheFileNow) {
  headless::type_text(c().miner_name, "Rig 7");
  headless::type_text(c().rescan_interval, "+3");
  headless::click(c().auto_rescan);
  {
    auto core = w->core.borrow();
    EXPECT_FALSE(core->settings.auto_detect_new_plots);
    EXPECT_TRUE(core->save_pending) << "the check box is an edit like the fields";
    core->settings.miner_name = "stale";  // the fields are taken first
  }
  headless::click(c().save_settings);
  {
    auto core = w->core.borrow();
    EXPECT_FALSE(core->save_pending);
    EXPECT_FALSE(core->save_requested_at) << "no deferred save is left to come";
    EXPECT_TRUE(log_contains(*core, "Settings saved."));
    std::string saved = testing_support::read_file(core->settings_path);
    EXPECT_NE(saved.find("\"miner_name\": \"Rig 7\""), std::string::npos);
    EXPECT_NE(saved.find("\"auto_detect_new_plots\": false"), std::string::npos);
  }
  EXPECT_EQ(text(c().rescan_interval), "3") << "the fields show what was saved";
}

TEST_F(Ui, OnlyTheSettingsControlsCountAsEdits) {
  headless::type_text(c().log_box, "typed into the log");
  headless::click(c().hint);
  auto core = w->core.borrow();
  EXPECT_FALSE(core->save_pending);
  EXPECT_FALSE(log_contains(*core, "Windows startup GUI launch"));
}

TEST_F(Ui, TheCommandButtonsActAndTakeTheFieldsFirst) {
  // Each command copies the fields into the settings before it acts: a
  // setting changed behind the window's back is put right by the next one.
  auto drift = [&] {
    auto core = w->core.borrow();
    core->settings.miner_name = "stale";
    core->settings.auto_restart_on_new_plots = false;
  };
  auto synced = [&] {
    auto core = w->core.borrow();
    return core->settings.miner_name == "Vorn Miner" && core->settings.auto_restart_on_new_plots;
  };
  {
    auto core = w->core.borrow();
    core->settings.miner_exe_path = platform::join_path(folder, "nowhere.exe");
  }
  drift();
  headless::click(c().start_mining);
  EXPECT_TRUE(synced());
  EXPECT_EQ(untagged_log(*w->core.borrow()).back(), std::string(kMinerNotFound));
  drift();
  headless::click(c().restart_miner);
  EXPECT_TRUE(synced());
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Restart requested while miner is not running; starting miner"));
  drift();
  headless::click(c().scan_now);
  EXPECT_TRUE(synced());
  EXPECT_TRUE(w->core.borrow()->scan_running);
  EXPECT_FALSE(gui::is_enabled(c().scan_now)) << "the window shows the scan at once";
  ASSERT_TRUE(testing_support::pump_until([&] { return !w->core.borrow()->scan_running; }));
}

TEST_F(Ui, AnEditIsSavedAtTheNextHeartbeatAfterItsDelayAndAFailureShows) {
  headless::type_text(c().miner_name, "Rig 8");
  {
    auto core = w->core.borrow();
    ASSERT_TRUE(core->save_pending);
    core->settings_path = platform::join_path(platform::join_path(folder, "gone"), kProfile.settings_file);
    on_heartbeat(*core);  // too early: nothing is written yet
    EXPECT_TRUE(core->save_pending);
    core->save_requested_at = Clock::now() - std::chrono::seconds(1);
    core->status_dirty = false;  // the edit itself is shown already
    on_heartbeat(*core);
    EXPECT_FALSE(core->save_pending);
    ASSERT_TRUE(core->last_error);
  }
  w->refresh_display();
  EXPECT_NE(text(c().status_line).find("    Last error: " + *w->core.borrow()->last_error), std::string::npos);
}

TEST_F(Ui, AddingAndRemovingFolders) {
  std::string plots = platform::join_path(folder, "plots");
  std::filesystem::create_directories(std::filesystem::u8path(plots));
  // A cancelled picker and an empty answer add nothing.
  headless::answer_next_folder_pick(std::nullopt);
  headless::click(c().add_folder);
  headless::answer_next_folder_pick("");
  headless::click(c().add_folder);
  EXPECT_TRUE(w->core.borrow()->settings.plot_dirs.empty());
  EXPECT_TRUE(w->core.borrow()->log_lines.empty());
  {
    // What was known of this folder before it was removed once is stale.
    auto core = w->core.borrow();
    core->folder_reports[plots].total_bytes = 1ull << 40;
    core->folder_presence[plots] = false;
    core->settings.miner_name = "stale";
  }
  headless::answer_next_folder_pick(plots);
  headless::click(c().add_folder);
  {
    auto core = w->core.borrow();
    EXPECT_EQ(core->settings.plot_dirs, std::vector<std::string>{plots});
    EXPECT_EQ(core->settings.miner_name, "Vorn Miner") << "the fields are taken first";
    EXPECT_TRUE(log_contains(*core, "Added plot directory " + plots));
    EXPECT_TRUE(core->scan_running);
    EXPECT_NE(testing_support::read_file(core->settings_path).find("plots\""), std::string::npos) << "saved at once";
  }
  headless::ControlInfo list = headless::control_info(c().plot_list);
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0], (std::vector<std::string>{plots, "-", "-", "-", "-", "-", "not scanned"}));
  EXPECT_FALSE(gui::is_enabled(c().add_folder));  // busy while the scan runs

  // The same folder with a trailing separator adds nothing.
  ASSERT_TRUE(testing_support::pump_until([&] { return !w->core.borrow()->scan_running; }));
  {
    auto core = w->core.borrow();
    core->pending_scan_results.reset();
    core->controls_dirty = true;
  }
  w->refresh_display();
  headless::answer_next_folder_pick(plots + std::string(1, platform::kPathSeparator));
  const std::size_t lines = w->core.borrow()->log_lines.size();
  headless::click(c().add_folder);
  EXPECT_EQ(w->core.borrow()->log_lines.size(), lines);

  headless::right_click(c().plot_list, 1);  // below the last row
  EXPECT_EQ(headless::shown_menu(), 0u);
  headless::right_click(c().plot_list, 0);
  EXPECT_EQ(headless::shown_menu(), c().remove_item);
  EXPECT_EQ(gui::selected_row(c().plot_list), 0);
  {
    auto core = w->core.borrow();
    core->folder_reports[plots].total_bytes = 1ull << 40;
    core->settings.miner_name = "stale";
    core->status_dirty = true;
  }
  w->refresh_display();
  EXPECT_EQ(text(c().total_capacity), "Total Capacity: 1.00T");
  headless::choose_menu_item(c().remove_item);
  {
    auto core = w->core.borrow();
    EXPECT_TRUE(core->settings.plot_dirs.empty());
    EXPECT_EQ(core->settings.miner_name, "Vorn Miner");
    EXPECT_TRUE(log_contains(*core, "Removed plot directory: " + plots));
    EXPECT_TRUE(core->scan_running);  // removing the last folder still scans
  }
  EXPECT_TRUE(headless::control_info(c().plot_list).rows.empty());
  EXPECT_EQ(text(c().total_capacity), "Total Capacity: 0GB") << "the removed folder counts no more";
}

TEST_F(Ui, AFolderPickerThatCannotOpenIsLogged) {
  headless::answer_next_folder_pick(std::string(headless::kPickerFailure) + "Class not registered (os error 7)");
  w->core.borrow()->log_refresh_at = Clock::now() - std::chrono::seconds(1);
  headless::click(c().add_folder);
  EXPECT_NE(text(c().log_box).find("Could not open the folder picker"), std::string::npos) << "shown at once";
  auto core = w->core.borrow();
  EXPECT_TRUE(log_contains(*core, "Could not open the folder picker: Class not registered (os error 7)"));
  EXPECT_TRUE(core->settings.plot_dirs.empty());
}

TEST_F(Ui, AFailureInsideARefreshDoesNotFreezeTheDisplay) {
  platform::arm_fault("refresh_display");
  headless::click(c().clear_log);  // its refresh fails; the event guard recovers
  headless::pump_pending();
  log_line(*w->core.borrow(), "after the failure");
  render_now();
  EXPECT_NE(text(c().log_box).find("after the failure"), std::string::npos);
  EXPECT_NE(text(c().log_box).find("GUI event recovered from a panic"), std::string::npos);
  EXPECT_NE(text(c().status_line).find("    Last error: GUI event panic recovered"), std::string::npos);
  {
    auto core = w->core.borrow();
    core->miner_state = MinerState::Error;
    core->status_dirty = true;
  }
  w->refresh_display();
  EXPECT_EQ(text(c().status_line).rfind("Miner: Error", 0), 0u);
  platform::disarm_faults();
}

// An alert raised on the window's thread (the core held, as the heartbeat
// holds it) after the sender's thread failed is answered through the message
// loop, not by handling the window's notice inside the alert.
TEST_F(Ui, AlertsAfterTheSenderFailedAreReportedThroughTheMessageLoop) {
  platform::arm_fault("alert-send");
  {
    auto core = w->core.borrow();
    core->options.alerts = {AlertChannel{ChannelKind::Slack, "http://127.0.0.1:9/hook", "", AlertLevel::Info}};
    ++core->options_generation;
    check_alerts(*core, Clock::now());  // "alerts on": the sender starts, and fails at its first send
  }
  const auto undelivered = [&] {
    return lines_starting(*w->core.borrow(), "Alert not delivered to slack http://127.0.0.1/…: "
                                             "the sender stopped: injected failure at alert-send").size();
  };
  ASSERT_TRUE(testing_support::pump_until([&] { return undelivered() == 1; }, std::chrono::seconds(5)));
  {
    auto core = w->core.borrow();
    raise_alert(*core, AlertEvent::MinerGaveUp, "Mining stopped on rig");
    check_alerts(*core, Clock::now());
  }
  EXPECT_TRUE(testing_support::pump_until([&] { return undelivered() == 2; }, std::chrono::seconds(5)));
  EXPECT_TRUE(lines_starting(*w->core.borrow(), "GUI event recovered").empty());
  platform::disarm_faults();
}

TEST_F(Ui, FolderChangesAreRefusedWhileBusy) {
  w->core.borrow()->config_refresh_in_progress = true;  // buttons not yet refreshed
  w->core.borrow()->log_refresh_at = Clock::now() - std::chrono::seconds(1);
  headless::click(c().add_folder);
  EXPECT_TRUE(log_contains(*w->core.borrow(),
                           "Add Plot Folder is disabled while scanning, applying scan results, or refreshing miner config"));
  EXPECT_NE(text(c().log_box).find("Add Plot Folder is disabled"), std::string::npos) << "shown at once";
  headless::choose_menu_item(c().remove_item);
  EXPECT_TRUE(log_contains(*w->core.borrow(),
                           "Remove Plot Folder is disabled while scanning, applying scan results, or refreshing miner config"));
  headless::right_click(c().plot_list, 0);
  EXPECT_EQ(headless::shown_menu(), 0u);
}

TEST_F(Ui, TheDeleteKeyRemovesTheSelectedFolderAsTheMenuDoes) {
  const std::string a = platform::join_path(folder, "a"), b = platform::join_path(folder, "b");
  w->core.borrow()->settings.plot_dirs = {a, b};
  w->reload_controls();
  gui::select_row(c().plot_list, 1);
  w->core.borrow()->settings.plot_dirs = {a};  // the list still shows two rows
  headless::press_delete(c().plot_list);
  EXPECT_EQ(w->core.borrow()->settings.plot_dirs, std::vector<std::string>{a});
  w->core.borrow()->settings.plot_dirs = {a, b};
  w->reload_controls();
  const std::string refused =
      "Remove Plot Folder is disabled while scanning, applying scan results, or refreshing miner config";
  w->core.borrow()->config_refresh_in_progress = true;
  headless::press_delete(c().plot_list);  // nothing selected: not even the refusal is said
  EXPECT_FALSE(log_contains(*w->core.borrow(), refused));
  w->core.borrow()->config_refresh_in_progress = false;
  headless::press_delete(c().plot_list);
  EXPECT_EQ(w->core.borrow()->settings.plot_dirs.size(), 2u);
  gui::select_row(c().plot_list, 1);
  // Right clicks and commands of other controls remove nothing.
  headless::right_click(c().log_box, 0);
  EXPECT_EQ(headless::shown_menu(), 0u);
  headless::choose_menu_item(c().log_box);
  EXPECT_EQ(w->core.borrow()->settings.plot_dirs.size(), 2u);
  w->core.borrow()->config_refresh_in_progress = true;
  headless::press_delete(c().plot_list);
  EXPECT_TRUE(log_contains(*w->core.borrow(), refused));
  w->core.borrow()->config_refresh_in_progress = false;
  headless::press_delete(c().plot_list);
  EXPECT_EQ(w->core.borrow()->settings.plot_dirs, std::vector<std::string>{a});
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Removed plot directory: " + b));
  // The removal rescans; the first row goes once that is over.
  ASSERT_TRUE(testing_support::pump_until([&] { return !w->core.borrow()->scan_running; }));
  w->core.borrow()->pending_scan_results.reset();
  gui::select_row(c().plot_list, 0);
  headless::press_delete(c().plot_list);
  auto core = w->core.borrow();
  EXPECT_TRUE(core->settings.plot_dirs.empty());
  EXPECT_TRUE(log_contains(*core, "Removed plot directory: " + a));
  EXPECT_NE(testing_support::read_file(core->settings_path).find("\"plot_dirs\""), std::string::npos);
}

TEST_F(Ui, LogRendersAtMostTwiceASecondAndScrollsToTheEnd) {
  log_line(*w->core.borrow(), "zero");
  render_now();
  log_line(*w->core.borrow(), "first");
  w->refresh_display();  // within 500 ms of the last render: stays dirty
  EXPECT_EQ(text(c().log_box).find("first"), std::string::npos);
  render_now();
  std::string shown = text(c().log_box);
  EXPECT_NE(shown.find("[gui:mainnet] zero\r\n[gui:mainnet] first"), std::string::npos);
  EXPECT_NE(shown.find("\r\n"), std::string::npos);
  const int scrolled = headless::control_info(c().log_box).scrolled_to_line;
  EXPECT_GT(scrolled, 0);
  headless::click(c().clear_log);
  render_now();
  EXPECT_EQ(text(c().log_box), "");
  EXPECT_EQ(headless::control_info(c().log_box).scrolled_to_line, scrolled);  // not scrolled after a clear
}

TEST_F(Ui, TheLogBoxMovesOnWithoutRewritingItself) {
  // Whatever happens to the log, the box shows exactly the whole log, as one
  // text with CR LF between the lines; control characters (a NUL would cut
  // the box's text short) show as marks in both.
  auto expected = [&] {
    auto core = w->core.borrow();
    std::string joined;
    for (std::size_t i = 0; i < core->log_lines.size(); ++i) joined += (i ? "\r\n" : "") + core->log_lines[i];
    return joined;
  };
  const std::string kinds[] = {"plain", "wide \xE4\xB8\xAD\xE6\x96\x87", "emoji \xF0\x9F\x98\x80 x", "ends in CR\r",
                               "two\nparts", std::string("a NUL \0 inside", 15), "tab\tand bell\a", ""};
  std::uint64_t seed = 7;
  auto next = [&](std::uint64_t n) { return ((seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 33) % n; };
  for (int round = 0; round < 300; ++round) {
    const std::uint64_t burst = next(10) == 0 ? 400 + next(300) : next(6);
    for (std::uint64_t i = 0; i < burst; ++i) {
      raw_log_line(*w->core.borrow(), std::to_string(round) + " " + kinds[next(std::size(kinds))]);
    }
    if (next(40) == 0) clear_log(*w->core.borrow());
    render_now();
    ASSERT_EQ(text(c().log_box), expected()) << "round " << round;
  }
  // With the log full, one more line costs one line's write.
  for (int i = 0; i < 600; ++i) log_line(*w->core.borrow(), "filler " + std::to_string(i));
  render_now();
  log_line(*w->core.borrow(), "one more");
  render_now();
  EXPECT_EQ(headless::control_info(c().log_box).last_written_bytes, std::string("\r\n[gui:mainnet] one more").size());
  EXPECT_EQ(text(c().log_box), expected());
  // A refresh with nothing new leaves the box alone.
  const int writes = headless::control_info(c().log_box).writes;
  w->core.borrow()->log_refresh_at = Clock::now() - std::chrono::seconds(1);
  w->refresh_display();
  EXPECT_EQ(headless::control_info(c().log_box).writes, writes);
  // A whole box of new lines at once: none of the old ones is left.
  for (std::size_t i = 0; i < kLogLineLimit; ++i) log_line(*w->core.borrow(), "batch " + std::to_string(i));
  render_now();
  EXPECT_EQ(text(c().log_box), expected());
  // A box that does not hold what the window believes is written whole.
  gui::set_text(c().log_box, "cut short");
  log_line(*w->core.borrow(), "after a bad write");
  render_now();
  EXPECT_EQ(text(c().log_box), expected());
}

TEST_F(Ui, AUserWhoScrolledUpKeepsTheirPlaceAndSelectionWhileLinesComeAndGo) {
  const gui::ControlHandle box = c().log_box;
  for (std::size_t i = 0; i < kLogLineLimit; ++i) log_line(*w->core.borrow(), "line " + std::to_string(i));
  render_now();
  ASSERT_TRUE(gui::text_view(box).at_end);
  // The user scrolls up and selects a line's text (ASCII: bytes are units).
  headless::scroll_to(box, 200);
  const gui::TextView before = gui::text_view(box);
  ASSERT_FALSE(before.at_end);
  const std::string shown = text(box);
  const std::string chosen = "[gui:mainnet] line 195";
  const std::size_t at = shown.find(chosen + "\r\n");
  ASSERT_NE(at, std::string::npos);
  headless::select_text(box, at, at + chosen.size());
  // Three lines come and the three oldest go (the log is full).
  for (int i = 0; i < 3; ++i) log_line(*w->core.borrow(), "new " + std::to_string(i));
  render_now();
  const gui::TextView after = gui::text_view(box);
  EXPECT_FALSE(after.at_end);
  EXPECT_EQ(after.first_line, before.first_line - 3);
  const std::string now_shown = text(box);
  ASSERT_LE(after.selection_end, now_shown.size());
  EXPECT_EQ(now_shown.substr(after.selection_start, after.selection_end - after.selection_start), chosen);
  // Back at the end, the box follows the new lines again.
  const int last = static_cast<int>(std::count(now_shown.begin(), now_shown.end(), '\n'));
  headless::scroll_to(box, last);
  log_line(*w->core.borrow(), "followed");
  render_now();
  EXPECT_TRUE(gui::text_view(box).at_end);
  EXPECT_EQ(headless::control_info(box).scrolled_to_line, last);  // one added, one dropped
  EXPECT_EQ(text(box).substr(text(box).rfind('\n') + 1), "[gui:mainnet] followed");
  // A box found not to hold what the window wrote is written whole; a user
  // who had scrolled up stays at the line they were at.
  headless::scroll_to(box, 300);
  gui::set_text(box, text(box) + " and more");  // not what the window wrote
  headless::scroll_to(box, 300);
  const gui::TextView up = gui::text_view(box);
  ASSERT_FALSE(up.at_end);
  ASSERT_GT(up.first_line, 0);
  log_line(*w->core.borrow(), "after a bad write");
  render_now();
  EXPECT_EQ(text(box).substr(text(box).rfind('\n') + 1), "[gui:mainnet] after a bad write");
  EXPECT_EQ(text(box).find(" and more"), std::string::npos);
  EXPECT_EQ(gui::text_view(box).first_line, up.first_line);
  EXPECT_FALSE(gui::text_view(box).at_end);
}

TEST_F(Ui, LabelsAndButtonsAreWrittenOnlyWhenWhatTheyShowChanges) {
  auto refresh = [&] {
    {
      auto core = w->core.borrow();
      core->status_dirty = core->controls_dirty = true;
    }
    w->refresh_display();
  };
  refresh();
  const int label = headless::control_info(c().status_line).writes;
  const int button = headless::control_info(c().start_mining).writes;
  refresh();
  EXPECT_EQ(headless::control_info(c().status_line).writes, label);
  EXPECT_EQ(headless::control_info(c().start_mining).writes, button);
  w->core.borrow()->last_error = "disk full";
  w->core.borrow()->scan_running = true;
  refresh();
  EXPECT_EQ(headless::control_info(c().status_line).writes, label + 1);
  EXPECT_EQ(headless::control_info(c().start_mining).writes, button + 1);
  EXPECT_FALSE(gui::is_enabled(c().start_mining));
  w->core.borrow()->scan_running = false;
}

TEST_F(Ui, ARoundsProgressShowsAtMostTwiceASecondAndEveryOtherChangeAtOnce) {
  auto feed = [&](const std::string& line) {
    interpret_miner_line(*w->core.borrow(), line);
    w->refresh_display();
  };
  feed("#TOTAL:1000");  // a new round shows at once
  EXPECT_EQ(text(c().scan_status), "Scan Status: Scanning 0%");
  const int writes = headless::control_info(c().scan_status).writes;
  for (int i = 0; i < 50; ++i) feed("#SCAN_PROGRESS:10");
  EXPECT_EQ(headless::control_info(c().scan_status).writes, writes) << "progress within 500 ms of the last showing waits";
  w->core.borrow()->progress_shown_at -= kProgressRenderInterval;
  w->refresh_display();
  EXPECT_EQ(text(c().scan_status), "Scan Status: Scanning 50%");
  EXPECT_NE(text(c().status_line).find("Scan: Scanning 50%"), std::string::npos);
  // A new height right after shows at once, with the progress as it is then.
  feed("#SCAN_PROGRESS:100");
  feed("block_height=4242");
  EXPECT_NE(text(c().status_line).find("Height: 4242"), std::string::npos);
  EXPECT_EQ(text(c().scan_status), "Scan Status: Scanning 60%");
}

TEST_F(Ui, ARefreshAskedForDuringAnotherWaitsForIt) {
  w->refresh_running = true;  // as while a refresh writes its controls
  {
    auto core = w->core.borrow();
    core->last_error = "disk full";
    core->status_dirty = true;
  }
  w->refresh_display();
  EXPECT_EQ(text(c().status_line).find("disk full"), std::string::npos);
  EXPECT_TRUE(w->refresh_again);
  w->refresh_running = false;
  w->refresh_display();
  EXPECT_NE(text(c().status_line).find("    Last error: disk full"), std::string::npos);
}

TEST_F(Ui, TheListFollowsScanResultsAndFolderChecks) {
  const std::string scanned = platform::join_path(folder, "scanned");
  const std::string gone = platform::join_path(folder, "gone");
  {
    auto core = w->core.borrow();
    core->settings.plot_dirs = {scanned};
  }
  w->reload_controls();
  EXPECT_EQ(headless::control_info(c().plot_list).rows.size(), 1u);
  auto checks_over = [&] {
    return testing_support::pump_until([&] { return !w->core.borrow()->folder_check_running; });
  };
  ASSERT_TRUE(checks_over());
  {
    auto core = w->core.borrow();
    FolderReport& r = core->folder_reports[scanned];
    r.path = scanned;
    r.status = FolderStatus::Normal;
    r.file_count = 3;
    r.total_bytes = 1ull << 40;
    core->list_dirty = true;
  }
  w->refresh_display();
  headless::ControlInfo list = headless::control_info(c().plot_list);
  ASSERT_EQ(list.rows.size(), 1u) << "the rows are replaced, not added to";
  EXPECT_EQ(list.rows[0][1], "1.00T");
  EXPECT_EQ(list.rows[0][3], "3");
  EXPECT_TRUE(list.redraw);
  // A folder that appears in the list is looked for, whether the list is
  // redrawn or reloaded.
  w->core.borrow()->settings.plot_dirs = {scanned, gone};
  w->core.borrow()->list_dirty = true;
  w->refresh_display();
  EXPECT_TRUE(testing_support::pump_until(
      [&] { return headless::control_info(c().plot_list).rows.at(1).back() == "missing"; }, std::chrono::seconds(3)));
  ASSERT_TRUE(checks_over());
  const std::string gone_too = platform::join_path(folder, "gone too");
  {
    auto core = w->core.borrow();
    core->settings.plot_dirs = {gone_too};
  }
  w->reload_controls();
  EXPECT_TRUE(testing_support::pump_until(
      [&] { return headless::control_info(c().plot_list).rows.at(0).back() == "missing"; }, std::chrono::seconds(3)));
}

TEST_F(Ui, AReloadPutsTheSettingsRightAndShowsTheState) {
  {
    auto core = w->core.borrow();
    core->settings.plot_rescan_interval_secs = 30;
    core->current_height = 7;  // changed without marking anything
  }
  w->reload_controls();
  EXPECT_EQ(w->core.borrow()->settings.plot_rescan_interval_secs, 60u);
  EXPECT_EQ(text(c().rescan_interval), "1");
  EXPECT_EQ(text(c().current_height), "Current Height: 7");
}

TEST_F(Ui, ClosingWithoutAMinerEndsAtOnceAfterOk) {
  w->core.borrow()->auto_restart.due = Clock::now() + std::chrono::seconds(10);  // a miner ended a moment ago
  headless::answer_next_box(false);
  headless::request_close(w->window().handle());
  EXPECT_FALSE(headless::quit_posted());
  EXPECT_FALSE(w->exit_confirmed);
  EXPECT_TRUE(w->core.borrow()->auto_restart.due) << "Cancel keeps the automatic restart";
  EXPECT_EQ(headless::shown_boxes().back(), std::string(kExitCaption) + "|" + std::string(kExitText));
  headless::answer_next_box(true);
  headless::request_close(w->window().handle());
  EXPECT_TRUE(headless::quit_posted());
  EXPECT_TRUE(w->core.borrow()->exit_requested);
  EXPECT_FALSE(w->core.borrow()->auto_restart.due) << "OK cancels it";
  EXPECT_STREQ(phase(*w->core.borrow()), "exiting");
  const std::size_t boxes = headless::shown_boxes().size();
  headless::request_close(w->window().handle());  // confirmed already: ignored
  EXPECT_EQ(headless::shown_boxes().size(), boxes);
}

#ifndef _WIN32
std::size_t running_threads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}
#endif

// The program's end while its workers run: a scan stuck on storage that
// hangs, the readers of a miner in a flood, the log file's writer, the
// options watcher and the heartbeat. Releasing the window leaves them
// nothing of it to touch (the sanitizer builds run this too), and each of
// them ends.
TEST_F(Ui, ReleasingTheWindowWhileWorkersRunLeavesThemNothingToTouchAndTheyEnd) {
#ifdef _WIN32
  GTEST_SKIP() << "threads are counted through /proc";
#else
  const std::size_t threads_before = running_threads();
  const std::string stuck = scratch_folder("ui_stuck_storage");
  platform::arm_delay("folder-open " + stuck, std::chrono::milliseconds(1500));
  testing_support::set_env("VORN_SIM_MODE", "flood");
  testing_support::set_env("VORN_SIM_LINES", "2000000");
  EventSender sender;
  std::uint32_t miner = 0;
  {
    auto core = w->core.borrow();
    sender = core->event_sender;
    core->log_file = std::make_unique<ActivityLogFile>(platform::join_path(folder, std::string(kActivityLogFile)),
                                                       core->event_sender, core->notice);
    core->settings.plot_dirs = {stuck};
    request_scan(*core);
    core->settings.miner_exe_path = testing_support::sim_miner_path();
    launch_miner(*core, expected_miner_config_path());
    ASSERT_TRUE(core->miner_child);
    miner = core->miner_child->pid();
    log_line(*core, "the last line before the end");
  }
  testing_support::set_env("VORN_SIM_MODE", "rounds");
  start_options_watch(OptionsWatch{platform::join_path(folder, "options.json"), sender, w->notice,
                                   std::chrono::milliseconds(50)});
  spawn_detached_worker("heartbeat", [sender, notice = w->notice] { run_heartbeat(sender, notice); });
  sender = EventSender();
  testing_support::pump_until([] { return false; }, std::chrono::milliseconds(300));
  w->unbind_events();
  w.reset();
  // The miner itself is ended as the stop at the exit would; its readers,
  // the scan and the others end on their own.
  platform::run_tree_kill(miner);
  EXPECT_TRUE(testing_support::pump_until([&] { return running_threads() == threads_before; }, std::chrono::seconds(5)))
      << running_threads() - threads_before << " thread(s) still run";
  platform::disarm_faults();
  const std::string file = testing_support::read_file(platform::join_path(folder, std::string(kActivityLogFile)));
  EXPECT_NE(file.find("[gui:mainnet] the last line before the end"), std::string::npos) << "written before the end";
#endif
}

TEST_F(Ui, ClosingWhileTheBoxIsOpenAsksOnce) {
  const std::size_t before = headless::shown_boxes().size();
  headless::while_next_box_is_open([&] { headless::request_close(w->window().handle()); });
  headless::answer_next_box(false);
  headless::request_close(w->window().handle());
  EXPECT_EQ(headless::shown_boxes().size(), before + 1);
  EXPECT_FALSE(headless::quit_posted());
}

// The window holds and shows a running miner that ends by itself after
// 300 ms.
void hold_a_miner_that_ends_soon(MainWindow& w) {
  testing_support::set_env("VORN_SIM_MODE", "exit");
  testing_support::set_env("VORN_SIM_DELAY_MS", "300");
  {
    auto core = w.core.borrow();
    core->miner_child = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""}).value();
    core->miner_state = MinerState::Running;
    core->status_dirty = core->controls_dirty = true;
  }
  testing_support::set_env("VORN_SIM_MODE", "rounds");
  w.refresh_display();
}

TEST_F(Ui, ClosingWithAMinerStopsItFirst) {
  hold_a_miner_that_ends_soon(*w);
  headless::answer_next_box(true);
  headless::request_close(w->window().handle());
  EXPECT_FALSE(headless::quit_posted()) << "not before the miner has stopped";
  EXPECT_TRUE(w->core.borrow()->stop_in_progress);
  EXPECT_EQ(text(c().status_line).rfind("Miner: Stopping", 0), 0u) << "shown at once";
  ASSERT_TRUE(testing_support::pump_until([&] { return headless::quit_posted(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Miner stopped with status exit code: 0"));
}

TEST_F(Ui, StopMiningStopsTheHeldMiner) {
  hold_a_miner_that_ends_soon(*w);
  headless::click(c().stop_mining);
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Stopping miner..."));
  ASSERT_TRUE(testing_support::pump_until([&] { return !w->core.borrow()->stop_in_progress; }, std::chrono::seconds(10)));
  EXPECT_EQ(w->core.borrow()->miner_state, MinerState::Stopped);
}

TEST_F(Ui, LaunchAtLogonCheckBox) {
  w->core.borrow()->log_refresh_at = Clock::now() - std::chrono::seconds(1);
  headless::click(c().start_with_windows);
  EXPECT_TRUE(gui::is_checked(c().start_with_windows));
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Windows startup GUI launch enabled for VORN Miner GUI Mainnet."));
  EXPECT_NE(text(c().log_box).find("Windows startup GUI launch enabled"), std::string::npos) << "shown at once";
  EXPECT_TRUE(read_startup_state().value());
  headless::click(c().start_with_windows);
  EXPECT_FALSE(gui::is_checked(c().start_with_windows));
  EXPECT_TRUE(log_contains(*w->core.borrow(), "Windows startup GUI launch disabled for VORN Miner GUI Mainnet."));
  EXPECT_FALSE(read_startup_state().value());
  // Unchecking when nothing is there is no error either.
  EXPECT_EQ(apply_startup_choice(false), "Windows startup GUI launch disabled for VORN Miner GUI Mainnet.");
  // A choice that cannot be stored leaves the box showing what is stored.
  platform::arm_fault("executable-path");
  headless::click(c().start_with_windows);
  EXPECT_TRUE(lines_starting(*w->core.borrow(), "Failed to update Windows startup GUI launch: ").size() == 1);
  EXPECT_FALSE(gui::is_checked(c().start_with_windows));
  EXPECT_FALSE(read_startup_state().value());
  // An entry there, but this program's own path cannot be read: the state is
  // unknown, not "off".
  ASSERT_EQ(apply_startup_choice(true), "Windows startup GUI launch enabled for VORN Miner GUI Mainnet.");
  platform::arm_fault("executable-path");
  Result<bool> unknown = read_startup_state();
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error().rfind("cannot read current GUI exe path: ", 0), 0u) << unknown.error();
  apply_startup_choice(false);
#ifndef _WIN32
  // An entry that cannot be read is an error too.
  const std::string entry = platform::join_path(platform::join_path(platform::join_path(folder, "config"), "autostart"),
                                                std::string(kProfile.run_value_name) + ".desktop");
  std::filesystem::create_directories(std::filesystem::u8path(entry));
  Result<bool> unreadable = read_startup_state();
  ASSERT_FALSE(unreadable.ok());
  EXPECT_EQ(unreadable.error().rfind("failed to read HKCU Run value: ", 0), 0u) << unreadable.error();
#endif
}

TEST_F(Ui, TheWindowsOwnWritesAreNotUserEdits) {
  // Edit fields raise their text-changed event for the program's own writes
  // too; reloading and refreshing must neither schedule a save nor touch the
  // startup entry.
  for (bool at_logon : {true, false}) {
    apply_startup_choice(at_logon);
    {
      auto core = w->core.borrow();
      core->settings.miner_name = at_logon ? "Rig 9" : "Rig 10";
      core->settings.plot_rescan_interval_secs = at_logon ? 300 : 90;
      log_line(*core, "a line for the log box");
    }
    w->reload_controls();
    render_now();
    EXPECT_EQ(text(c().miner_name), at_logon ? "Rig 9" : "Rig 10");
    EXPECT_EQ(text(c().rescan_interval), at_logon ? "5" : "2");
    EXPECT_EQ(gui::is_checked(c().start_with_windows), at_logon);
    EXPECT_EQ(read_startup_state().value(), at_logon);
    auto core = w->core.borrow();
    EXPECT_FALSE(core->save_pending);
    EXPECT_FALSE(core->save_requested_at.has_value());
    EXPECT_FALSE(log_contains(*core, "Windows startup GUI launch"));
    EXPECT_EQ(core->settings.plot_rescan_interval_secs, at_logon ? 300u : 90u);  // not re-read as whole minutes
  }
  EXPECT_FALSE(std::filesystem::exists(w->core.borrow()->settings_path));
  headless::type_text(c().miner_name, "Rig 11");  // while the user's typing is one
  EXPECT_TRUE(w->core.borrow()->save_pending);
}

TEST(RunCommand, Recognition) {
  EXPECT_EQ(command_path("\"C:\\Program Files\\gui.exe\" --x"), "C:\\Program Files\\gui.exe");
  EXPECT_EQ(command_path("  C:\\gui.exe --minimized "), "C:\\gui.exe");
  EXPECT_EQ(command_path("\"C:\\no end"), "C:\\no end");
  EXPECT_EQ(command_path("C:\\gui.exe"), "C:\\gui.exe");  // the path alone
  EXPECT_EQ(command_path(""), "");
}

TEST(PlotRows, TextsOfEachColumn) {
  AppCore core = testing_support::make_core(scratch_folder("rows"));
  const std::string scanned = "D:\\scanned", fresh = scratch_folder("rows_fresh"), gone = "/no/such/folder";
  core.settings.plot_dirs = {gone, scanned, fresh};
  FolderReport r{scanned, FolderStatus::Normal, 12, 3ull << 40, std::nullopt,
                 CompressionSummary{CompressionSummary::Kind::Mixed, {"X1", "X2"}}, 0.005};
  core.folder_reports[scanned + "\\"] = r;
  // Nothing on the GUI thread asks the file system: until a worker's answer
  // arrives, a folder without a report is "not scanned".
  std::vector<PlotRow> rows = build_plot_rows(core);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (PlotRow{gone, "-", "-", "-", "-", "-", "not scanned"}));
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  // The worker's answers wake a window on this thread, whose handler takes them.
  gui::Window window = gui::Window::create("rows").value();
  core.event_sender = std::move(sender);
  core.notice = window.notice(1);
  int checked = 0;
  auto take_answers = [&] {
    while (std::optional<WorkerEvent> e = receiver.try_recv()) {
      if (auto* f = std::get_if<FolderChecked>(&*e)) checked += !f->path.empty();
      dispatch_event(core, std::move(*e));
    }
  };
  window.bind([&](const gui::Event& e) {
    if (e.kind == gui::EventKind::Notice) take_answers();
  });
  request_folder_checks(core);
  EXPECT_TRUE(core.folder_check_running);
  request_folder_checks(core);  // at most one check at a time
  // Only the workers hold a sender now: once none is left, every worker has
  // ended and everything any of them sent is queued, so the counts below are
  // final (a second worker, or a folder asked about twice, would show).
  core.event_sender = EventSender();
  ASSERT_TRUE(testing_support::pump_until([&] { return !receiver.has_senders(); }, std::chrono::seconds(20)))
      << "the folder check did not end";
  take_answers();
  EXPECT_FALSE(core.folder_check_running);
  EXPECT_EQ(checked, 2) << "each unknown folder is asked about once";
  EXPECT_TRUE(core.list_dirty);
  EXPECT_EQ(core.folder_presence.size(), 2u);  // the scanned folder is not asked about
  rows = build_plot_rows(core);
  EXPECT_EQ(rows[0], (PlotRow{gone, "-", "-", "0", "-", "-", "missing"}));
  EXPECT_EQ(rows[1], (PlotRow{scanned, "3.00T", "Unknown", "12", "<0.01s", "Mixed: X1/X2", "normal"}));
  EXPECT_EQ(rows[2], (PlotRow{fresh, "-", "-", "-", "-", "-", "not scanned"}));
  EXPECT_EQ(scan_time_text(1.25), "1.25s");
}

}  // namespace
}  // namespace vorn
