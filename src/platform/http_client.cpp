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

namespace {

bool starts_without_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return a == std::tolower(static_cast<unsigned char>(b));
         });
}

std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::optional<HttpUrl> split_http_url(std::string_view url) {
  HttpUrl parts;
  std::size_t from = 0;
  if (starts_without_case(url, "http://")) {
    from = 7;
  } else if (starts_without_case(url, "https://")) {
    parts.https = true;
    from = 8;
  } else {
    return std::nullopt;
  }
  const std::size_t authority_end = std::min(url.find_first_of("/?#", from), url.size());
  std::string_view authority = url.substr(from, authority_end - from);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = authority.substr(0, at);
    const std::size_t colon = user_info.find(':');
    parts.user = percent_decoded(user_info.substr(0, colon));
    if (colon != std::string_view::npos) parts.password = percent_decoded(user_info.substr(colon + 1));
    authority.remove_prefix(at + 1);
  }
  std::optional<std::string_view> port;  // after the host's colon
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    parts.host = std::string(authority.substr(1, close - 1));
    parts.ipv6_literal = true;
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return std::nullopt;
    if (!rest.empty()) port = rest.substr(1);
  } else {
    const std::size_t colon = authority.find(':');
    parts.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  // A host of name characters only (an IPv6 literal: hex digits, colons and
  // dots): no blank or control character can reach a request or a log line.
  const auto host_character = [&](char c) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (parts.ipv6_literal) return hex || c == ':' || c == '.';
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || static_cast<unsigned char>(c) >= 0x80;
  };
  if (parts.host.empty() || !std::all_of(parts.host.begin(), parts.host.end(), host_character)) return std::nullopt;
  parts.port = parts.https ? 443 : 80;
  if (port) parts.port_text = std::string(*port);
  if (port && !port->empty()) {
    if (port->size() > 5 || !std::all_of(port->begin(), port->end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    const int number = std::stoi(std::string(*port));
    if (number < 1 || number > 65535) return std::nullopt;
    parts.port = static_cast<std::uint16_t>(number);
  }
  std::string_view target = url.substr(authority_end);
  target = target.substr(0, target.find('#'));
  parts.target = (target.empty() || target.front() != '/' ? "/" : "") + std::string(target);
  return parts;
}

std::string redacted_url(std::string_view url) {
  const std::optional<HttpUrl> parts = split_http_url(url);
  if (!parts) return "(not an http URL)";
  const std::string host = parts->ipv6_literal ? "[" + parts->host + "]" : parts->host;
  return (parts->https ? "https://" : "http://") + host + "/\xE2\x80\xA6";  // "/…"
}

}  // namespace vorn::platform
