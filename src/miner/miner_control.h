#pragma once
// Starting, reading, stopping and restarting the miner process.
#include <chrono>
#include <string>

#include "core/app_core.h"
#include "miner/process_tree.h"

namespace vorn {

inline constexpr std::chrono::seconds kStopGrace{5};
inline constexpr std::chrono::milliseconds kStopPoll{100};
// How long the stop worker waits for a killed miner to be gone.
inline constexpr std::chrono::seconds kKilledExitWait{15};
inline constexpr std::size_t kReaderBuffer = 8192;
// Output without a line feed past this many bytes is delivered as a line.
inline constexpr std::size_t kLongestLine = 64 * 1024;
inline constexpr std::uint64_t kLinesPerNotice = 20;
inline constexpr std::chrono::milliseconds kNoticeInterval{50};
// How often a reader held back by the output budget looks again.
inline constexpr std::chrono::milliseconds kBudgetPoll{5};

void start_miner(AppCore& core);
void launch_miner(AppCore& core, const std::string& config_path);
void stop_miner(AppCore& core, bool restart);
// Restart Miner: stops the miner and starts it again (the user's reason).
void restart_miner(AppCore& core);
// The same for another reason: plot changes, or the stall watchdog.
void restart_miner_for(AppCore& core, RestartReason reason);
void restart_if_safe(AppCore& core);
void handle_stop_finished(AppCore& core, StopFinished finished);

// Where output without a line feed, longer than kLongestLine, is cut: at
// kLongestLine bytes, or up to three bytes earlier so that a UTF-8 character
// stays whole (bytes that are no valid UTF-8 anyway are cut where they stand).
std::size_t long_line_cut(const std::string& partial);

// The body of one output reader thread.
void run_output_reader(platform::PipeReader pipe, EventSender sender,
                       platform::gui::NoticeTarget notice, std::shared_ptr<OutputBudget> budget);

struct StopJob {
  platform::ChildProcess child;
  EventSender sender;
  platform::gui::NoticeTarget notice;
  bool restart = false;
};
struct StopWaits {
  std::chrono::milliseconds grace = kStopGrace;
  std::chrono::seconds killed_exit = kKilledExitWait;
};
// Waits up to 5 s for the miner to end, then ends its process tree, or the
// process alone when the tree kill fails, and waits for it to be gone.
std::string stop_process(platform::ChildProcess& child, const TreeKill& tree_kill = kill_process_tree,
                         StopWaits waits = {});
void run_stop_worker(StopJob job);

}  // namespace vorn
