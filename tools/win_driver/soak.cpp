// A long run of the real program with the simulated miner in short rounds,
// plot files changing, rescans every minute, restarts and miner crashes,
// sampling what the program holds every minute (bench/soak.sh runs it).
// At the end the program's log file is read (not the window's log box,
// which keeps only the last 500 lines): each crash must be noticed, and the
// miner started again after the pause the program's count of ends gives.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "faults.h"
#include "window_access.h"

namespace driver {
namespace {

struct Sample {
  double minute = 0;
  double working_set_mb = 0, private_mb = 0;
  double handles = 0, gdi = 0, user = 0, threads = 0;
};

int thread_count(DWORD pid) {
  int n = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e)) {
    if (e.th32OwnerProcessID == pid) ++n;
  }
  CloseHandle(snap);
  return n;
}

Sample sample(HANDLE process, double minute) {
  Sample s;
  s.minute = minute;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  s.working_set_mb = static_cast<double>(memory.WorkingSetSize) / 1048576.0;
  s.private_mb = static_cast<double>(memory.PrivateUsage) / 1048576.0;
  // Figures the system cannot give (Wine has no per-process handle, GDI or
  // USER counts for another process) read -1: "n/a".
  DWORD handles = 0;
  s.handles = GetProcessHandleCount(process, &handles) && handles > 0 ? static_cast<double>(handles) : -1.0;
  const DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS), user = GetGuiResources(process, GR_USEROBJECTS);
  s.gdi = gdi > 0 ? static_cast<double>(gdi) : -1.0;
  s.user = user > 0 ? static_cast<double>(user) : -1.0;
  s.threads = thread_count(GetProcessId(process));
  return s;
}

// Ends every simulated miner started from `folder`, as a crash would.
int crash_miners(const std::wstring& folder) {
  int n = 0;
  for (DWORD pid : miners_started_from(folder)) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (h && TerminateProcess(h, 0xC0000005)) ++n;
    if (h) CloseHandle(h);
  }
  return n;
}

void write_plot(const std::wstring& path, DWORD bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  SetFilePointer(f, 0, nullptr, FILE_END);
  std::string data(bytes, 'p');
  DWORD written = 0;
  WriteFile(f, data.data(), bytes, &written, nullptr);
  CloseHandle(f);
}

// Plot files come, grow and go: a new one, the previous one grown, an old one removed.
void change_plots(const std::wstring& plots, int step) {
  write_plot(plots + L"\\soak_" + std::to_wstring(step) + L"_X1.vorn", 4096);
  if (step > 0) write_plot(plots + L"\\soak_" + std::to_wstring(step - 1) + L"_X1.vorn", 1024);
  if (step > 2) DeleteFileW((plots + L"\\soak_" + std::to_wstring(step - 3) + L"_X1.vorn").c_str());
}

double mean(const std::vector<Sample>& samples, std::size_t from, std::size_t to, double Sample::*field) {
  double total = 0;
  for (std::size_t i = from; i < to; ++i) total += samples[i].*field;
  return to > from ? total / static_cast<double>(to - from) : 0;
}

// Seconds of a local date and time, on a scale shared with the log file's
// stamps ("2024-05-01 12:00:00").
long long local_seconds(const SYSTEMTIME& t) {
  FILETIME f;
  if (!SystemTimeToFileTime(&t, &f)) return -1;
  return static_cast<long long>(((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000000ULL);
}

long long now_local_seconds() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return local_seconds(t);
}

struct LogLine {
  long long at = -1;
  std::string text;
};

std::string whole_file(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return "";
  std::string data;
  char buffer[1 << 16];
  DWORD got = 0;
  while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(f);
  return data;
}

// The program's log file beside it, the rotated ones first, line by line
// with each line's time.
std::vector<LogLine> log_file_lines(const std::wstring& folder) {
  const std::wstring path = folder + L"\\vorn_miner_gui_mainnet.log";
  std::string all;
  for (const wchar_t* old : {L".3", L".2", L".1"}) all += whole_file(path + old);
  all += whole_file(path);
  std::vector<LogLine> lines;
  std::size_t from = 0;
  while (from < all.size()) {
    std::size_t end = all.find('\n', from);
    if (end == std::string::npos) end = all.size();
    std::string text = all.substr(from, end - from);
    from = end + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    SYSTEMTIME t{};
    unsigned y, mo, d, h, mi, se;
    LogLine line;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u", &y, &mo, &d, &h, &mi, &se) == 6) {
      t.wYear = static_cast<WORD>(y), t.wMonth = static_cast<WORD>(mo), t.wDay = static_cast<WORD>(d);
      t.wHour = static_cast<WORD>(h), t.wMinute = static_cast<WORD>(mi), t.wSecond = static_cast<WORD>(se);
      line.at = local_seconds(t);
    }
    line.text = std::move(text);
    lines.push_back(std::move(line));
  }
  return lines;
}

