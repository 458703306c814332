// Real faults in the real program, driven from outside its window. Each
// scenario prints "ok"/"FAIL" lines; tests/faults/run.sh lays out the
// folders, mounts the file systems and sets the environment they need.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "core/output_budget.h"
#include "faults.h"
#include "settings/settings.h"
#include "window_access.h"

namespace driver {
namespace {

using Seconds = std::chrono::seconds;

// Asks the window to answer an empty message every 250 ms, each within 1 s:
// a window that does not answer is frozen.
class ResponseWatch {
 public:
  explicit ResponseWatch(HWND window)
      : thread_([this, window] {
          while (!stop_) {
            const auto start = std::chrono::steady_clock::now();
            DWORD_PTR answer = 0;
            if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &answer)) {
              if (!IsWindow(window)) break;
              ++missed_;
            }
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count();
            worst_ms_ = std::max<long long>(worst_ms_, ms);
            ++asked_;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
          }
        }) {}
  ~ResponseWatch() { finish(); }
  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void report(const std::string& during) {
    finish();
    check(asked_ > 0 && missed_ == 0, "the window answered within 1 s " + during + " (" + std::to_string(asked_) +
                                          " asked, " + std::to_string(missed_) + " missed, worst " +
                                          std::to_string(worst_ms_) + " ms)");
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> asked_{0}, missed_{0};
  std::atomic<long long> worst_ms_{0};
  std::thread thread_;
};

struct Program {
  HWND window = nullptr;
  HANDLE process = nullptr;
  std::vector<HWND> controls;
  HWND status() const { return controls[3]; }
  HWND list() const { return controls[11]; }
  HWND log() const { return controls[27]; }
  HWND button(const wchar_t* text) const { return child_with_text(window, text); }
  bool logged(const std::wstring& text) const { return log_has(log(), text); }
  bool wait_logged(const std::wstring& text, Seconds limit) const {
    return wait_until([&] { return logged(text); }, limit);
  }
  bool status_is(const wchar_t* state) const { return text_of(status()).rfind(std::wstring(L"Miner: ") + state, 0) == 0; }
  // Waits for the miner state, then checks it with the status line as seen then.
  void check_state(const wchar_t* state, Seconds limit, const std::string& what) const {
    const bool reached = wait_until([&] { return status_is(state); }, limit);
    check(reached, what + ": " + utf8(text_of(status())));
  }
};

// Starts the program in `folder` and waits for its 28 controls.
bool start(const std::wstring& folder, Program& p, Seconds limit = Seconds(30)) {
  p.window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &p.process, limit);
  if (!p.window) return false;
  if (!wait_until([&] { return children(p.window).size() >= 28; }, limit)) {
    fail("controls not created");
    return false;
  }
  p.controls = children(p.window);
  return true;
}

void close_with_ok(Program& p, Seconds limit = Seconds(60), const std::string& during = "") {
  driver::close_with_ok(p.window, p.process, limit, during);
}

int miners_from(const std::wstring& folder) { return static_cast<int>(miners_started_from(folder).size()); }

bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The system's clock in seconds since 1970, as Linux tools print it.
double unix_seconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<double>(ticks - 116444736000000000ULL) / 1e7;
}

// Waits for a miner started from `folder` and then for its end; `ended`
// is when its process was gone and `code` its exit status.
bool watch_miner_end(const std::wstring& folder, Seconds limit, std::chrono::steady_clock::time_point& ended,
                     DWORD& code) {
  std::vector<DWORD> pids;
  if (!wait_until([&] { return !(pids = miners_started_from(folder)).empty(); }, limit)) return false;
  HANDLE miner = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pids.front());
  if (!miner) return false;
  const bool gone = WaitForSingleObject(miner, static_cast<DWORD>(limit.count() * 1000)) == WAIT_OBJECT_0;
  ended = std::chrono::steady_clock::now();
  code = 0;
  GetExitCodeProcess(miner, &code);
  CloseHandle(miner);
  return gone;
}

