// Arbitrary bytes as an options file: read or refused, never a crash. A
// refusal is one short line; what is read keeps every rule of the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "options/options.h"
#include "platform/http_client.h"

namespace {

void check(bool holds) {
  if (!holds) __builtin_trap();
}

// A URL that was accepted can be sent to and shown, redacted.
void check_shown(const std::string& url) {
  const std::string shown = vorn::platform::redacted_url(url);
  check(shown != "(not an http URL)" && shown.rfind("http", 0) == 0 && shown.find('@') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vorn::Result<vorn::Options> read = vorn::parse_options(bytes);
  if (!read.ok()) {
    check(!read.error().empty() && read.error().size() < 1000 && read.error().find('\n') == std::string::npos);
    vorn::platform::redacted_url(bytes);
    return 0;
  }
  const vorn::Options& o = read.value();
  check(o.heartbeat_interval_secs >= 60 && o.heartbeat_interval_secs <= 86400 && o.stall_minutes <= 1440);
  if (!o.heartbeat_url.empty()) check_shown(o.heartbeat_url);
  for (const vorn::AlertChannel& channel : o.alerts) {
    check_shown(channel.url);
    check(channel.chat_id.empty() != (channel.kind == vorn::ChannelKind::Telegram));
  }
  vorn::options_summary(o);
  return 0;
}
