// A long run of the real program with the simulated miner in short rounds,
// plot files changing, rescans every minute, restarts and miner crashes,
// sampling what the program holds every minute (bench/soak.sh runs it).
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

}  // namespace

int soak(const std::wstring& folder, int minutes) {
  HANDLE process = nullptr;
  HWND window = start_program(folder + L"\\vorn_miner_gui.exe", folder.c_str(), &process);
  if (!window || !wait_until([&] { return children(window).size() >= 28; }, std::chrono::seconds(30))) return 1;
  const std::vector<HWND> controls = children(window);
  HWND status = controls[3], log = controls[27];
  HWND start = child_with_text(window, L"Start Mining"), restart = child_with_text(window, L"Restart Miner");
  const auto begin = std::chrono::steady_clock::now();
  auto minute_now = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / 60.0;
  };
  std::vector<Sample> samples;
  int restarts = 0, crashes = 0, starts = 0;
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
    if (m % 7 == 5) {
      click(restart);
      ++restarts;
    }
    if (m % 11 == 8) crashes += crash_miners(folder) > 0;
    // A miner that crashed stays stopped until someone starts it.
    if (m % 11 == 9 && text_of(status).rfind(L"Miner: Stopped", 0) == 0) {
      click(start);
      ++starts;
    }
  }
  const bool alive = IsWindow(window) != FALSE;
  check(alive, "the program ran for " + std::to_string(minutes) + " minutes");
  check(log_has(log, L"Miner process exited with status") || crashes == 0, "crashes were noticed");
  if (samples.size() >= 8) {
    // Growth per hour: the last three samples against minutes 2 to 4.
    const std::size_t n = samples.size();
    const double hours = (mean(samples, n - 3, n, &Sample::minute) - mean(samples, 2, 5, &Sample::minute)) / 60.0;
    std::printf("\n%d restarts, %d crashes, %d starts after a crash\n", restarts, crashes, starts);
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
  }
  if (alive) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    check(answer_exit_box(true), "exit confirmation answered OK");
    check(WaitForSingleObject(process, 60000) == WAIT_OBJECT_0, "the program ended after OK");
  }
  CloseHandle(process);
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace driver