// PowerShell hangs with its output open: start-up waits its 30 s bound,
// then the automatic start's refresh fails after the same bound, while the
// window answers.
int hung_query(const std::wstring& folder) {
  Program p;
  const auto begin = std::chrono::steady_clock::now();
  if (!start(folder, p, Seconds(90))) return 1;
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  check(took < Seconds(45), "the controls appeared after " + std::to_string(took.count()) + " ms");
  check(p.wait_logged(L"startup orphan miner cleanup skipped: could not query existing vorn_miner.exe processes: "
                      L"timed out after 30 s", Seconds(5)),
        "start-up says the process query timed out");
  ResponseWatch watch(p.window);
  check(p.wait_logged(L"Miner configuration refresh failed: could not query existing vorn_miner.exe processes: "
                      L"timed out after 30 s", Seconds(60)),
        "the automatic start's refresh says the query timed out");
  p.check_state(L"Error", Seconds(5), "status");
  check(miners_from(folder) == 0, "no miner was started");
  watch.report("while the refresh waited for the query");
  close_with_ok(p);
  return finish();
}

// taskkill hangs: the stop waits 5 s, the tree kill its 30 s, then the
// miner is terminated directly.
int hung_kill(const std::wstring& folder) {
  Program p;
  if (!start(folder, p)) return 1;
  p.check_state(L"Running", Seconds(30), "automatic start");
  ResponseWatch watch(p.window);
  const auto begin = std::chrono::steady_clock::now();
  click(p.button(L"Stop Mining"));
  check(p.wait_logged(L"Miner killed after stop timeout", Seconds(60)), "the stop fell back to ending the miner itself");
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
  check(took >= Seconds(34) && took < Seconds(50), "the stop took " + std::to_string(took.count()) + " s");
  p.check_state(L"Stopped", Seconds(5), "status");
  check(wait_until([&] { return miners_from(folder) == 0; }, Seconds(10)), "the miner is gone");
  watch.report("during the stop");
  close_with_ok(p);
  return finish();
}

// One plot folder on storage whose metadata calls hang: the window answers
// throughout, the scan completes once the storage answers, and the folder
// is then reported like any other. The time the folder's answer was seen
// is printed for the script, which holds it against the storage's own log.
// Then the storage hangs again (a lookup of "rehang" on it) under a manual
// scan, and a confirmed exit while that worker is stuck ends the program
// with status 0 once the system lets go of the call.
int dead_storage(const std::wstring& folder, const std::wstring& dead, int hang_seconds) {
  Program p;
  const auto begin = std::chrono::steady_clock::now();
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  check(took < Seconds(hang_seconds) / 2, "the window came up in " + std::to_string(took.count()) + " ms");
  check(list_rows(p.list()) == 2 && list_cell(p.list(), 1, 6) == L"not scanned",
        "the hanging folder shows \"" + utf8(list_cell(p.list(), 1, 6)) + "\" while its storage hangs");
  check(!p.logged(L"scan finished: scan_id=1"), "the first scan waits for the storage");
  const bool answered =
      p.wait_logged(L"scan folder finished: scan_id=1, folder=" + dead + L", files=1", Seconds(hang_seconds + 30));
  std::printf("time: the folder answered in the window at %.3f\n", unix_seconds());
  check(answered, "the hanging folder is reported once the storage answers");
  check(p.wait_logged(L"scan apply finished: scan_id=1, total=2", Seconds(20)), "the first scan is applied with both plots");
  check(wait_until([&] { return list_cell(p.list(), 1, 6) == L"normal" && list_cell(p.list(), 0, 6) == L"normal"; },
                   Seconds(10)),
        "both rows read normal");
  HWND scan = p.button(L"Scan Now");
  check(wait_until([&] { return IsWindowEnabled(scan) != FALSE; }, Seconds(20)), "Scan Now enabled again");
  click(scan);
  check(p.wait_logged(L"scan apply finished: scan_id=2, total=2", Seconds(20)), "a manual scan completes");
  watch.report("while the storage hung");

  // The storage hangs again; a scan's worker gets stuck on it. First the
  // kernel's cache of the storage's answers (1 s) runs out, so that the
  // scan asks the storage itself.
  std::this_thread::sleep_for(Seconds(2));
  const std::wstring mount = dead.substr(0, dead.find_last_of(L'\\'));
  check(!file_exists(mount + L"\\rehang"), "the storage was told to hang again");
  check(wait_until([&] { return IsWindowEnabled(scan) != FALSE; }, Seconds(20)), "Scan Now enabled after scan 2");
  click(scan);
  check(p.wait_logged(L"scan started: scan_id=3", Seconds(10)), "scan 3 started");
  std::this_thread::sleep_for(Seconds(2));
  check(!p.logged(L"scan folder finished: scan_id=3, folder=" + dead), "scan 3 is stuck on the storage");
  const auto closing = std::chrono::steady_clock::now();
  const HWND window = p.window;
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK while a scan worker is stuck on the storage");
  check(wait_until([&] { return !IsWindow(window); }, Seconds(20)), "the window is gone");
  const auto gone = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - closing);
  check(gone < Seconds(12), "the window went " + std::to_string(gone.count()) + " s after OK (the stop takes 5 s)");
  const DWORD bound = static_cast<DWORD>(hang_seconds + 20) * 1000;
  const bool ended = WaitForSingleObject(p.process, bound) == WAIT_OBJECT_0;
  const auto end_took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - closing);
  DWORD code = 1;
  const bool status_read = ended && GetExitCodeProcess(p.process, &code);
  check(status_read && code == 0,
        std::string(ended ? "the program ended " : "the program did not end within ") +
            std::to_string(ended ? end_took.count() : bound / 1000) + " s after OK, status " + std::to_string(code));
  std::printf("time: the program ended at %.3f\n", unix_seconds());
  TerminateProcess(p.process, 1);
  CloseHandle(p.process);
  check(miners_from(folder) == 0, "no miner outlives the exit");
  return finish();
}

