#include "alerts/alert_request.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/build_profile.h"
#include "core/text.h"

namespace vorn {
namespace {

std::optional<unsigned> number(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

// "Wed, 21 Oct 2026 07:28:00 GMT" (the IMF-fixdate form), as seconds since
// 1970: a time point of the system clock cannot hold every such date (its
// nanoseconds end in the year 2262).
std::optional<std::int64_t> http_date_seconds(std::string_view v) {
  if (v.size() != 29 || v.substr(3, 2) != ", " || v.substr(25) != " GMT" || v[7] != ' ' || v[11] != ' ' ||
      v[16] != ' ' || v[19] != ':' || v[22] != ':') {
    return std::nullopt;
  }
  static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  unsigned month = 0;
  while (month < 12 && kMonths[month] != v.substr(8, 3)) ++month;
  const auto day = number(v.substr(5, 2)), year = number(v.substr(12, 4)), h = number(v.substr(17, 2)),
             m = number(v.substr(20, 2)), s = number(v.substr(23, 2));
  if (month == 12 || !day || !year || !h || !m || !s || *h > 23 || *m > 59 || *s > 60) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)), std::chrono::month(month + 1),
                                         std::chrono::day(*day)};
  if (!date.ok()) return std::nullopt;  // 00 Oct, 31 Nov, 29 Feb 2027
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  return days * 86400 + *h * 3600 + *m * 60 + *s;
}

// At most `limit` characters (code points), cut where a character begins.
std::string first_characters(const std::string& text, std::size_t limit) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == limit) return text.substr(0, i);
  }
  return text;
}

// A header value on one line: control characters become blanks.
std::string header_value(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string utc_time_text(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(floor<seconds>(time - day));
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string tagged_text(const Alert& alert) {
  return "[" + to_upper_ascii(alert_level_text(alert.level)) + "] " + alert.text;
}

platform::HttpRequest alert_request(const AlertChannel& channel, const Alert& alert) {
  platform::HttpRequest r;
  r.method = "POST";
  r.url = channel.url;
  r.time_limit = kAlertRequestLimit;
  const std::pair<std::string, std::string> json_type{"Content-Type", "application/json"};
  switch (channel.kind) {
    case ChannelKind::Json:
      r.headers = {json_type};
      r.body = "{\"rig\": " + json_string(alert.rig) + ", \"event\": " + json_string(alert_event_text(alert.event)) +
               ", \"level\": " + json_string(alert_level_text(alert.level)) + ", \"text\": " + json_string(alert.text) +
               ", \"time\": " + json_string(utc_time_text(alert.time)) + ", \"version\": " + json_string(kVersion) +
               ", \"network\": " + json_string(kProfile.network) + "}";
      break;
    case ChannelKind::Discord:
      r.headers = {json_type};
      r.body = "{\"content\": " + json_string(first_characters(tagged_text(alert), kDiscordLimit)) + "}";
      break;
    case ChannelKind::Slack:
      r.headers = {json_type};
      r.body = "{\"text\": " + json_string(tagged_text(alert)) + "}";
      break;
    case ChannelKind::Ntfy:
      r.headers = {{"Content-Type", "text/plain; charset=utf-8"},
                   {"Title", header_value("Qubo-VORN " + alert.rig)},
                   {"Priority", alert.level == AlertLevel::Critical  ? "5"
                                : alert.level == AlertLevel::Warning ? "4"
                                                                     : "3"},
                   {"Tags", alert.level == AlertLevel::Critical  ? "rotating_light"
                            : alert.level == AlertLevel::Warning ? "warning"
                                                                 : "information_source"}};
      r.body = alert.text;
      break;
    case ChannelKind::Telegram:
      r.headers = {json_type};
      r.body = "{\"chat_id\": " + json_string(channel.chat_id) + ", \"text\": " + json_string(tagged_text(alert)) +
               ", \"disable_notification\": " + (alert.level == AlertLevel::Info ? "true" : "false") + "}";
      break;
  }
  return r;
}

std::optional<std::chrono::seconds> parse_retry_after(std::string_view value,
                                                      std::chrono::system_clock::time_point now) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (!value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos) {
    // Anything past a day is as good as a day: the caller caps it anyway.
    if (value.size() > 5) return std::chrono::seconds(86400);
    return std::chrono::seconds(*number(value));
  }
  const auto date = http_date_seconds(value);
  if (!date) return std::nullopt;
  // Whole seconds after `now`, rounded up.
  const std::int64_t now_seconds = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
  return std::chrono::seconds(std::max<std::int64_t>(*date - now_seconds, 0));
}

}  // namespace vorn
