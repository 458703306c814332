#pragma once
// Ending miners of this profile that an earlier run left behind.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "miner/process_tree.h"
#include "platform/process.h"
#include "platform/result.h"

namespace vorn {

// Lists every vorn_miner.exe and ends those whose command line names this
// profile's configuration file. Report lines, or one failure text.
Result<std::vector<std::string>> clean_residual_miners(bool strict);

// Opens a listed pid and checks that it still runs vorn_miner.exe; the
// failure is the reason to leave it alone. The process stays held until the
// kill is done, so its pid cannot pass to another program in between.
using MinerHold = std::function<Result<platform::HeldProcess>(std::uint32_t)>;
Result<platform::HeldProcess> hold_listed_miner(std::uint32_t pid);

// The matching and reporting over a process list ("pid<TAB>command line"
// lines), with the tree kill given by the caller.
Result<std::vector<std::string>> clean_listed_miners(std::string_view listing, bool strict,
                                                     const TreeKill& kill,
                                                     const MinerHold& hold = hold_listed_miner);

}  // namespace vorn