// What the program should do after the soak's crash at `at`, given all its
// crashes: the crash is end number n of the last 30 minutes; n < 5 starts
// the miner again after 10, 20, 40 or 80 s, the fifth gives up.
int ends_within_window(const std::vector<long long>& crashes, std::size_t i) {
  int n = 0;
  for (std::size_t j = 0; j <= i; ++j) n += crashes[i] - crashes[j] < 30 * 60;
  return n;
}

// Follows each crash through the log file: the end noticed with the
// crash's status, the pause announced for its place in the count, and the
// miner started again after that pause (or the give-up). Returns the
// failures found; `restarts` counts the automatic restarts seen.
int follow_crashes(const std::vector<LogLine>& lines, const std::vector<long long>& crashes, int& restarts) {
  int failures_here = 0;
  restarts = 0;
  auto find = [&](std::size_t from, const char* text) {
    for (std::size_t k = from; k < lines.size(); ++k) {
      if (lines[k].text.find(text) != std::string::npos) return k;
    }
    return lines.size();
  };
  for (std::size_t i = 0; i < crashes.size(); ++i) {
    const std::string tag = "crash " + std::to_string(i + 1) + ": ";
    std::size_t start = 0;
    while (start < lines.size() && (lines[start].at < 0 || lines[start].at < crashes[i] - 1)) ++start;
    const std::size_t ended = find(start, "Miner process exited with status exit code: 0xc0000005");
    if (ended == lines.size() || lines[ended].at > crashes[i] + 5) {
      check(false, tag + "the end was not noticed within 5 s in the log file");
      ++failures_here;
      continue;
    }
    const int n = ends_within_window(crashes, i);
    if (n >= 5) {
      const std::size_t gave_up = find(ended, "automatic restart stopped");
      const bool ok = gave_up < lines.size() && lines[gave_up].at <= lines[ended].at + 2;
      check(ok, tag + "end 5 within 30 minutes gives up");
      failures_here += !ok;
      continue;
    }
    const int pause = 10 << (n - 1);
    const std::string announced = "Miner ended unexpectedly; starting it again in " + std::to_string(pause) +
                                  " s (attempt " + std::to_string(n) + " of 4)";
    const std::size_t said = find(ended, announced.c_str());
    if (said == lines.size() || lines[said].at > lines[ended].at + 2) {
      check(false, tag + "\"" + announced + "\" not in the log file");
      ++failures_here;
      continue;
    }
    const std::size_t started = find(said, "Started miner: ");
    const long long waited = started < lines.size() ? lines[started].at - lines[said].at : -1;
    const bool again = waited >= pause - 1 && waited <= pause + 3;
    check(again, tag + "started again " + std::to_string(waited) + " s after the announced " + std::to_string(pause) + " s");
    if (again) {
      ++restarts;
    } else {
      ++failures_here;
    }
  }
  return failures_here;
}

}  // namespace

