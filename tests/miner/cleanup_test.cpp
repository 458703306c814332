#include <gtest/gtest.h>

#include "miner/process_tree.h"
#include "miner/residual_cleanup.h"
#include "platform/fault_points.h"

namespace vorn {
namespace {

TreeKill recording_kill(std::vector<std::uint32_t>& killed, std::uint32_t failing = 0) {
  return [&killed, failing](std::uint32_t pid) {
    killed.push_back(pid);
    if (pid == failing) return Result<std::string>::failure("taskkill failed for miner pid " + std::to_string(pid) + " with status exit code: 128");
    return Result<std::string>::success("ok");
  };
}

// Every listed pid still runs vorn_miner.exe.
Result<platform::HeldProcess> still_a_miner(std::uint32_t) { return Result<platform::HeldProcess>::success({}); }

TEST(ResidualCleanup, ReportsEveryLine) {
  std::vector<std::uint32_t> killed;
  const std::string listing =
      "\r\n"
      "  101\tC:\\m\\vorn_miner.exe --config C:\\g\\MINER_CONFIG.MAINNET.GUI.YAML --line-progress  \r\n"
      "123\n"
      "abc\tx\n"
      "+7\tvorn_miner.exe --config other.yaml\n"
      "19\tx\n"
      "4294967296\tx\n"
      "4294967295\tx\n"
      "+\tvorn_miner.exe --config miner_config.mainnet.gui.yaml\n"
      "   \n";
  Result<std::vector<std::string>> r = clean_listed_miners(listing, false, recording_kill(killed), still_a_miner);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), (std::vector<std::string>{
                           "found gui-managed miner pid=101, config=miner_config.mainnet.gui.yaml",
                           "killed pid=101",
                           "skipped pid=123, command line unreadable; not killed",
                           "skipped vorn_miner.exe process with unreadable pid: abc",
                           "skipped pid=7, command line does not match GUI config",
                           "skipped pid=19, command line does not match GUI config",
                           "skipped vorn_miner.exe process with unreadable pid: 4294967296",
                           "skipped pid=4294967295, command line does not match GUI config",
                           "skipped vorn_miner.exe process with unreadable pid: +"}));
  EXPECT_EQ(killed, std::vector<std::uint32_t>{101});
}

TEST(ResidualCleanup, LenientAndStrictFailures) {
  const std::string listing = "5\tx miner_config.mainnet.gui.yaml\n6\ty miner_config.mainnet.gui.yaml\n";
  std::vector<std::uint32_t> killed;
  Result<std::vector<std::string>> lenient = clean_listed_miners(listing, false, recording_kill(killed, 5), still_a_miner);
  ASSERT_TRUE(lenient.ok());
  EXPECT_EQ(lenient.value()[1], "failed to kill pid=5: taskkill failed for miner pid 5 with status exit code: 128");
  EXPECT_EQ(lenient.value().back(), "killed pid=6");

  killed.clear();
  Result<std::vector<std::string>> strict = clean_listed_miners(listing, true, recording_kill(killed, 5), still_a_miner);
  ASSERT_FALSE(strict.ok());
  EXPECT_EQ(strict.error(), "found same-profile residual miner pid=5 but could not clean it: taskkill failed for "
                            "miner pid 5 with status exit code: 128");
  EXPECT_EQ(killed, std::vector<std::uint32_t>{5});  // later lines not examined
}

TEST(ResidualCleanup, AProcessThatIsNoLongerAMinerIsSkippedEvenWhenStrict) {
  const std::string listing = "5\tx miner_config.mainnet.gui.yaml\n6\ty miner_config.mainnet.gui.yaml\n";
  std::vector<std::uint32_t> killed, held;
  auto hold = [&held](std::uint32_t pid) {
    held.push_back(pid);
    if (pid == 5) return Result<platform::HeldProcess>::failure("process is no longer vorn_miner.exe (now notepad.exe)");
    return Result<platform::HeldProcess>::success({});
  };
  Result<std::vector<std::string>> r = clean_listed_miners(listing, true, recording_kill(killed), hold);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()[1], "skipped pid=5, process is no longer vorn_miner.exe (now notepad.exe); not killed");
  EXPECT_EQ(r.value().back(), "killed pid=6");
  EXPECT_EQ(killed, std::vector<std::uint32_t>{6});
  EXPECT_EQ(held, (std::vector<std::uint32_t>{5, 6}));
}

// A refusal to open the process (access denied, say) is told apart from a
// process that ended in the meantime.
TEST(ResidualCleanup, AListedPidThatCannotBeOpenedIsSkippedWithTheReason) {
  std::vector<std::uint32_t> killed;
  platform::arm_fault("process-hold");
  Result<std::vector<std::string>> r =
      clean_listed_miners("5\tvorn_miner.exe --config miner_config.mainnet.gui.yaml\n", true, recording_kill(killed));
  platform::disarm_faults();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), (std::vector<std::string>{
                           "found gui-managed miner pid=5, config=miner_config.mainnet.gui.yaml",
                           "skipped pid=5, process cannot be opened: injected failure at process-hold; not killed"}));
  EXPECT_TRUE(killed.empty());
}

TEST(ResidualCleanup, NothingRunningIsSuccessWithoutLines) {
  std::vector<std::uint32_t> killed;
  Result<std::vector<std::string>> r = clean_listed_miners("", true, recording_kill(killed), still_a_miner);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().empty());
}

TEST(ExitStatus, DecimalOrHex) {
  EXPECT_EQ(exit_status_text(0), "exit code: 0");
  EXPECT_EQ(exit_status_text(128), "exit code: 128");
  EXPECT_EQ(exit_status_text(3221225477u), "exit code: 0xc0000005");
}

TEST(TreeKill, AProcessThatDoesNotExist) {
  Result<std::string> r = kill_process_tree(4000000000u);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().rfind("taskkill failed for miner pid 4000000000 with status exit code: ", 0), 0u) << r.error();
#ifndef _WIN32
  EXPECT_EQ(r.error(), "taskkill failed for miner pid 4000000000 with status exit code: 128");  // as taskkill says it
#endif
  // A tree kill that cannot even be run says so.
  platform::arm_fault("tree-kill");
  r = kill_process_tree(4000000000u);
  platform::disarm_faults();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "failed to run taskkill for miner pid 4000000000: injected failure at tree-kill");
}

}  // namespace
}  // namespace vorn
