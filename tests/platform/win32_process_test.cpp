// The Windows backend's own faults: tools that hang, tools planted where
// the program runs, pids that pass to another program, handle lists, links.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <filesystem>
#include <thread>

#include "miner/residual_cleanup.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/win32/handle_list.h"
#include "platform/win32/wide.h"
#include "scan/scanner.h"
#include "support/test_support.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using testing_support::scratch_folder;
using testing_support::set_env;

int running_named(const wchar_t* name) {
  int n = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    if (_wcsicmp(e.szExeFile, name) == 0) ++n;
  }
  CloseHandle(snap);
  return n;
}

TEST(HandleList, EachRealHandleOnceInOrder) {
  const HANDLE a = reinterpret_cast<HANDLE>(0x44), b = reinterpret_cast<HANDLE>(0x1c8);
  const std::vector<HANDLE> given = {nullptr, a, INVALID_HANDLE_VALUE, GetCurrentThread(), a, reinterpret_cast<HANDLE>(7),
                                     b, reinterpret_cast<HANDLE>(-6), a, b};
  EXPECT_EQ(platform::inheritable_handle_list(given), (std::vector<HANDLE>{a, b}));
  EXPECT_TRUE(platform::inheritable_handle_list({nullptr, nullptr}).empty());
}

TEST(SystemTools, ToolsPlantedBesideTheProgramOrInTheWorkingFolderDoNotRun) {
  const std::string folder = scratch_folder("planted");
  const std::string own = platform::parent_folder(platform::executable_path().value());
  const std::string record = platform::join_path(folder, "planted_ran.txt");
  std::vector<fs::path> planted;
  for (const std::string& where : {folder, own}) {
    for (const char* tool : {"taskkill.exe", "powershell.exe"}) {
      planted.push_back(fs::u8path(platform::join_path(where, tool)));
      fs::copy_file(fs::u8path(testing_support::sim_miner_path()), planted.back(), fs::copy_options::overwrite_existing);
    }
  }
  set_env("VORN_SIM_RECORD", record);
  set_env("VORN_SIM_MODE", "exit");
  const fs::path previous = fs::current_path();
  fs::current_path(fs::u8path(folder));

  Result<std::uint32_t> killed = platform::run_tree_kill(4000000000u);
  Result<std::string> listed = platform::list_miner_processes();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // a planted copy records after 300 ms

  fs::current_path(previous);
  set_env("VORN_SIM_RECORD", "");
  set_env("VORN_SIM_MODE", "rounds");
  for (const fs::path& p : planted) fs::remove(p);
  ASSERT_TRUE(killed.ok()) << killed.error();
  EXPECT_EQ(killed.value(), 128u);  // the system's taskkill: no such process
  EXPECT_TRUE(listed.ok()) << listed.error();
  EXPECT_FALSE(testing_support::exists(record));
}

