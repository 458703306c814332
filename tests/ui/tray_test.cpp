#include <gtest/gtest.h>

#include "alerts/alerts.h"

#include "core/build_profile.h"
#include "core/supervisor.h"
#include "miner/discovery.h"
#include "options/options_apply.h"
#include "platform/headless/headless_gui.h"
#include "platform/headless/headless_tray.h"
#include "platform/paths.h"
#include "support/test_support.h"
#include "ui/main_window.h"

namespace vorn {
namespace {

namespace gui = platform::gui;
namespace headless = platform::gui::headless;
using gui::TrayAction;
using testing_support::untagged_log;

class Tray : public ::testing::Test {
 protected:
  void SetUp() override {
    headless::reset_tray();
    headless::clear_quit();
    folder = testing_support::scratch_folder("tray");
    testing_support::set_env("XDG_CONFIG_HOME", platform::join_path(folder, "config"));
    w = build();
  }
  void TearDown() override {
    headless::reset_tray();
    headless::clear_quit();
  }

  std::unique_ptr<MainWindow> build() {
    auto [sender, receiver] = Channel<WorkerEvent>::create();
    gui::Window window = gui::Window::create(window_caption()).value();
    AppCore core(sender, window.notice(1), Clock::now());
    core.settings_path = platform::join_path(folder, kProfile.settings_file);
    core.settings.miner_exe_path = platform::join_path(folder, "nowhere.exe");
    core.auto_start_done = true;
    normalize_settings(core.settings);
    auto built = MainWindow::build(std::move(window), std::move(core), std::move(receiver)).value();
    built->bind_events();
    return built;
  }
  // The options file read (at start-up the first time), as the watcher sends it.
  static void read_options(MainWindow& m, const Options& options) {
    OptionsRead read;
    read.kind = OptionsRead::Kind::Loaded;
    read.options = std::make_shared<const Options>(options);
    read.first = m.core.borrow()->options_generation == 0;
    handle_options_read(*m.core.borrow(), read);
    m.refresh_display();
  }
  gui::WindowHandle handle() { return w->window().handle(); }
  std::string tooltip() { return headless::tray_of(handle()).value().tooltip; }
  std::size_t log_size() { return w->core.borrow()->log_lines_added; }

