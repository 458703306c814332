#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/build_profile.h"
#include "core/event_guard.h"
#include "core/supervisor.h"
#include "platform/headless/headless_gui.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace vorn::testing_support {

namespace fs = std::filesystem;

std::string scratch_folder(std::string_view name) {
  std::string folder = exe_relative(std::string("scratch_") + std::string(name));
  remove_tree(folder);
  fs::create_directories(fs::u8path(folder));
  return folder;
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) { return fs::exists(fs::u8path(path)); }

// Read-only files included: Windows refuses to delete those.
void remove_tree(const std::string& path) {
  std::error_code ec;
  fs::permissions(fs::u8path(path), fs::perms::all, fs::perm_options::add, ec);
  for (fs::recursive_directory_iterator it(fs::u8path(path), ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ignored;
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
  fs::remove_all(fs::u8path(path), ec);
}

AppCore make_core(const std::string& folder) {
  AppCore core(EventSender(), platform::gui::NoticeTarget{}, Clock::now());
  core.settings_path = platform::join_path(folder, kProfile.settings_file);
  return core;
}

std::vector<std::string> untagged_log(const AppCore& core) {
  std::vector<std::string> lines;
  std::string tag = std::string(kProfile.log_tag) + " ";
  for (const std::string& line : core.log_lines) {
    lines.push_back(line.rfind(tag, 0) == 0 ? line.substr(tag.size()) : line);
  }
  return lines;
}

bool log_contains(const AppCore& core, std::string_view message) {
  for (const std::string& line : untagged_log(core)) {
    if (line == message) return true;
  }
  return false;
}

std::vector<std::string> lines_starting(const AppCore& core, std::string_view prefix) {
  std::vector<std::string> found;
  for (const std::string& line : untagged_log(core)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}


TestWindow::TestWindow(platform::gui::Window w, AppCore core, EventSender s, EventReceiver r)
    : WindowObject(w.notice(1), std::move(core), std::move(r)), sender(std::move(s)), window(std::move(w)) {}

std::unique_ptr<TestWindow> TestWindow::create(const std::string& folder) {
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  platform::gui::Window window = platform::gui::Window::create("test").value();
  AppCore core(sender, window.notice(1), Clock::now());
  core.settings_path = platform::join_path(folder, kProfile.settings_file);
  std::unique_ptr<TestWindow> w(new TestWindow(std::move(window), std::move(core), sender, std::move(receiver)));
  TestWindow* self = w.get();
  w->notice_handler = [self] { guard_event(*self, [self] { on_notice(*self); }); };
  w->window.bind([self](const platform::gui::Event& e) {
    if (e.kind == platform::gui::EventKind::Notice) self->notice_handler();
  });
  return w;
}

void TestWindow::refresh_display() {
  ++refreshes;
  deepest_drain = std::max(deepest_drain, drain_depth);
  if (on_refresh) on_refresh();
}

bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return platform::gui::headless::pump_until(done, limit);
}

void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

bool listed_with(std::uint32_t pid, std::string_view text) {
  Result<std::string> listed = platform::list_miner_processes();
  if (!listed.ok()) return false;
  const std::string& all = listed.value();
  const std::string head = std::to_string(pid) + "\t";
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t end = std::min(all.find('\n', at), all.size());
    const std::string_view line = std::string_view(all).substr(at, end - at);
    if (line.substr(0, head.size()) == head) return line.find(text) != std::string_view::npos;
    at = end + 1;
  }
  return false;
}

std::string sim_miner_path() {
  std::string path = VORN_SIM_MINER_PATH;
#ifdef _WIN32
  // Wine maps the Linux root to drive Z:.
  if (!path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
#endif
  return path;
}

}  // namespace vorn::testing_support
