#pragma once
// Helpers shared by the test suites: scratch folders, file writing, and a
// ready-made application state.
#include <string>
#include <string_view>

#include "core/app_core.h"

namespace vorn::testing_support {

// A fresh, empty folder below the test executable's folder.
std::string scratch_folder(std::string_view name);
void write_file(const std::string& path, std::string_view bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void remove_tree(const std::string& path);

// An AppCore whose settings file lies in `folder`.
AppCore make_core(const std::string& folder);
// The log lines without the "[gui:mainnet] " tag.
std::vector<std::string> untagged_log(const AppCore& core);
bool log_contains(const AppCore& core, std::string_view message);
// The untagged log lines that begin with `prefix`.
std::vector<std::string> lines_starting(const AppCore& core, std::string_view prefix);

}  // namespace vorn::testing_support

#include <chrono>
#include <functional>
#include <memory>

#include "core/window_object.h"
#include "platform/gui.h"

namespace vorn::testing_support {

// A headless main window with a real channel and notice; counts display
// refreshes and the deepest drain nesting seen.
class TestWindow : public WindowObject {
 public:
  static std::unique_ptr<TestWindow> create(const std::string& folder);
  void refresh_display() override;

  EventSender sender;
  platform::gui::Window window;
  int refreshes = 0;
  int deepest_drain = 0;
  std::function<void()> on_refresh;
  // What the window does with a notice; the supervisor's drain by default.
  std::function<void()> notice_handler;

 private:
  TestWindow(platform::gui::Window w, AppCore core, EventSender s, EventReceiver r);
};

// Handles queued notices until `done` holds (or the time is up).
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));

void set_env(const char* name, const std::string& value);

// The simulated miner built for this target.
std::string sim_miner_path();

// The process listing's line for `pid` once it names `text` in its command
// line: a process that is still starting is listed without one for a moment.
bool listed_with(std::uint32_t pid, std::string_view text);

}  // namespace vorn::testing_support