// PowerShell lives in System32\WindowsPowerShell\v1.0 (where the test
// prefix has its stand-in); it is found there whatever PATH says.
TEST(SystemTools, PowerShellIsFoundInItsOwnFolderBeforeAnythingOnPath) {
  const std::string folder = scratch_folder("path_powershell");
  const std::string record = platform::join_path(folder, "planted_ran.txt");
  fs::copy_file(fs::u8path(testing_support::sim_miner_path()), fs::u8path(platform::join_path(folder, "powershell.exe")),
                fs::copy_options::overwrite_existing);
  wchar_t saved[32767];
  const DWORD saved_size = GetEnvironmentVariableW(L"PATH", saved, 32767);
  set_env("VORN_SIM_RECORD", record);
  set_env("VORN_SIM_MODE", "exit");
  for (const std::string& path : {platform::parent_folder(record) + ";C:\\nowhere", std::string("C:\\nowhere")}) {
    SetEnvironmentVariableW(L"PATH", platform::to_wide(path).c_str());
    Result<std::string> listed = platform::list_miner_processes();
    EXPECT_TRUE(listed.ok()) << path << ": " << listed.error();
  }
  SetEnvironmentVariableW(L"PATH", saved_size ? saved : nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // a planted copy records after 300 ms
  set_env("VORN_SIM_RECORD", "");
  set_env("VORN_SIM_MODE", "rounds");
  EXPECT_FALSE(testing_support::exists(record)) << "the powershell.exe found through PATH ran";
}

TEST(MinerSpawn, StandardInputIsNulEvenWhenTheProgramHasAnotherOne) {
  const std::string folder = scratch_folder("stdin_nul");
  const std::string record = platform::join_path(folder, "record.txt");
  // This program's own standard input is a pipe; the miner must not get it.
  HANDLE read_end = nullptr, write_end = nullptr;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &sa, 0));
  const HANDLE own_input = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, read_end);
  set_env("VORN_SIM_RECORD", record);
  set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> miner = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  SetStdHandle(STD_INPUT_HANDLE, own_input);
  set_env("VORN_SIM_RECORD", "");
  set_env("VORN_SIM_MODE", "rounds");
  ASSERT_TRUE(miner.ok()) << miner.error();
  for (int i = 0; i < 50 && !testing_support::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(testing_support::read_file(record).find("stdin=char\n"), std::string::npos) << testing_support::read_file(record);
  EXPECT_FALSE(miner.value().job_error()) << *miner.value().job_error();
  miner.value().terminate(1);
  miner.value().wait_for(std::chrono::seconds(5));
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(MinerSpawn, WithoutItsListOfInheritedHandlesNothingIsStarted) {
  const std::string record = platform::join_path(scratch_folder("handle_list"), "record.txt");
  set_env("VORN_SIM_RECORD", record);
  platform::arm_fault("handle-list");
  Result<platform::ChildProcess> miner = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  platform::disarm_faults();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  set_env("VORN_SIM_RECORD", "");
  ASSERT_FALSE(miner.ok());
  EXPECT_EQ(miner.error().rfind("the list of inherited handles could not be set up: ", 0), 0u) << miner.error();
  EXPECT_FALSE(testing_support::exists(record)) << "a miner started with every inheritable handle";
}

TEST(MinerSpawn, ARefusedTerminationCountsOnlyForAProcessThatHasEnded) {
  set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> miner = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  set_env("VORN_SIM_MODE", "rounds");
  ASSERT_TRUE(miner.ok()) << miner.error();
  platform::arm_fault("terminate");  // access denied
  EXPECT_TRUE(miner.value().terminate(1)) << "a refusal on a running process is a failure";
  EXPECT_FALSE(miner.value().try_wait().value());
  EXPECT_FALSE(miner.value().terminate(1));
  ASSERT_TRUE(miner.value().wait_for(std::chrono::seconds(5)).value());
  platform::arm_fault("terminate");
  EXPECT_FALSE(miner.value().terminate(1)) << "an ended process: the refusal does not matter";
  platform::disarm_faults();
}

TEST(SystemTools, AToolThatHangsWithItsOutputOpenIsEndedAfter30Seconds) {
  const int tools_before = running_named(L"powershell.exe") + running_named(L"taskkill.exe");
  set_env("VORN_STANDIN_HANG", "1");
  const auto start = std::chrono::steady_clock::now();
  Result<std::string> listed = platform::list_miner_processes();
  const auto listing_took = std::chrono::steady_clock::now() - start;
  Result<std::uint32_t> killed = platform::run_tree_kill(4000000000u);
  const auto both_took = std::chrono::steady_clock::now() - start;
  set_env("VORN_STANDIN_HANG", "");
  ASSERT_FALSE(listed.ok());
  EXPECT_EQ(listed.error(), "timed out after 30 s");
  ASSERT_FALSE(killed.ok());
  EXPECT_EQ(killed.error(), "timed out after 30 s");
  EXPECT_GE(listing_took, std::chrono::seconds(29));
  EXPECT_LT(both_took, std::chrono::seconds(90));  // bounded, not stuck
  // The tools and the children that kept their output open are gone.
  auto tools_now = [] { return running_named(L"powershell.exe") + running_named(L"taskkill.exe"); };
  for (int i = 0; i < 50 && tools_now() > tools_before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(tools_now(), tools_before);
}

TEST(SystemTools, AListedPidThatPassedToAnotherProgramSurvivesTheCleanup) {
  const std::string folder = scratch_folder("listed_other");
  const std::string other_program = platform::join_path(folder, "other_tool.exe");
  fs::copy_file(fs::u8path(testing_support::sim_miner_path()), fs::u8path(other_program), fs::copy_options::overwrite_existing);
  set_env("VORN_SIM_MODE", "ignore");
  Result<platform::ChildProcess> other = platform::spawn_with_output_pipes({other_program, {}, ""});
  set_env("VORN_SIM_MODE", "rounds");
  ASSERT_TRUE(other.ok()) << other.error();
  const std::string id = std::to_string(other.value().pid());
  set_env("VORN_STANDIN_LISTING", id + "\\tC:\\\\m\\\\vorn_miner.exe --config C:\\\\g\\\\miner_config.mainnet.gui.yaml\\n");
  Result<std::vector<std::string>> report = clean_residual_miners(true);
  set_env("VORN_STANDIN_LISTING", "");
  ASSERT_TRUE(report.ok()) << report.error();
  EXPECT_EQ(report.value(), (std::vector<std::string>{
                                "found gui-managed miner pid=" + id + ", config=miner_config.mainnet.gui.yaml",
                                "skipped pid=" + id + ", process is no longer vorn_miner.exe (now other_tool.exe); not killed"}));
  EXPECT_FALSE(other.value().wait_for(std::chrono::milliseconds(300)).value().has_value());
  other.value().terminate(1);
  other.value().wait_for(std::chrono::seconds(5));
}

TEST(Links, ADanglingFolderLinkIsMissing) {
  const std::string folder = scratch_folder("dangling");
  const std::string link = platform::join_path(folder, "plots_link");
  const std::wstring wide_link(link.begin(), link.end());
  const std::wstring target = std::wstring(wide_link.begin(), wide_link.end() - 10) + L"no_such_folder";
  if (!CreateSymbolicLinkW(wide_link.c_str(), target.c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    GTEST_SKIP() << "symbolic links cannot be made here (error " << GetLastError() << ")";
  }
  EXPECT_FALSE(platform::is_directory(link));
  EXPECT_FALSE(platform::path_exists(link));
  FolderScan scan = scan_folder(link);
  EXPECT_EQ(scan.report.status, FolderStatus::Missing);
  EXPECT_TRUE(scan.warnings.empty());
  RemoveDirectoryW(wide_link.c_str());
}

}  // namespace
}  // namespace vorn