// Storage that stays silent past the scan's bound of 60 s without progress:
// its folder reads "not responding" and the scan goes on without it; the
// miner starts from the other folder; a confirmed exit while the call on
// the storage still hangs ends the program at once, with status 0.
int storage_gone(const std::wstring& folder, const std::wstring& dead) {
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  const auto begin = std::chrono::steady_clock::now();
  check(p.wait_logged(L"Plot directory " + dead + L" did not answer for 60 s; its plot files are kept as they were",
                      Seconds(80)),
        "the silent folder is given up after 60 s");
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
  check(took >= Seconds(55) && took < Seconds(75), "after " + std::to_string(took.count()) + " s");
  const bool rows_read = wait_until(
      [&] { return list_cell(p.list(), 1, 6) == L"not responding" && list_cell(p.list(), 0, 6) == L"normal"; }, Seconds(10));
  check(rows_read, "the rows read normal and not responding: " + utf8(list_cell(p.list(), 0, 6)) + ", " +
                       utf8(list_cell(p.list(), 1, 6)));
  check(wait_until([&] { return IsWindowEnabled(p.button(L"Scan Now")) && IsWindowEnabled(p.button(L"Add Plot Folder")); },
                   Seconds(10)),
        "Scan Now and Add Plot Folder are enabled while the storage still hangs");
  p.check_state(L"Running", Seconds(30), "the miner starts from the folder that answered");
  watch.report("while the storage stayed silent");
  // The window goes after the miner's stop; the process itself ends once
  // the system lets go of the thread inside the storage call (Linux holds a
  // thread in a FUSE call until it returns, as Windows holds one in an I/O
  // call on a dead share).
  const auto closing = std::chrono::steady_clock::now();
  const HWND window = p.window;
  PostMessageW(window, WM_CLOSE, 0, 0);
  check(answer_exit_box(true), "exit confirmation answered OK while a scan call still hangs");
  check(wait_until([&] { return !IsWindow(window); }, Seconds(20)), "the window is gone");
  const auto gone = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - closing);
  check(gone < Seconds(12), "the window went " + std::to_string(gone.count()) + " s after OK (the stop takes 5 s)");
  check(miners_from(folder) == 0, "the miner is gone");
  const bool ended = WaitForSingleObject(p.process, 60000) == WAIT_OBJECT_0;
  DWORD code = 1;
  const bool status_read = ended && GetExitCodeProcess(p.process, &code);
  check(status_read && code == 0, "the program ended with status " + std::to_string(code));
  CloseHandle(p.process);
  return finish();
}

