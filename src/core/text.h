#pragma once
// Text helpers over UTF-8 strings. "White space" is Unicode White_Space.
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

bool is_valid_utf8(std::string_view text);
// Invalid sequences become U+FFFD.
std::string to_valid_utf8(std::string_view bytes);
// Control characters below 0x20 other than tab become U+FFFD: a NUL would end
// the text in a Win32 control early, and a line break would split one log
// line into two in the box and the log file.
std::string with_visible_controls(std::string text);

std::string_view trim_whitespace(std::string_view text);
std::string_view trim_start_whitespace(std::string_view text);
std::string_view trim_end_whitespace(std::string_view text);
std::vector<std::string_view> split_whitespace(std::string_view text);
// The length of UTF-8 text in UTF-16 units, as a Win32 edit control counts.
std::size_t utf16_length(std::string_view utf8);

std::string to_lower_ascii(std::string_view text);
std::string to_upper_ascii(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);

}  // namespace vorn