  std::string folder;
  std::unique_ptr<MainWindow> w;
};

TEST_F(Tray, TheTooltipFollowsStateAndHeightAtMostOnceASecondAndOnlyWhenItChanged) {
  EXPECT_FALSE(headless::tray_of(handle())) << "no icon before the options are read";
  read_options(*w, Options{});  // tray_icon is on by default
  const Instant added = Clock::now();
  ASSERT_TRUE(headless::tray_of(handle()));
  EXPECT_EQ(tooltip(), "Qubo-VORN MAINNET: Stopped, height -");
  {
    auto core = w->core.borrow();
    core->miner_state = MinerState::RestartPending;
    core->current_height = 4242;
  }
  w->refresh_display();
  EXPECT_EQ(tooltip(), "Qubo-VORN MAINNET: Stopped, height -") << "within a second of the last write";
  ASSERT_TRUE(testing_support::pump_until([&] {
    w->refresh_display();
    return tooltip() != "Qubo-VORN MAINNET: Stopped, height -";
  }, std::chrono::seconds(3)));
  EXPECT_GE(Clock::now() - added, kTrayTipInterval - std::chrono::milliseconds(5));
  EXPECT_EQ(tooltip(), "Qubo-VORN MAINNET: Restart pending, height 4242");
  EXPECT_EQ(headless::tray_of(handle())->tooltip_writes, 1);
  // Two changes inside a second: the last one is written once, a second later.
  w->core.borrow()->miner_state = MinerState::Running;
  w->refresh_display();
  w->core.borrow()->current_height = 4243;
  w->refresh_display();
  const Instant changed = Clock::now();
  ASSERT_TRUE(testing_support::pump_until([&] {
    w->refresh_display();
    return headless::tray_of(handle())->tooltip_writes == 2;
  }, std::chrono::seconds(3)));
  EXPECT_GE(Clock::now() - changed, std::chrono::milliseconds(900));
  EXPECT_EQ(tooltip(), "Qubo-VORN MAINNET: Running, height 4243");
  // Nothing changed: nothing written, however long it runs.
  testing_support::pump_until([&] {
    w->refresh_display();
    return false;
  }, std::chrono::milliseconds(1200));
  EXPECT_EQ(headless::tray_of(handle())->tooltip_writes, 2);
}

TEST_F(Tray, TheMenuDoesWhatTheButtonsDoAndExitAsksTheSameQuestion) {
  read_options(*w, Options{});
  // The menu shows the mining items as the buttons are.
  headless::tray_right_click(handle());
  std::optional<headless::TrayMenu> menu = headless::shown_tray_menu();
  ASSERT_TRUE(menu);
  EXPECT_TRUE(menu->start_enabled);
  EXPECT_FALSE(menu->stop_enabled);

  // Start Mining: the settings taken from the fields, then the start, as the button does.
  w->core.borrow()->settings.miner_name = "stale";
  headless::choose_tray_item(handle(), TrayAction::StartMining);
  EXPECT_EQ(w->core.borrow()->settings.miner_name, "Vorn Miner");
  EXPECT_EQ(untagged_log(*w->core.borrow()).back(), std::string(kMinerNotFound));

  // While a scan runs the button is disabled: the menu greys the item, and
  // the command (chosen before the scan began) does nothing.
  {
    auto core = w->core.borrow();
    core->scan_running = true;
    core->controls_dirty = true;
  }
  headless::tray_right_click(handle());
  menu = headless::shown_tray_menu();
  ASSERT_TRUE(menu);
  EXPECT_FALSE(menu->start_enabled);
  std::size_t lines = log_size();
  headless::choose_tray_item(handle(), TrayAction::StartMining);
  headless::choose_tray_item(handle(), TrayAction::StopMining);
  EXPECT_EQ(log_size(), lines);
  w->core.borrow()->scan_running = false;

  // A pending automatic restart enables Stop Mining, which cancels it.
  {
    auto core = w->core.borrow();
    core->auto_restart.due = Clock::now() + std::chrono::seconds(30);
    core->controls_dirty = true;
  }
  headless::tray_right_click(handle());
  menu = headless::shown_tray_menu();
  ASSERT_TRUE(menu);
  EXPECT_TRUE(menu->stop_enabled);
  headless::choose_tray_item(handle(), TrayAction::StopMining);
  EXPECT_FALSE(w->core.borrow()->auto_restart.due);
  EXPECT_EQ(untagged_log(*w->core.borrow()).back(), "Restart cancelled; the miner stays stopped");

  // Show Window and a double click bring a hidden window back.
  gui::hide_window(handle());
  headless::choose_tray_item(handle(), TrayAction::ShowWindow);
  EXPECT_TRUE(gui::window_visible(handle()));
  gui::hide_window(handle());
  headless::tray_double_click(handle());
  EXPECT_TRUE(gui::window_visible(handle()));
  EXPECT_FALSE(gui::window_minimized(handle()));

  // Exit: the exit question; Cancel keeps the program, OK ends it.
  headless::answer_next_box(false);
  headless::choose_tray_item(handle(), TrayAction::Exit);
  EXPECT_EQ(headless::shown_boxes().back(), std::string(kExitCaption) + "|" + std::string(kExitText));
  EXPECT_FALSE(headless::quit_posted());
  EXPECT_FALSE(w->core.borrow()->exit_requested);
  headless::answer_next_box(true);
  headless::choose_tray_item(handle(), TrayAction::Exit);
  EXPECT_TRUE(headless::quit_posted());
  EXPECT_TRUE(w->core.borrow()->exit_requested);
}

TEST_F(Tray, TheIconAndMinimisingFollowTheOptions) {
  Options off;
  off.tray_icon = false;
  off.minimize_to_tray = true;
  read_options(*w, off);
  EXPECT_FALSE(headless::tray_of(handle()));
  headless::minimize(handle());
  EXPECT_TRUE(gui::window_visible(handle())) << "no icon to bring it back: minimised to the taskbar";

  Options on;
  read_options(*w, on);
  ASSERT_TRUE(headless::tray_of(handle()));
  gui::show_window(handle());
  headless::minimize(handle());
  EXPECT_TRUE(gui::window_visible(handle())) << "minimize_to_tray is off";

  on.minimize_to_tray = true;
  read_options(*w, on);
  headless::minimize(handle());
  EXPECT_FALSE(gui::window_visible(handle()));
  // The icon goes while the window is hidden: the window comes back.
  read_options(*w, off);
  EXPECT_FALSE(headless::tray_of(handle()));
  EXPECT_TRUE(gui::window_visible(handle()));
  // start_minimized counts at start-up only.
  Options start;
  start.start_minimized = true;
  read_options(*w, start);
  EXPECT_FALSE(gui::window_minimized(handle()));

  // Start-up: hidden with the icon and minimize_to_tray, else minimised to the taskbar.
  start.minimize_to_tray = true;
  std::unique_ptr<MainWindow> hidden = build();
  read_options(*hidden, start);
  EXPECT_FALSE(gui::window_visible(hidden->window().handle()));
  headless::refuse_tray_icons(true);  // a shell not there to take the icon
  std::unique_ptr<MainWindow> refused = build();
  read_options(*refused, start);
  EXPECT_TRUE(gui::window_visible(refused->window().handle()));
  EXPECT_TRUE(gui::window_minimized(refused->window().handle()));
  headless::minimize(refused->window().handle());
  EXPECT_TRUE(gui::window_visible(refused->window().handle()));
  headless::refuse_tray_icons(false);
  start.minimize_to_tray = false;
  std::unique_ptr<MainWindow> minimised = build();
  read_options(*minimised, start);
  EXPECT_TRUE(gui::window_visible(minimised->window().handle()));
  EXPECT_TRUE(gui::window_minimized(minimised->window().handle()));
  // The icon goes with its window.
  const gui::WindowHandle gone = hidden->window().handle();
  hidden.reset();
  EXPECT_FALSE(headless::tray_of(gone));
}

TEST_F(Tray, WarningAndCriticalAlertsBecomeNotificationsUnlessOffOrQuiet) {
  EXPECT_FALSE(w->notify_tray(AlertLevel::Critical, "before the options")) << "no icon yet";
  read_options(*w, Options{});
  EXPECT_TRUE(w->notify_tray(AlertLevel::Warning, "miner stalled for 10 min"));
  EXPECT_TRUE(w->notify_tray(AlertLevel::Critical, "miner exited"));
  EXPECT_FALSE(w->notify_tray(AlertLevel::Info, "miner started"));
  headless::set_quiet_time(true);
  EXPECT_FALSE(w->notify_tray(AlertLevel::Critical, "during quiet time"));
  headless::set_quiet_time(false);
  Options quiet;
  quiet.tray_notifications = false;
  read_options(*w, quiet);
  EXPECT_FALSE(w->notify_tray(AlertLevel::Critical, "notifications off"));
  Options no_icon;
  no_icon.tray_icon = false;
  read_options(*w, no_icon);
  EXPECT_FALSE(w->notify_tray(AlertLevel::Critical, "no icon"));
  EXPECT_EQ(headless::tray_notifications(),
            (std::vector<std::string>{"warning|Qubo-VORN MAINNET|miner stalled for 10 min",
                                      "error|Qubo-VORN MAINNET|miner exited"}));
  // An alert raised where it happens (no alert channel needed) shows at the
  // window's next refresh; an info alert does not.
  read_options(*w, Options{});
  raise_alert(*w->core.borrow(), AlertEvent::MinerGaveUp, "Mining stopped on rig");
  raise_alert(*w->core.borrow(), AlertEvent::MiningResumed, "Mining again on rig at height 7");
  EXPECT_EQ(headless::tray_notifications().size(), 2u) << "not before the refresh";
  w->refresh_display();
  w->refresh_display();  // each alert once
  EXPECT_EQ(headless::tray_notifications(),
            (std::vector<std::string>{"warning|Qubo-VORN MAINNET|miner stalled for 10 min",
                                      "error|Qubo-VORN MAINNET|miner exited",
                                      "error|Qubo-VORN MAINNET|Mining stopped on rig"}));
  // A burst between two refreshes shows its newest notices, as many as the
  // tray keeps; the older ones of the burst are dropped.
  for (int i = 1; i <= 7; ++i) {
    raise_alert(*w->core.borrow(), AlertEvent::MinerGaveUp, "burst " + std::to_string(i));
  }
  w->refresh_display();
  std::vector<std::string> burst = headless::tray_notifications();
  ASSERT_EQ(burst.size(), 3 + kTrayNoticeLimit);
  burst.erase(burst.begin(), burst.begin() + 3);
  EXPECT_EQ(burst, (std::vector<std::string>{"error|Qubo-VORN MAINNET|burst 3", "error|Qubo-VORN MAINNET|burst 4",
                                             "error|Qubo-VORN MAINNET|burst 5", "error|Qubo-VORN MAINNET|burst 6",
                                             "error|Qubo-VORN MAINNET|burst 7"}));
  // A worker's notice handled while the shell shows a notification asks for
  // a refresh inside the running one: it waits for that one to end, so the
  // notifications keep their order and none is lost.
  raise_alert(*w->core.borrow(), AlertEvent::MinerGaveUp, "first");
  raise_alert(*w->core.borrow(), AlertEvent::MinerGaveUp, "second");
  headless::while_next_tray_notice_shows([&] {
    raise_alert(*w->core.borrow(), AlertEvent::MinerGaveUp, "third");
    w->notice.wake();  // its drain refreshes the window
  });
  w->refresh_display();
  const std::vector<std::string> shown = headless::tray_notifications();
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(shown.end() - 3, shown.end()),
            (std::vector<std::string>{"error|Qubo-VORN MAINNET|first", "error|Qubo-VORN MAINNET|second",
                                      "error|Qubo-VORN MAINNET|third"}));
  EXPECT_FALSE(w->refresh_running);
}

}  // namespace
}  // namespace vorn
