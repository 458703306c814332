#include "platform/http_client.h"

#include <algorithm>
#include <cctype>

namespace vorn::platform {

std::string seconds_text(std::chrono::milliseconds time) {
  const long long ms = time.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);  // "050" for 50 ms
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text + " s";
}

bool is_http_url(std::string_view url) {
  const auto starts = [&](std::string_view scheme) {
    return url.size() > scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  };
  // An empty host ("http:///x") is no URL, whatever a library would guess.
  const std::size_t host = starts("http://") ? 7 : starts("https://") ? 8 : 0;
  return host != 0 && url.find_first_of("/?#", host) != host;
}

}  // namespace vorn::platform
