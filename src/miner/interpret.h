#pragma once
// Reading the miner's output lines: block height, round size, progress and
// end, and the selection of lines that reach the activity log.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/app_core.h"

namespace vorn {

inline constexpr std::chrono::seconds kHeightLogInterval{5};

void interpret_miner_line(AppCore& core, std::string_view line);

std::optional<std::uint64_t> number_after(std::string_view text, std::string_view marker);
std::optional<std::string> duration_after(std::string_view text);
std::optional<std::uint64_t> parse_height(std::string_view text);
std::string clean_miner_text(std::string_view text);

}  // namespace vorn