// The program's folder is full: saves and starts fail with clear errors and
// touch nothing; once space is freed they work.
int disk_full(const std::wstring& folder, const std::wstring& filler) {
  const std::wstring settings = folder + L"\\vorn_miner_gui_mainnet_settings.json";
  const std::wstring config = folder + L"\\miner_config.mainnet.gui.yaml";
  const std::string settings_before = read_text_file(settings), config_before = read_text_file(config);
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  check(p.wait_logged(L"Cannot start miner: settings could not be saved.", Seconds(30)), "the automatic start is refused");
  check(p.logged(L"[gui:mainnet] Failed to save settings: "), "the save failure is logged");
  click(p.button(L"Save Settings"));
  click(p.button(L"Start Mining"));
  p.check_state(L"Error", Seconds(5), "status");
  const std::wstring status = text_of(p.status());
  check(status.find(L"Last error: ") != std::wstring::npos && status.find(L"(os error 112)") != std::wstring::npos,
        "the status names the full disk: " + utf8(status));
  check(read_text_file(settings) == settings_before, "the settings file is unchanged");
  check(read_text_file(config) == config_before, "the miner configuration is unchanged");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
  check(search == INVALID_HANDLE_VALUE, "no temporary file is left behind");
  if (search != INVALID_HANDLE_VALUE) FindClose(search);

  check(DeleteFileW(filler.c_str()) != FALSE, "space freed");
  set_edit_text(p.controls[5], L"after the disk was full");
  click(p.button(L"Save Settings"));
  check(wait_until([&] { return read_text_file(settings).find("after the disk was full") != std::string::npos; }, Seconds(5)),
        "the next save works");
  click(p.button(L"Start Mining"));
  p.check_state(L"Running", Seconds(30), "Start Mining works");
  check(read_text_file(config) != config_before && read_text_file(config).find("chains:") != std::string::npos,
        "the miner configuration was written");
  watch.report("with a full disk");
  close_with_ok(p);
  return finish();
}

// The miner writes 200 MB without a line feed, faster than the window can
// take it: the program's memory stays within the output budget (the lines
// waiting for the window) and a margin, and later lines still arrive.
int endless_line(const std::wstring& folder) {
  // Besides the budget: the pieces and reader buffers on their way, the
  // miner's pipes and threads, and what starting a miner costs anyway.
  constexpr double kMarginMb = 4.0;
  const double bound_mb = static_cast<double>(vorn::kQueuedOutputLimit) / 1048576.0 + kMarginMb;
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  std::this_thread::sleep_for(Seconds(2));
  PROCESS_MEMORY_COUNTERS before{}, after{};
  const bool read_before = GetProcessMemoryInfo(p.process, &before, sizeof before) != FALSE;
  check(read_before && before.WorkingSetSize > 0,
        "the working set read before the flood: " + std::to_string(before.WorkingSetSize) + " bytes");
  click(p.button(L"Start Mining"));
  check(p.wait_logged(L"[miner] WARN endless progress ended after 200000000 bytes", Seconds(180)),
        "the line after 200 MB of output reaches the log");
  const bool read_after = GetProcessMemoryInfo(p.process, &after, sizeof after) != FALSE;
  check(read_after && after.PeakWorkingSetSize > 0,
        "the peak working set read after the flood: " + std::to_string(after.PeakWorkingSetSize) + " bytes");
  const double grown_mb = (static_cast<double>(after.PeakWorkingSetSize) - static_cast<double>(before.WorkingSetSize)) / 1048576.0;
  char text[200];
  std::snprintf(text, sizeof text, "memory grew by %.1f MB at its peak (%.1f MB before; bound %.1f MB: the %.0f MB output budget + %.0f MB)",
                grown_mb, static_cast<double>(before.WorkingSetSize) / 1048576.0, bound_mb,
                static_cast<double>(vorn::kQueuedOutputLimit) / 1048576.0, kMarginMb);
  check(read_before && read_after && before.WorkingSetSize > 0 && after.PeakWorkingSetSize > 0 && grown_mb < bound_mb, text);
  watch.report("while the output flooded in");
  close_with_ok(p);
  return finish();
}

// Tools planted beside the program and in its working folder never run,
// and a listed pid that now belongs to another program survives.
int planted(const std::wstring& folder) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION other{};
  std::wstring other_exe = folder + L"\\other_tool.exe";
  std::wstring line = L"\"" + other_exe + L"\"";
  SetEnvironmentVariableW(L"VORN_SIM_MODE", L"ignore");
  if (!CreateProcessW(other_exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                      &other)) {
    return fail("cannot start other_tool.exe");
  }
  CloseHandle(other.hThread);
  SetEnvironmentVariableW(L"VORN_SIM_MODE", L"rounds");
  const std::wstring id = std::to_wstring(other.dwProcessId);
  SetEnvironmentVariableW(L"VORN_STANDIN_LISTING",
                          (id + L"\\tC:\\\\old\\\\vorn_miner.exe --config C:\\\\old\\\\miner_config.mainnet.gui.yaml\\n").c_str());
  Program p;
  if (!start(folder, p)) return 1;
  check(p.wait_logged(L"[gui:mainnet] skipped pid=" + id + L", process is no longer vorn_miner.exe (now other_tool.exe); not killed",
                      Seconds(10)),
        "start-up leaves the other program's pid alone and says why");
  p.check_state(L"Running", Seconds(30), "automatic start");
  click(p.button(L"Stop Mining"));
  check(p.wait_logged(L"Miner process tree killed after stop timeout (pid ", Seconds(30)), "the system's taskkill ended the miner");
  check(WaitForSingleObject(other.hProcess, 0) == WAIT_TIMEOUT, "the other program survives");
  TerminateProcess(other.hProcess, 1);
  CloseHandle(other.hProcess);
  for (const wchar_t* tool : {L"taskkill.exe", L"powershell.exe"}) {
    check(file_exists(folder + L"\\" + tool) && !file_exists(folder + L"\\" + tool + L".ran"),
          "the " + utf8(tool) + " planted beside the program never ran");
  }
  close_with_ok(p);
  return finish();
}

