#include "options/options.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <iterator>
#include <map>
#include <optional>
#include <set>

#include "core/text.h"
#include "platform/http_client.h"

namespace vorn {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// --- values ------------------------------------------------------------------

bool is_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool is_hex_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

bool has_control_character(std::string_view s) {
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return true;
  }
  return false;
}

bool is_visible_ascii(std::string_view s) {
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) return false;
  }
  return true;
}

// A port written plainly: 1 to 65535, no sign, no leading zero.
bool is_port(std::string_view s) {
  if (!is_digits(s) || s.size() > 5 || s[0] == '0') return false;
  return std::stoul(std::string(s)) <= 65535;
}

// Four dotted decimals 0-255; a leading zero is refused, as some readers
// take it for octal.
bool is_ipv4(std::string_view s) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = s.find('.');
    if ((part < 3) == (dot == std::string_view::npos)) return false;
    const std::string_view number = s.substr(0, dot);
    if (!is_digits(number) || number.size() > 3 || (number.size() > 1 && number[0] == '0')) return false;
    if (std::stoul(std::string(number)) > 255) return false;
    s = part < 3 ? s.substr(dot + 1) : std::string_view();
  }
  return true;
}

// Counts the groups of colon-separated hex digits, the last of which may be
// an IPv4 address (two groups); false when a group is malformed.
bool count_ipv6_groups(std::string_view s, bool ipv4_may_end, int* groups) {
  *groups = 0;
  if (s.empty()) return true;
  for (;;) {
    const std::size_t colon = s.find(':');
    const std::string_view group = s.substr(0, colon);
    if (colon == std::string_view::npos && ipv4_may_end && group.find('.') != std::string_view::npos) {
      if (!is_ipv4(group)) return false;
      *groups += 2;
      return true;
    }
    if (!is_hex_digits(group) || group.size() > 4) return false;
    ++*groups;
    if (colon == std::string_view::npos) return true;
    s = s.substr(colon + 1);
  }
}

// An IPv6 address in its text forms: eight groups, or fewer around one "::".
bool is_ipv6(std::string_view s) {
  const std::size_t gap = s.find("::");
  int left = 0;
  int right = 0;
  if (gap == std::string_view::npos) return count_ipv6_groups(s, true, &left) && left == 8;
  if (s.find("::", gap + 1) != std::string_view::npos) return false;
  return count_ipv6_groups(s.substr(0, gap), false, &left) && count_ipv6_groups(s.substr(gap + 2), true, &right) &&
         left + right <= 7;
}

bool is_listen_address(std::string_view s) {
  std::string_view host;
  std::string_view port;
  if (!s.empty() && s[0] == '[') {
    const std::size_t close = s.find(']');
    if (close == std::string_view::npos || close + 1 >= s.size() || s[close + 1] != ':') return false;
    if (!is_ipv6(s.substr(1, close - 1))) return false;
    port = s.substr(close + 2);
  } else {
    const std::size_t colon = s.rfind(':');
    if (colon == std::string_view::npos) return false;
    host = s.substr(0, colon);
    port = s.substr(colon + 1);
    if (!is_ipv4(host) && !equals_ignore_ascii_case(host, "localhost")) return false;
  }
  return is_port(port);
}

bool ends_with_ignoring_case(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && equals_ignore_ascii_case(s.substr(s.size() - tail.size()), tail);
}

// A URL that the requests can be sent to (the platform's reading of it),
// written as plainly as the rest of this file asks: no blank or control
// character anywhere, an IPv6 literal in one of its text forms, and a port,
// when the URL names one, without a leading zero.
bool is_http_url(std::string_view url) {
  if (has_control_character(url) || url.find(' ') != std::string_view::npos) return false;
  const std::optional<platform::HttpUrl> parts = platform::split_http_url(url);
  return parts && (!parts->ipv6_literal || is_ipv6(parts->host)) && (!parts->port_text || is_port(*parts->port_text));
}

// A Telegram chat: a number (groups are negative) or an @name.
bool is_chat_id(std::string_view s) {
  if (!s.empty() && s[0] == '-') return is_digits(s.substr(1));
  if (!s.empty() && s[0] == '@') {
    if (s.size() == 1) return false;
    for (char c : s.substr(1)) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
      if (!ok) return false;
    }
    return true;
  }
  return is_digits(s);
}

