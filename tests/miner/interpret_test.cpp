#include <gtest/gtest.h>

#include "miner/interpret.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::make_core;
using testing_support::scratch_folder;
using testing_support::untagged_log;

TEST(MinerText, Helpers) {
  EXPECT_EQ(number_after("x #TOTAL:4096 y", "#TOTAL:"), 4096u);
  EXPECT_EQ(number_after("#TOTAL: 4096", "#TOTAL:"), std::nullopt);
  EXPECT_EQ(number_after("#TOTAL:99999999999999999999", "#TOTAL:"), std::nullopt);
  EXPECT_EQ(duration_after("round done after 12.5 seconds"), "12.5s");
  EXPECT_EQ(duration_after("done after x"), std::nullopt);
  EXPECT_EQ(duration_after("height 1234567890"), std::nullopt);  // no marker, whatever follows
  EXPECT_EQ(duration_after("finished   : done after 12.5"), "12.5s");  // at the very end of the line
  EXPECT_EQ(clean_miner_text("  ERROR   disk \t full gensig=abc seed=12 xseed=1 seed="),
            "ERROR disk full gensig=<hidden> seed=<hidden> xseed=1 seed=<hidden>");
}

TEST(MinerText, Heights) {
  struct Case {
    const char* line;
    std::optional<std::uint64_t> height;
  } cases[] = {
      {"block_height=77", 77},
      {"new block: height=1234", 1234},
      {"[height:555] x", 555},
      {"[info] [h:42:x] rest", 42},
      {"[12:37:05] new block  : height=1234", 1234},  // a clock time is not a height
      {"[12:37:05] nothing", std::nullopt},
      {"[2024-01-01 12:37:05] new block  : height=1234", 1234},  // nor a date and time
      {"[2024-01-01T12:37:05.123+02:00] height=99", 99},
      {"[2024/01/01 12:37] height=98", 98},
      {"[12:37:05.5] [height:600] x", 600},  // the timestamp is passed over, the next field read
      {"[noColon] height=9", 9},
      {"[a:b] height=8", 8},
      {"[]:12] height=3", 3},              // an empty field ends at its own bracket
      {"[height:77 height=5", 5},          // a field that never closes is no field
      {"[a][height:4]", 4},                // a field right after another
      {"height=18446744073709551615", 18446744073709551615ull},
      {"height=18446744073709551616", std::nullopt},  // past what the counter holds
      {"height= 5", std::nullopt},
      {"no height here", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_height(c.line), c.height) << c.line;
}

struct LineCase {
  const char* line;
  std::vector<std::string> log;  // lines added, as shown (tag removed)
};

TEST(MinerLines, SelectionForTheActivityLog) {
  const LineCase cases[] = {
      {"queue      : 3 plots", {}},
      {"queue      : 3 plots failed", {}},  // never logged, even with a logged word
      {"[12:00:01] new block  : height=7", {"Current height updated: 7"}},
      {"queue: something", {}},
      {"random chatter", {}},
      {"", {}},
      {"   ", {}},
      {"ERROR   disk    full", {"[miner] ERROR disk full"}},
      {"[t] path=D:\\plots loaded", {"[miner] path=D:\\plots loaded"}},
      {"[t] path=D:\\plots", {"[miner] path=D:\\plots"}},
      {"[t] xpath=D:\\plots", {}},
      {"accepted: deadline=5 gensig=ff00 seed=9", {"[miner] accepted: deadline=5 gensig=<hidden> seed=<hidden>"}},
      {"Loading plots ..done.", {"[miner] Loading plots ..done."}},
      {"WARN slow", {"[miner] WARN slow"}},
      {"#TOTAL:100 failed", {"Miner scan started: 100 warps"}},
      {"#SCAN_PROGRESS:10 error", {}},
      {"finished   : done after 7.25 seconds", {"[miner] Scan finished at height unknown after 7.25s"}},
      {"finished   :", {"[miner] Scan finished at height unknown after unknown"}},  // the tag alone
  };
  for (const LineCase& c : cases) {
    AppCore core = make_core(scratch_folder("lines"));
    interpret_miner_line(core, c.line);
    EXPECT_EQ(untagged_log(core), c.log) << c.line;
  }
}

TEST(MinerLines, RoundProgressAndEnd) {
  AppCore core = make_core(scratch_folder("round"));
  interpret_miner_line(core, "#SCAN_PROGRESS:10");
  EXPECT_EQ(core.scan_round_progress, 10u);
  EXPECT_EQ(core.scan_status_text, "Waiting");
  EXPECT_FALSE(core.round_finished);
  interpret_miner_line(core, "#TOTAL:200");
  EXPECT_EQ(core.scan_round_total, 200u);
  EXPECT_EQ(core.scan_round_progress, 0u);
  EXPECT_EQ(core.scan_status_text, "Scanning 0%");
  interpret_miner_line(core, "random chatter");
  EXPECT_FALSE(core.round_finished) << "only the round's end or its full progress finishes it";
  std::vector<std::string> statuses;
  std::vector<bool> finished;
  std::vector<bool> progress_marked;
  for (int i = 0; i < 5; ++i) {
    core.status_dirty = core.progress_dirty = false;
    interpret_miner_line(core, "#SCAN_PROGRESS:50");
    EXPECT_FALSE(core.status_dirty) << "progress alone may wait for the next render";
    progress_marked.push_back(core.progress_dirty);
    statuses.push_back(core.scan_status_text);
    finished.push_back(core.round_finished);
  }
  EXPECT_EQ(progress_marked, (std::vector<bool>{true, true, true, true, false})) << "only a changed text is shown again";
  EXPECT_EQ(statuses, (std::vector<std::string>{"Scanning 25%", "Scanning 50%", "Scanning 75%", "Scanning 100%",
                                                "Scanning 100%"}));
  EXPECT_EQ(finished, (std::vector<bool>{false, false, false, true, true}));
  interpret_miner_line(core, "#TOTAL:1000");
  EXPECT_FALSE(core.round_finished);
  interpret_miner_line(core, "#SCAN_PROGRESS:333");
  EXPECT_EQ(core.scan_status_text, "Scanning 33%");
  interpret_miner_line(core, "#SCAN_PROGRESS:18446744073709551615");
  EXPECT_EQ(core.scan_round_progress, UINT64_MAX);
  EXPECT_EQ(core.scan_status_text, "Scanning 100%");

  // Rounds of one warp and of none.
  interpret_miner_line(core, "#TOTAL:1");
  interpret_miner_line(core, "#SCAN_PROGRESS:1");
  EXPECT_EQ(core.scan_status_text, "Scanning 100%");
  EXPECT_TRUE(core.round_finished);
  interpret_miner_line(core, "#TOTAL:0");
  interpret_miner_line(core, "#SCAN_PROGRESS:1");
  EXPECT_EQ(core.scan_status_text, "Scanning 0%");
  EXPECT_FALSE(core.round_finished);

  // Near the counter's limit the products saturate instead of wrapping
  // round to a small percentage.
  interpret_miner_line(core, "#TOTAL:184467440737095517");
  interpret_miner_line(core, "#SCAN_PROGRESS:184467440737095517");
  EXPECT_EQ(core.scan_status_text, "Scanning 99%");
  EXPECT_TRUE(core.round_finished);
  // A product that still fits is exact: just under 1% of a total near the
  // limit, not the capped value's 1%.
  interpret_miner_line(core, "#TOTAL:18446744073709551610");
  interpret_miner_line(core, "#SCAN_PROGRESS:184467440737095516");
  EXPECT_EQ(core.scan_status_text, "Scanning 0%");
  EXPECT_FALSE(core.round_finished);

  interpret_miner_line(core, "#TOTAL:5");
  interpret_miner_line(core, "[12:00:00] finished   : height=88 round done after 7.25 seconds");
  EXPECT_TRUE(core.round_finished);
  EXPECT_EQ(core.scan_status_text, "Last scan 7.25s");
  EXPECT_EQ(core.log_lines.back(), "[miner] Scan finished at height 88 after 7.25s");
  // The end of a round without a height still shows its time.
  core.status_dirty = false;
  interpret_miner_line(core, "finished   : round done after 3.5 seconds");
  EXPECT_EQ(core.scan_status_text, "Last scan 3.5s");
  EXPECT_TRUE(core.status_dirty);
}

TEST(MinerLines, HeightChangesAreLoggedAtMostEveryFiveSeconds) {
  AppCore core = make_core(scratch_folder("heights"));
  interpret_miner_line(core, "block_height=77");
  core.status_dirty = false;
  interpret_miner_line(core, "block_height=78");
  EXPECT_EQ(core.current_height, 78u);
  EXPECT_TRUE(core.status_dirty) << "a height not logged is still shown";
  EXPECT_EQ(untagged_log(core), std::vector<std::string>{"Current height updated: 77"});
  *core.last_height_log_at -= std::chrono::seconds(5);
  core.status_dirty = false;
  interpret_miner_line(core, "block_height=78");  // unchanged: nothing
  EXPECT_FALSE(core.status_dirty);
  interpret_miner_line(core, "block_height=79");
  EXPECT_EQ(untagged_log(core).back(), "Current height updated: 79");
}

TEST(MinerLines, ASafeMomentRestartsAPendingRestartOnly) {
  AppCore core = make_core(scratch_folder("safe"));
  core.restart_pending = true;
  interpret_miner_line(core, "#TOTAL:100");
  interpret_miner_line(core, "#SCAN_PROGRESS:100");
  // No miner is held: nothing to restart.
  EXPECT_TRUE(core.round_finished);
  EXPECT_EQ(untagged_log(core).back(), "Miner scan started: 100 warps");
}

}  // namespace
}  // namespace vorn