int count_in(const std::wstring& text, const std::wstring& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The miner crashes by itself two seconds after each start: the program
// starts it again 10 s after the crash (measured from the end of the
// miner's process to the start of the next), showing Stopped throughout the
// pause; after the second crash it announces 20 s, and a confirmed exit
// late in that pause ends the program, after which no miner starts.
int crash_restart(const std::wstring& folder) {
  using Clock = std::chrono::steady_clock;
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  Clock::time_point ended;
  DWORD code = 0;
  const bool first_ended = watch_miner_end(folder, Seconds(40), ended, code);
  char status[16];
  std::snprintf(status, sizeof status, "0x%08lx", static_cast<unsigned long>(code));
  check(first_ended && code == 0xC0000005, std::string("the first miner ran and crashed by itself (status ") + status + ")");
  check(p.wait_logged(L"Miner ended unexpectedly; starting it again in 10 s (attempt 1 of 4)", Seconds(5)),
        "the first crash announces a start in 10 s");
  check(p.logged(L"Miner process exited with status exit code: 0xc0000005"), "the crash's status is logged");
  // The status, sampled from the announcement until the next miner's
  // process appears: Stopped in every sample up to 9.5 s after the crash.
  int samples = 0;
  std::string wrong;
  while (miners_from(folder) == 0 && Clock::now() - ended < Seconds(20)) {
    const std::wstring status = text_of(p.status());
    const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ended);
    if (at < std::chrono::milliseconds(9500)) {
      ++samples;
      if (status.rfind(L"Miner: Stopped", 0) != 0 && wrong.empty()) {
        wrong = " (\"" + utf8(status) + "\" " + std::to_string(at.count()) + " ms after the crash)";
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ended);
  check(miners_from(folder) > 0, "the miner was started again");
  check(pause >= std::chrono::milliseconds(9500) && pause <= std::chrono::milliseconds(12000),
        "the next miner started " + std::to_string(pause.count()) + " ms after the crash (9500 to 12000)");
  check(samples >= 50 && wrong.empty(),
        "the status read Stopped in all " + std::to_string(samples) + " samples of the pause" + wrong);
  check(wait_until([&] { return count_in(text_of(p.log()), L"Started miner: ") == 2; }, Seconds(5)),
        "the restart is logged");

  const bool second_ended = watch_miner_end(folder, Seconds(10), ended, code);
  check(second_ended && code == 0xC0000005, "the second miner crashed too");
  check(p.wait_logged(L"Miner ended unexpectedly; starting it again in 20 s (attempt 2 of 4)", Seconds(5)),
        "the second crash announces a start in 20 s");
  watch.report("while the miner kept crashing");
  // The exit 17 s into the 20 s pause; any miner from then until well past
  // the moment the restart was due fails.
  std::this_thread::sleep_for(ended + Seconds(17) - Clock::now());
  check(miners_from(folder) == 0 && p.status_is(L"Stopped"), "still in the pause: " + utf8(text_of(p.status())));
  std::atomic<bool> watching{true};
  std::atomic<int> started_after{0};
  std::thread miners([&] {
    while (watching) {
      if (miners_from(folder) > 0) ++started_after;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  close_with_ok(p, Seconds(30), " during the pause");
  std::this_thread::sleep_for(ended + Seconds(30) - Clock::now());
  watching = false;
  miners.join();
  check(started_after == 0 && miners_from(folder) == 0,
        "no miner started after the confirmed exit (" + std::to_string(started_after.load()) + " samples saw one)");
  return finish();
}

// The lines of the recorder's file so far (one request each).
int recorded_requests(const std::wstring& record) {
  const std::string text = read_text_file(record);
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The miner crashes a second after each start; Start Mining after each
// end makes five ends quickly: one miner-exited alert (the rest fall in its
// 10 minutes), then miner-gave-up; a deleted plot file and Scan Now give
// plots-dropped. The first request is answered 500: it is sent again after
// 10 s (the recorder's file is checked by the script).
int alerts_crash(const std::wstring& folder, const std::wstring& plot_file) {
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  const std::wstring rig = L"alert rig";
  check(p.wait_logged(L"[gui:mainnet] Alert: Alerts are on for " + rig, Seconds(30)), "alerts-on");
  const std::wstring ended = L"Miner process exited with status exit code: 3";
  for (int n = 1; n <= 5; ++n) {
    const bool seen = wait_until([&] { return count_in(text_of(p.log()), ended) >= n; }, Seconds(40));
    check(seen, "crash " + std::to_string(n));
    if (!seen) break;
    if (n < 5) click(p.button(L"Start Mining"));
  }
  check(p.wait_logged(L"Alert: Mining stopped on " + rig +
                          L": the miner ended 5 times within 30 minutes. Use Start Mining to try again.",
                      Seconds(5)),
        "miner-gave-up");
  const std::wstring log = text_of(p.log());
  check(count_in(log, L"Alert: Miner ended unexpectedly on " + rig +
                          L" (exit code: 3); starting it again in 10 s") == 1 &&
            count_in(log, L"Alert: Miner ended unexpectedly") == 1,
        "one miner-exited alert for four crashes within 10 minutes");
  check(DeleteFileW(plot_file.c_str()) != FALSE, "the plot file deleted");
  click(p.button(L"Scan Now"));
  check(p.wait_logged(L"Alert: Plots dropped on " + rig + L": 1 -> 0 plot files (0GB -> 0GB)", Seconds(20)),
        "plots-dropped");
  // alerts-on (once it is sent again), miner-exited, miner-gave-up and plots-dropped.
  const std::wstring sent = L"Alert sent to json http://127.0.0.1/\x2026";
  check(wait_until([&] { return count_in(text_of(p.log()), sent) == 4; }, Seconds(30)),
        "four alerts sent to the json channel");
  check(wait_until([&] { return count_in(text_of(p.log()), L"Alert sent to ntfy http://127.0.0.1/\x2026") == 2 &&
                                count_in(text_of(p.log()), L"Alert sent to telegram http://127.0.0.1/\x2026") == 2; },
                   Seconds(10)),
        "the two critical alerts sent to ntfy and telegram");
  check(text_of(p.log()).find(L"SECRET") == std::wstring::npos, "no secret in the window's log");
  watch.report("while alerts were sent");
  close_with_ok(p);
  return finish();
}

// A miner that prints one height and then nothing: after the stall
// setting (1 minute) the watchdog logs, alerts and restarts it; the new
// launch reports the same height (the chain has not moved), which is not
// mining again. Heartbeat pings follow each launch's first height (the
// script checks the recorder's file).
int alerts_stall(const std::wstring& folder) {
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  p.check_state(L"Running", Seconds(30), "automatic start");
  check(p.wait_logged(L"Current height updated: 120000", Seconds(10)), "the one height");
  const auto running = std::chrono::steady_clock::now();
  check(p.wait_logged(L"No new block height for 1 minutes", Seconds(90)), "the watchdog fired");
  const auto took = std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now() - running);
  check(took >= Seconds(55) && took <= Seconds(66), "after " + std::to_string(took.count()) + " s");
  check(p.logged(L"Alert: No new block height on alert rig for 1 minutes; restarting the miner"), "miner-stalled");
  check(wait_until([&] { return count_in(text_of(p.log()), L"Started miner: ") == 2; }, Seconds(30)),
        "the miner was started again once");
  std::this_thread::sleep_for(Seconds(5));  // its first height, and a ping
  check(!p.logged(L"Alert: Mining again"), "no mining-resumed for the height it stalled at");
  check(!p.logged(L"Heartbeat ping failed"), "every ping worked");
  watch.report("during the stall and the restart");
  close_with_ok(p);
  return finish();
}

// A server that takes each request and never answers: the window answers
// throughout, Stop Mining takes its own time, and a confirmed exit while a
// request hangs ends the program within the sender's 2 s.
int alerts_silent(const std::wstring& folder, const std::wstring& record) {
  Program p;
  if (!start(folder, p)) return 1;
  ResponseWatch watch(p.window);
  p.check_state(L"Running", Seconds(30), "automatic start");
  check(wait_until([&] { return recorded_requests(record) >= 1; }, Seconds(10)), "alerts-on reached the server");
  const auto stopping = std::chrono::steady_clock::now();
  click(p.button(L"Stop Mining"));
  p.check_state(L"Stopped", Seconds(20), "Stop Mining while the request hangs");
  const auto stop_took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopping);
  check(stop_took < Seconds(8), "the stop took " + std::to_string(stop_took.count()) + " ms (its own grace is 5 s)");
  // The first attempt ends after 10 s; the next one follows 10 s later and hangs too.
  check(wait_until([&] { return recorded_requests(record) >= 2; }, Seconds(30)), "the request was tried again");
  watch.report("while the server kept silent");
  PostMessageW(p.window, WM_CLOSE, 0, 0);
  const auto closing = std::chrono::steady_clock::now();
  check(answer_exit_box(true), "exit confirmation answered OK");
  const bool ended = WaitForSingleObject(p.process, 20000) == WAIT_OBJECT_0;
  const auto exit_took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closing);
  check(ended && exit_took < Seconds(5), "the program ended " + std::to_string(exit_took.count()) + " ms after OK");
  DWORD code = 1;
  const bool status_read = ended && GetExitCodeProcess(p.process, &code);
  check(status_read && code == 0, "exit status " + std::to_string(code));
  CloseHandle(p.process);
  return finish();
}

// A settings file naming one plot folder.
void write_settings(const std::wstring& folder, const std::wstring& plots) {
  std::string json_path;
  for (char c : utf8(plots)) json_path += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string text = "{\"miner_name\": \"exit rig\", \"plot_dirs\": [\"" + json_path +
                           "\"], \"plot_rescan_interval_secs\": 3600}";
  HANDLE f = CreateFileW((folder + L"\\vorn_miner_gui_mainnet_settings.json").c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

// A confirmed exit, again and again, at moments when threads still run: in
// an automatic restart's pause, during a flood of miner output, and while
// the first scan walks a large folder. Every exit ends with status 0.
int exit_repeat(const std::wstring& folder, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    const int moment = round % 3;
    const std::string during = moment == 0 ? " (in a pause, round " : moment == 1 ? " (in a flood, round " : " (in a scan, round ";
    const std::string tag = during + std::to_string(round + 1) + ")";
    write_settings(folder, folder + (moment == 2 ? L"\\many" : L"\\plots"));
    SetEnvironmentVariableW(L"VORN_SIM_MODE", moment == 0 ? L"exit" : moment == 1 ? L"flood" : L"rounds");
    SetEnvironmentVariableW(L"VORN_SIM_DELAY_MS", L"300");
    SetEnvironmentVariableW(L"VORN_SIM_LINES", L"5000000");
    SetEnvironmentVariableW(L"VORN_SIM_FLOOD_TEXT", L"WARN flood");
    Program p;
    if (!start(folder, p)) return finish();
    if (moment == 0) {
      check(p.wait_logged(L"Miner ended unexpectedly; starting it again in 10 s", Seconds(40)), "a pause" + tag);
    } else if (moment == 1) {
      check(p.wait_logged(L"[miner] WARN flood", Seconds(40)), "a flood" + tag);
      std::this_thread::sleep_for(std::chrono::milliseconds(300 * (round % 4)));
    } else {
      check(p.wait_logged(L"scan started: scan_id=1", Seconds(40)), "a scan" + tag);
    }
    close_with_ok(p, Seconds(30), tag);
    check(wait_until([&] { return miners_from(folder) == 0; }, Seconds(10)), "no miner outlives the exit" + tag);
  }
  return finish();
}

// Saves with a changing miner name as fast as the window takes them, until
// the program is gone (killed from outside at a random moment, once this
// has printed "saving began"); then the settings file is decoded by the
// program's own decoder: it must hold the `folders` plot folders the
// script wrote and a miner name this driver gave. Every save is over when
// its click returns, so after the first one no temporary may be left (one
// left by the previous round's kill is replaced and renamed by it).
int saves(const std::wstring& folder, int folders) {
  const std::wstring path = folder + L"\\vorn_miner_gui_mainnet_settings.json";
  Program p;
  // The start-up's process query may take its full 30 s (a tool that
  // hangs); the program must still come up, and its saves are the subject.
  if (!start(folder, p, Seconds(75))) return 1;
  HWND save = p.button(L"Save Settings");
  set_edit_text(p.controls[5], L"save 0");
  click(save);
  const std::optional<vorn::AppSettings> first = vorn::decode_settings(read_text_file(path));
  check(first && first->miner_name == "save 0", "the first save wrote the file");
  check(!file_exists(path + L".tmp"), "no .tmp beside the settings file after a save");
  std::printf("saving began\n");
  std::fflush(stdout);
  int n = 1;
  for (; IsWindow(p.window) && n < 100000; ++n) {
    set_edit_text(p.controls[5], L"save " + std::to_wstring(n));
    click(save);
  }
  check(!IsWindow(p.window) && WaitForSingleObject(p.process, 10000) == WAIT_OBJECT_0,
        "the program was ended from outside after " + std::to_string(n) + " saves");
  CloseHandle(p.process);
  const std::string bytes = read_text_file(path);
  const std::optional<vorn::AppSettings> kept = vorn::decode_settings(bytes);
  check(kept.has_value(), "the settings file decodes (" + std::to_string(bytes.size()) + " bytes)");
  if (kept) {
    check(static_cast<int>(kept->plot_dirs.size()) == folders && kept->miner_name.rfind("save ", 0) == 0,
          "it holds " + std::to_string(kept->plot_dirs.size()) + " of " + std::to_string(folders) +
              " plot folders and the miner name \"" + kept->miner_name + "\"");
  }
  if (file_exists(path + L".tmp")) std::printf("the kill came inside a save: its .tmp is left\n");
  return finish();
}

}  // namespace

int run_fault(const std::wstring& scenario, const std::vector<std::wstring>& args) {
  const std::wstring folder = args.empty() ? L"" : wine_path(args[0]);
  if (scenario == L"hung-query" && args.size() == 1) return hung_query(folder);
  if (scenario == L"hung-kill" && args.size() == 1) return hung_kill(folder);
  if (scenario == L"dead-storage" && args.size() == 3) return dead_storage(folder, wine_path(args[1]), _wtoi(args[2].c_str()));
  if (scenario == L"storage-gone" && args.size() == 2) return storage_gone(folder, wine_path(args[1]));
  if (scenario == L"disk-full" && args.size() == 2) return disk_full(folder, wine_path(args[1]));
  if (scenario == L"endless" && args.size() == 1) return endless_line(folder);
  if (scenario == L"planted" && args.size() == 1) return planted(folder);
  if (scenario == L"saves" && args.size() == 2) return saves(folder, _wtoi(args[1].c_str()));
  if (scenario == L"crash-restart" && args.size() == 1) return crash_restart(folder);
  if (scenario == L"exit-repeat" && args.size() == 2) return exit_repeat(folder, _wtoi(args[1].c_str()));
  if (scenario == L"alerts-crash" && args.size() == 2) return alerts_crash(folder, wine_path(args[1]));
  if (scenario == L"alerts-stall" && args.size() == 1) return alerts_stall(folder);
  if (scenario == L"alerts-silent" && args.size() == 2) return alerts_silent(folder, wine_path(args[1]));
  std::printf("usage: driver fault hung-query|hung-kill|endless|planted|crash-restart <folder>\n"
              "       driver fault saves <folder> <plot folders in its settings>\n"
              "       driver fault exit-repeat <folder> <rounds>\n"
              "       driver fault alerts-stall <folder>\n"
              "       driver fault alerts-crash <folder> <plot file>\n"
              "       driver fault alerts-silent <folder> <recorder's file>\n"
              "       driver fault dead-storage <folder> <hanging plot folder> <seconds>\n"
              "       driver fault storage-gone <folder> <silent plot folder>\n"
              "       driver fault disk-full <folder> <filler file>\n");
  return 2;
}

// A copy of the driver planted under a system tool's name leaves a mark
// beside itself: the program ran it instead of the real tool.
bool mark_if_planted() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path(self, n);
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (_wcsicmp(name.c_str(), L"taskkill.exe") != 0 && _wcsicmp(name.c_str(), L"powershell.exe") != 0) return false;
  HANDLE mark = CreateFileW((path + L".ran").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
  return true;
}

}  // namespace driver
