#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "core/build_profile.h"
#include "miner/discovery.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/system.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::make_core;
using testing_support::scratch_folder;
using testing_support::untagged_log;

class Discovery : public ::testing::Test {
 protected:
  void TearDown() override { testing_support::remove_tree(beside); }
  AppCore core = make_core(scratch_folder("discovery"));
  const std::string beside = exe_relative("vorn_miner.exe");
};

TEST_F(Discovery, AnExistingConfiguredPathIsKeptSilently) {
  testing_support::write_file(beside, "x");
  core.settings.miner_exe_path = testing_support::sim_miner_path();
  discover_miner_executable(core);
  EXPECT_EQ(core.settings.miner_exe_path, testing_support::sim_miner_path());
  EXPECT_TRUE(core.log_lines.empty());
}

TEST_F(Discovery, BlankOrStalePathsAdoptTheMinerNextToTheProgram) {
  testing_support::write_file(beside, "x");
  for (const char* configured : {"", "   ", "/deleted/vorn_miner.exe"}) {
    core.settings.miner_exe_path = configured;
    core.controls_dirty = false;
    discover_miner_executable(core);
    EXPECT_EQ(core.settings.miner_exe_path, beside);
    EXPECT_TRUE(core.controls_dirty);
    EXPECT_EQ(untagged_log(core).back(), "Auto-detected miner: " + beside);
  }
}

// Where else a miner is looked for, in order: the folder above the
// program's, then target/release and target/debug below the working folder.
TEST_F(Discovery, TheOtherPlacesAreTriedInTheirOrder) {
  const std::string folder = platform::parent_folder(*platform::executable_path());
  const std::string cwd = *platform::current_directory();
  const std::string above = platform::join_path(platform::join_path(folder, ".."), "vorn_miner.exe");
  const std::string release = platform::join_path(platform::join_path(platform::join_path(cwd, "target"), "release"), "vorn_miner.exe");
  const std::string debug = platform::join_path(platform::join_path(platform::join_path(cwd, "target"), "debug"), "vorn_miner.exe");
  for (const std::string& candidate : {above, release, debug}) {
    std::filesystem::create_directories(std::filesystem::u8path(platform::parent_folder(candidate)));
    testing_support::write_file(candidate, "x");
    core.settings.miner_exe_path = "/deleted/vorn_miner.exe";
    discover_miner_executable(core);
    EXPECT_EQ(core.settings.miner_exe_path, candidate);
    testing_support::remove_tree(candidate);
  }
  testing_support::remove_tree(platform::join_path(cwd, "target"));
}

TEST_F(Discovery, NothingFoundKeepsTheOldValueAndSaysSo) {
  core.settings.miner_exe_path = "/deleted/vorn_miner.exe";
  discover_miner_executable(core);
  EXPECT_EQ(core.settings.miner_exe_path, "/deleted/vorn_miner.exe");
  EXPECT_EQ(untagged_log(core).back(), "未找到 vorn_miner.exe，请将 vorn_miner.exe 放到 GUI 同目录");
  EXPECT_FALSE(miner_executable_exists(core));
}

TEST(CommandLine, QuotingFollowsTheWindowsRules) {
  EXPECT_EQ(platform::quote_windows_argument("--config"), "--config");
  EXPECT_EQ(platform::quote_windows_argument(""), "\"\"");
  EXPECT_EQ(platform::quote_windows_argument("C:\\Program Files\\x.yaml"), "\"C:\\Program Files\\x.yaml\"");
  EXPECT_EQ(platform::quote_windows_argument("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(platform::quote_windows_argument("C:\\dir with space\\"), "\"C:\\dir with space\\\\\"");
  EXPECT_EQ(platform::quote_windows_argument("C:\\no_space\\"), "C:\\no_space\\");
}

#ifdef _WIN32
TEST(CommandLine, ReadsBackThroughCommandLineToArgvW) {
  const std::vector<std::string> args = {"C:\\Program Files\\vorn_miner.exe", "--config", "D:\\my \"odd\" dir\\",
                                         "tab\there", "", "trailing\\\\", "\\\\server\\share\\x y\\", "plain"};
  std::string line;
  for (const std::string& a : args) line += (line.empty() ? "" : " ") + platform::quote_windows_argument(a);
  std::wstring wide(line.begin(), line.end());
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(count, static_cast<int>(args.size()));
  for (int i = 0; i < count; ++i) {
    std::wstring w(argv[i]);
    EXPECT_EQ(std::string(w.begin(), w.end()), args[static_cast<std::size_t>(i)]) << i;
  }
  LocalFree(argv);
}
#endif

}  // namespace
}  // namespace vorn