// --- the reader --------------------------------------------------------------

// Feeds the bytes to the JSON parser and counts how many it has taken, so
// the handler knows where in the file each event happened.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* taken) : at_(at), taken_(taken) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++*taken_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  std::size_t* taken_;
};

// The line of a byte. Lines are counted on from the byte asked about last,
// as the bytes asked about move forward (a syntax error's position may lie
// a byte behind the last one read: the byte after a number is put back).
class LineCounter {
 public:
  explicit LineCounter(std::string_view text) : text_(text) {}
  std::size_t line_of(std::size_t index) {
    if (index > text_.size()) index = text_.size();
    for (; at_ < index; ++at_) line_ += text_[at_] == '\n';
    for (; at_ > index; --at_) line_ -= text_[at_ - 1] == '\n';
    return line_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
};

// A JSON value as the checks see it.
struct Value {
  enum class Type { Null, Flag, Whole, Negative, TooLarge, Fraction, Text, Object, List };
  Type type = Type::Null;
  bool flag = false;
  std::uint64_t whole = 0;
  std::string text;
};

// A key in quotes, escaped as JSON writes it, so no byte of the file can
// break the line it is shown in; a long one is cut short (at a character).
std::string in_quotes(std::string_view name) {
  constexpr std::size_t kShown = 80;
  std::string shown(name);
  if (shown.size() > kShown) {
    std::size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
    shown = shown.substr(0, cut) + "\xE2\x80\xA6";
  }
  return Json(shown).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The parser's reason for a syntax error, without the text it last read
// (which may be part of a secret): only its own fixed phrases are kept.
std::string syntax_reason(std::string_view what) {
  const std::size_t column = what.find("column ");
  const std::size_t start = what.find(": ", column == std::string_view::npos ? 0 : column);
  if (column == std::string_view::npos || start == std::string_view::npos) return "syntax error";
  std::string_view reason = what.substr(start + 2);
  const std::size_t dash = reason.find(" - ");
  if (reason.rfind("syntax error", 0) == 0 && dash != std::string_view::npos) reason = reason.substr(dash + 3);
  reason = reason.substr(0, reason.find("; last read: '"));
  if (reason.rfind("unexpected ", 0) != 0 && reason.rfind("invalid ", 0) != 0) return "syntax error";
  return std::string(reason);
}

class OptionsReader : public nlohmann::json_sax<Json> {
 public:
  OptionsReader(std::string_view text, const std::size_t* taken) : taken_(taken), lines_(text) {}

  Options options;
  std::string error;  // why the reading stopped early

  bool finished() const { return where_ == Where::Done; }

  bool null() override { return value({}); }
  bool boolean(bool flag) override {
    Value v;
    v.type = Value::Type::Flag;
    v.flag = flag;
    return value(std::move(v));
  }
  bool number_integer(number_integer_t number) override {
    Value v;
    v.type = number < 0 ? Value::Type::Negative : Value::Type::Whole;
    v.whole = number < 0 ? 0 : static_cast<std::uint64_t>(number);
    return value(std::move(v));
  }
  bool number_unsigned(number_unsigned_t number) override {
    Value v;
    v.type = Value::Type::Whole;
    v.whole = number;
    return value(std::move(v));
  }
  bool number_float(number_float_t, const string_t& written) override {
    // A whole number too large for 64 bits arrives here too.
    const std::string_view digits = std::string_view(written).substr(written.rfind('-', 0) == 0 ? 1 : 0);
    Value v;
    v.type = !is_digits(digits) ? Value::Type::Fraction
             : written[0] == '-' ? Value::Type::Negative
                                 : Value::Type::TooLarge;
    return value(std::move(v));
  }
  bool string(string_t& text) override {
    Value v;
    v.type = Value::Type::Text;
    v.text = std::move(text);
    return value(std::move(v));
  }
  bool binary(binary_t&) override { return fail("invalid JSON: binary data"); }

  bool start_object(std::size_t) override {
    if (where_ == Where::Root) {
      where_ = Where::Top;
      return true;
    }
    if (where_ == Where::Alerts) {
      channel_ = ChannelDraft{};
      channel_->index = channels_seen_++;
      channel_->line = last_line();
      where_ = Where::Channel;
      return true;
    }
    Value v;
    v.type = Value::Type::Object;
    return value(std::move(v));
  }

  bool key(string_t& name) override {
    key_line_ = last_line();
    key_ = name;
    if (where_ == Where::Top) {
      shown_key_ = name;
      if (!is_top_key(name)) return fail("unknown key " + in_quotes(shown_key_) + at_line(key_line_));
      if (!top_seen_.insert(name).second) return fail("duplicate key " + in_quotes(shown_key_) + at_line(key_line_));
      return true;
    }
    shown_key_ = channel_name() + "." + name;
    if (!is_channel_key(name)) return fail("unknown key " + in_quotes(shown_key_) + at_line(key_line_));
    if (!channel_->lines.emplace(name, key_line_).second) {
      return fail("duplicate key " + in_quotes(shown_key_) + at_line(key_line_));
    }
    return true;
  }

  bool end_object() override {
    if (where_ == Where::Top) {
      where_ = Where::Done;
      return true;
    }
    if (!check_channel()) return false;
    options.alerts.push_back(std::move(channel_->channel));
    channel_.reset();
    where_ = Where::Alerts;
    return true;
  }

  bool start_array(std::size_t) override {
    if (where_ == Where::Top && key_ == "alerts") {
      where_ = Where::Alerts;
      return true;
    }
    Value v;
    v.type = Value::Type::List;
    return value(std::move(v));
  }

  bool end_array() override {
    where_ = Where::Top;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override {
    // 406: a number beyond what a double holds, such as 1e400.
    if (e.id == 406 && where_ != Where::Done) {
      Value v;
      v.type = Value::Type::Fraction;
      if (!value(std::move(v))) return false;
    }
    const std::size_t line = lines_.line_of(position == 0 ? 0 : position - 1);
    return fail("invalid JSON" + at_line(line) + ": " + syntax_reason(e.what()));
  }

 private:
  enum class Where { Root, Top, Alerts, Channel, Done };

  struct ChannelDraft {
    AlertChannel channel;
    std::size_t index = 0;
    std::size_t line = 0;  // of its opening brace
    std::map<std::string, std::size_t> lines;  // the keys given, with their lines
  };

  static bool is_top_key(std::string_view name) {
    for (std::string_view known : {"rig_name", "metrics_listen", "metrics_token", "metrics_textfile", "alerts",
                                   "heartbeat_url", "heartbeat_interval_secs", "stall_minutes", "restart_on_stall",
                                   "tray_icon", "minimize_to_tray", "start_minimized", "tray_notifications"}) {
      if (name == known) return true;
    }
    return false;
  }
  static bool is_channel_key(std::string_view name) {
    return name == "kind" || name == "url" || name == "chat_id" || name == "min_level";
  }

  static std::string at_line(std::size_t line) { return " at line " + std::to_string(line); }
  std::string channel_name() const {
    return "alerts[" + std::to_string(channel_ ? channel_->index : channels_seen_) + "]";
  }

  bool fail(std::string text) {
    error = std::move(text);
    return false;
  }
  bool wrong_type(const std::string& key, std::size_t line, std::string_view expected) {
    return fail("wrong type for key " + in_quotes(key) + at_line(line) + ": expected " + std::string(expected));
  }
  bool bad_value(std::string_view reason) {
    return fail("bad value for key " + in_quotes(shown_key_) + at_line(key_line_) + ": " + std::string(reason));
  }

  // The line of the byte read last. After a number that is the byte behind
  // it, which is on the number's line still: a line feed ends the line it is on.
  std::size_t last_line() { return lines_.line_of(*taken_ == 0 ? 0 : *taken_ - 1); }

  bool value(Value v) {
    switch (where_) {
      case Where::Root:
        return fail("the options file is not a JSON object");
      case Where::Top:
        return top_value(std::move(v));
      case Where::Alerts:
        return wrong_type(channel_name(), last_line(), "a channel object");
      case Where::Channel:
        return channel_value(std::move(v));
      case Where::Done:
        break;
    }
    return fail("invalid JSON: more than one value");
  }

  // A text value; `check` gives the reason a text is refused, or nothing.
  template <class Check>
  bool text(Value& v, std::string* out, bool empty_is_off, Check check) {
    if (v.type != Value::Type::Text) return wrong_type(shown_key_, key_line_, "text");
    if (!(empty_is_off && v.text.empty())) {
      if (std::optional<std::string_view> reason = check(v.text)) return bad_value(*reason);
    }
    *out = std::move(v.text);
    return true;
  }

  bool whole(const Value& v, std::uint64_t* out, std::uint64_t min, std::uint64_t max) {
    if (v.type != Value::Type::Whole && v.type != Value::Type::Negative && v.type != Value::Type::TooLarge) {
      return wrong_type(shown_key_, key_line_, "a whole number");
    }
    if (v.type != Value::Type::Whole || v.whole < min || v.whole > max) {
      return fail("value of key " + in_quotes(shown_key_) + at_line(key_line_) + " is out of range (" +
                  std::to_string(min) + " to " + std::to_string(max) + ")");
    }
    *out = v.whole;
    return true;
  }

  bool flag(const Value& v, bool* out) {
    if (v.type != Value::Type::Flag) return wrong_type(shown_key_, key_line_, "true or false");
    *out = v.flag;
    return true;
  }

  using Reason = std::optional<std::string_view>;

  static Reason url_reason(const std::string& s) {
    return is_http_url(s) ? Reason() : Reason("expected an http or https URL");
  }

  bool top_value(Value v) {
    Options& o = options;
    if (key_ == "rig_name") {
      return text(v, &o.rig_name, true, [](const std::string& s) {
        return has_control_character(s) ? Reason("control characters are not allowed") : Reason();
      });
    }
    if (key_ == "metrics_listen") {
      return text(v, &o.metrics_listen, true, [](const std::string& s) {
        return is_listen_address(s) ? Reason() : Reason("expected host:port");
      });
    }
    if (key_ == "metrics_token") {
      return text(v, &o.metrics_token, true, [](const std::string& s) {
        return is_visible_ascii(s) ? Reason() : Reason("expected visible ASCII characters without spaces");
      });
    }
    if (key_ == "metrics_textfile") {
      return text(v, &o.metrics_textfile, true, [](const std::string& s) {
        const bool ok = s.size() > 5 && ends_with_ignoring_case(s, ".prom") && !has_control_character(s);
        return ok ? Reason() : Reason("expected a file path ending in .prom");
      });
    }
    if (key_ == "heartbeat_url") return text(v, &o.heartbeat_url, true, url_reason);
    if (key_ == "heartbeat_interval_secs") return whole(v, &o.heartbeat_interval_secs, 60, 86400);
    if (key_ == "stall_minutes") return whole(v, &o.stall_minutes, 0, 1440);
    if (key_ == "restart_on_stall") return flag(v, &o.restart_on_stall);
    if (key_ == "tray_icon") return flag(v, &o.tray_icon);
    if (key_ == "minimize_to_tray") return flag(v, &o.minimize_to_tray);
    if (key_ == "start_minimized") return flag(v, &o.start_minimized);
    if (key_ == "tray_notifications") return flag(v, &o.tray_notifications);
    return wrong_type(shown_key_, key_line_, "a list of channels");  // "alerts"
  }

  bool channel_value(Value v) {
    AlertChannel& c = channel_->channel;
    if (key_ == "kind") {
      std::string name;
      if (!text(v, &name, false, [](const std::string& s) {
            for (const char* kind : {"json", "discord", "slack", "ntfy", "telegram"}) {
              if (s == kind) return Reason();
            }
            return Reason("expected json, discord, slack, ntfy or telegram");
          })) {
        return false;
      }
      for (ChannelKind kind : {ChannelKind::Json, ChannelKind::Discord, ChannelKind::Slack, ChannelKind::Ntfy,
                               ChannelKind::Telegram}) {
        if (name == channel_kind_text(kind)) c.kind = kind;
      }
      return true;
    }
    if (key_ == "url") return text(v, &c.url, false, url_reason);
    if (key_ == "chat_id") {
      return text(v, &c.chat_id, false, [](const std::string& s) {
        return is_chat_id(s) ? Reason() : Reason("expected a chat id: a number or an @name");
      });
    }
    std::string level;  // "min_level"
    if (!text(v, &level, false, [](const std::string& s) {
          return s == "info" || s == "warning" || s == "critical" ? Reason()
                                                                   : Reason("expected info, warning or critical");
        })) {
      return false;
    }
    c.min_level = level == "info" ? AlertLevel::Info : level == "warning" ? AlertLevel::Warning : AlertLevel::Critical;
    return true;
  }

  // What a channel needs, once all its keys are known.
  bool check_channel() {
    const ChannelDraft& d = *channel_;
    const std::string name = channel_name();
    for (const char* required : {"kind", "url"}) {
      if (!d.lines.count(required)) return fail("missing key " + in_quotes(required) + " in " + name + at_line(d.line));
    }
    const auto chat_id = d.lines.find("chat_id");
    if (d.channel.kind == ChannelKind::Telegram && chat_id == d.lines.end()) {
      return fail("missing key \"chat_id\" in " + name + at_line(d.line));
    }
    if (d.channel.kind != ChannelKind::Telegram && chat_id != d.lines.end()) {
      return fail("unexpected key " + in_quotes(name + ".chat_id") + at_line(chat_id->second) +
                  ": only telegram channels have a chat_id");
    }
    return true;
  }

  const std::size_t* taken_;
  LineCounter lines_;
  Where where_ = Where::Root;
  std::set<std::string, std::less<>> top_seen_;
  std::string key_;        // the key of the value to come, as written
  std::string shown_key_;  // the same as errors name it, e.g. "alerts[0].url"
  std::size_t key_line_ = 0;
  std::optional<ChannelDraft> channel_;
  std::size_t channels_seen_ = 0;
};

}  // namespace

const char* alert_level_text(AlertLevel level) {
  switch (level) {
    case AlertLevel::Info: return "info";
    case AlertLevel::Warning: return "warning";
    case AlertLevel::Critical: return "critical";
  }
  return "warning";
}

const char* channel_kind_text(ChannelKind kind) {
  switch (kind) {
    case ChannelKind::Json: return "json";
    case ChannelKind::Discord: return "discord";
    case ChannelKind::Slack: return "slack";
    case ChannelKind::Ntfy: return "ntfy";
    case ChannelKind::Telegram: return "telegram";
  }
  return "json";
}

Result<Options> parse_options(std::string_view bytes) {
  using R = Result<Options>;
  if (bytes.size() > kOptionsFileLimit) return R::failure("the options file is larger than 1 MiB");
  if (!is_valid_utf8(bytes)) return R::failure("the options file is not valid UTF-8");
  // The JSON reader itself passes over one byte-order mark, and only one.
  std::string_view content = bytes;
  if (content.substr(0, kByteOrderMark.size()) == kByteOrderMark) content.remove_prefix(kByteOrderMark.size());
  if (content.find_first_not_of(" \t\r\n") == std::string_view::npos) return R::failure("the options file is empty");

  std::size_t taken = 0;
  OptionsReader reader(bytes, &taken);
  const bool parsed = Json::sax_parse(CountingIterator(bytes.data(), &taken),
                                      CountingIterator(bytes.data() + bytes.size(), &taken), &reader);
  if (!parsed || !reader.finished()) {
    return R::failure(reader.error.empty() ? std::string("invalid JSON") : reader.error);
  }
  return R::success(std::move(reader.options));
}

std::string options_summary(const Options& o) {
  std::vector<std::string> on;
  if (!o.metrics_listen.empty()) on.push_back("metrics on " + o.metrics_listen);
  if (!o.metrics_textfile.empty()) on.push_back("metrics file " + o.metrics_textfile);
  if (!o.alerts.empty()) on.push_back(std::to_string(o.alerts.size()) + " alert channel(s)");
  if (!o.heartbeat_url.empty()) on.push_back("heartbeat every " + std::to_string(o.heartbeat_interval_secs) + " s");
  if (o.stall_minutes != 0) on.push_back("stall watchdog " + std::to_string(o.stall_minutes) + " min");
  if (o.tray_icon) on.push_back("tray");
  if (on.empty()) return "everything off";
  std::string summary = on[0];
  for (std::size_t i = 1; i < on.size(); ++i) summary += ", " + on[i];
  return summary;
}

}  // namespace vorn
