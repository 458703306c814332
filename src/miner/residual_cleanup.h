#pragma once
// Ending miners of this profile that an earlier run left behind.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vorn {

// Lists every vorn_miner.exe and ends those whose command line names this
// profile's configuration file. Report lines, or one failure text.
Result<std::vector<std::string>> clean_residual_miners(bool strict);

// The matching and reporting over a process list ("pid<TAB>command line"
// lines), with the tree kill given by the caller.
using TreeKill = std::function<Result<std::string>(std::uint32_t)>;
Result<std::vector<std::string>> clean_listed_miners(std::string_view listing, bool strict,
                                                     const TreeKill& kill);

}  // namespace vorn
