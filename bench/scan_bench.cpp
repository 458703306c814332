// One scan_folder over 100,000 empty .vorn files and 10,000 other files,
// against a bare listing of the same folder measured in the same run
// (natively `find DIR -maxdepth 1 -printf '%s %T@\n'`, on Windows a
// FindFirstFileExW loop). Also the memory of the plot index per file.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <malloc.h>
#endif

#include "core/build_profile.h"
#include "scan/scan_control.h"
#include "scan/scanner.h"

using namespace vorn;
namespace fs = std::filesystem;

namespace {

double seconds_of(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double baseline_listing(const std::string& dir) {
#ifdef _WIN32
  return seconds_of([&] {
    WIN32_FIND_DATAW data;
    std::wstring pattern = fs::u8path(dir).wstring() + L"\\*";
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    std::size_t n = 0;
    if (h != INVALID_HANDLE_VALUE) {
      do ++n;
      while (FindNextFileW(h, &data));
      FindClose(h);
    }
    if (n == 0) std::puts("empty");
  });
#else
  return seconds_of([&] { std::system(("find '" + dir + "' -maxdepth 1 -printf '%s %T@\\n' > /dev/null").c_str()); });
#endif
}

std::size_t heap_in_use() {
#ifdef _WIN32
  return 0;
#else
  return mallinfo2().uordblks;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const int plots = argc > 1 ? std::atoi(argv[1]) : 100000;
  const std::string dir = exe_relative("scan_bench_folder");
  if (!fs::exists(fs::u8path(dir + "/done"))) {
    fs::remove_all(fs::u8path(dir));
    fs::create_directories(fs::u8path(dir));
    for (int i = 0; i < plots; ++i) std::ofstream(fs::u8path(dir + "/plot_" + std::to_string(i) + "_X1.vorn"));
    for (int i = 0; i < plots / 10; ++i) std::ofstream(fs::u8path(dir + "/other_" + std::to_string(i) + ".txt"));
    std::ofstream(fs::u8path(dir + "/done"));
  }
  baseline_listing(dir);  // warm the cache for both
  double baseline = 1e9, ours = 1e9;
  FolderScan scan;
  for (int round = 0; round < 3; ++round) {
    baseline = std::min(baseline, baseline_listing(dir));
    ours = std::min(ours, seconds_of([&] { scan = scan_folder(dir); }));
  }
  std::printf("scan_folder: %.3f s for %zu plot files; baseline listing: %.3f s; speed ratio %.2f (goal >= 0.5)\n", ours,
              scan.plot_files.size(), baseline, baseline / ours);

  AppCore core(EventSender(), {}, Clock::now());
  core.settings.plot_dirs = {dir};
  core.scan_running = true;
  core.current_scan_id = 1;
  core.auto_start_done = true;
  const std::size_t files = scan.plot_files.size();
  accept_scan_results(core, ScanComplete{1, {dir}, std::move(scan.plot_files), {scan.report}, {}, std::nullopt});
  while (core.pending_scan_results) apply_step(core);
  // The index's memory is what the heap gives back when it is dropped.
  const std::size_t with_index = heap_in_use();
  core.plot_index = {};
  const std::size_t without_index = heap_in_use();
  if (with_index > without_index) {
    std::printf("plot_index: %zu files, %.0f bytes per file\n", files,
                static_cast<double>(with_index - without_index) / static_cast<double>(files));
  }
  return 0;
}