int soak(const std::wstring& folder, int minutes) {
  HANDLE process = nullptr;
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &process);
  if (!window || !wait_until([&] { return children(window).size() >= 28; }, std::chrono::seconds(30))) return 1;
  const std::vector<HWND> controls = children(window);
  HWND status = controls[3];
  HWND restart = child_with_text(window, L"Restart Miner");
  const auto begin = std::chrono::steady_clock::now();
  auto minute_now = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / 60.0;
  };
  auto running = [&] { return text_of(status).rfind(L"Miner: Running", 0) == 0; };
  std::vector<Sample> samples;
  std::vector<long long> crashes;  // local seconds of each crash made
  int restarts = 0;
  std::printf("minute  working_set_MB  private_MB  handles  gdi  user  threads  status\n");
  for (int m = 0; m <= minutes && IsWindow(window); ++m) {
    wait_until([&] { return minute_now() >= m; }, std::chrono::minutes(2));
    if (!IsWindow(window)) break;
    Sample s = sample(process, minute_now());
    samples.push_back(s);
    std::printf("%6.1f  %14.1f  %10.1f  %7.0f  %3.0f  %4.0f  %7.0f  %s\n", s.minute, s.working_set_mb, s.private_mb,
                s.handles, s.gdi, s.user, s.threads, utf8(text_of(status).substr(0, 16)).c_str());
    std::fflush(stdout);
    if (m % 3 == 1) change_plots(folder + L"\\plots", m / 3);
    // A restart, unless a crash's pause may still run: a click would take
    // over from the automatic restart.
    if (m % 7 == 5 && (crashes.empty() || now_local_seconds() - crashes.back() > 120)) {
      click(restart);
      ++restarts;
    }
    // A crash half a minute later, of a miner that runs (not one that a
    // restart or a changed plot file is replacing just then).
    if (m % 11 == 3 && m < minutes) {
      wait_until([&] { return minute_now() >= m + 0.5; }, std::chrono::minutes(1));
      if (wait_until(running, std::chrono::seconds(30)) && crash_miners(folder) > 0) {
        crashes.push_back(now_local_seconds());
        std::printf("  crash %zu at minute %.1f\n", crashes.size(), minute_now());
      }
    }
  }
  const bool alive = IsWindow(window) != FALSE;
  check(alive, "the program ran for " + std::to_string(minutes) + " minutes");
  // The last crash's restart may still be due: its pause and a margin.
  if (!crashes.empty()) {
    const int n = ends_within_window(crashes, crashes.size() - 1);
    const long long due = crashes.back() + (n < 5 ? (10 << (n - 1)) : 0) + 10;
    wait_until([&] { return now_local_seconds() >= due; }, std::chrono::seconds(200));
  }
  int automatic = 0;
  const std::vector<LogLine> lines = log_file_lines(folder);
  check(!lines.empty(), "the log file beside the program has " + std::to_string(lines.size()) + " lines");
  follow_crashes(lines, crashes, automatic);
  check(!crashes.empty() || minutes < 4, std::to_string(crashes.size()) + " crashes made");
  int expected = 0;
  for (std::size_t i = 0; i < crashes.size(); ++i) expected += ends_within_window(crashes, i) < 5;
  check(automatic == expected, std::to_string(automatic) + " automatic restarts after a crash, " +
                                   std::to_string(expected) + " expected");
  if (samples.size() >= 8) {
    // Growth per hour: the last three samples against minutes 2 to 4.
    const std::size_t n = samples.size();
    const double hours = (mean(samples, n - 3, n, &Sample::minute) - mean(samples, 2, 5, &Sample::minute)) / 60.0;
    std::printf("\n%d restarts, %zu crashes, %d automatic restarts after a crash\n", restarts, crashes.size(), automatic);
    std::printf("growth per hour against minutes 2-4:\n");
    const struct {
      const char* name;
      double Sample::*field;
    } figures[] = {{"working set MB", &Sample::working_set_mb}, {"private MB", &Sample::private_mb},
                   {"handles", &Sample::handles}, {"GDI objects", &Sample::gdi},
                   {"USER objects", &Sample::user}, {"threads", &Sample::threads}};
    for (const auto& f : figures) {
      const double first = mean(samples, 2, 5, f.field), last = mean(samples, n - 3, n, f.field);
      if (first < 0 || last < 0) {
        std::printf("  %-15s n/a here\n", f.name);
      } else {
        std::printf("  %-15s %10.2f -> %10.2f   %+9.2f per hour\n", f.name, first, last, (last - first) / hours);
      }
    }
    // Private bytes where the system reports them, else the working set.
    double Sample::*memory = samples.back().private_mb > 0 ? &Sample::private_mb : &Sample::working_set_mb;
    const double memory_growth = (mean(samples, n - 3, n, memory) - mean(samples, 2, 5, memory)) / hours;
    check(memory_growth < 1.0, "memory grows by less than 1 MB per hour");
  } else {
    std::printf("\n%d restarts, %zu crashes, %d automatic restarts after a crash\n", restarts, crashes.size(), automatic);
  }
  if (IsWindow(window)) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    check(answer_exit_box(true), "exit confirmation answered OK");
    check(WaitForSingleObject(process, 60000) == WAIT_OBJECT_0, "the program ended after OK");
  }
  CloseHandle(process);
  return finish();
}

}  // namespace driver
