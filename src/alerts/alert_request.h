#pragma once
// What each kind of channel receives: the request for one alert, byte for
// byte, and how an answer's Retry-After is read.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "alerts/alert.h"
#include "platform/http_client.h"

namespace vorn {

inline constexpr std::chrono::seconds kAlertRequestLimit{10};
// Discord refuses longer messages.
inline constexpr std::size_t kDiscordLimit = 2000;

// A JSON string literal with its quotes; the text must be valid UTF-8.
std::string json_string(std::string_view text);
// "2026-12-08T10:00:00Z"
std::string utc_time_text(std::chrono::system_clock::time_point time);
// "[CRITICAL] text"
std::string tagged_text(const Alert& alert);

// The POST of `alert` to `channel` (body, headers, the 10 s limit).
platform::HttpRequest alert_request(const AlertChannel& channel, const Alert& alert);

// A Retry-After value: whole seconds, or an HTTP date (counted from `now`);
// nothing when it is neither. Past dates read as 0 s.
std::optional<std::chrono::seconds> parse_retry_after(std::string_view value,
                                                      std::chrono::system_clock::time_point now);

}  // namespace vorn
