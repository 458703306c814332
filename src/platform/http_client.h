#pragma once
// Outgoing HTTP requests (alerts and heartbeat pings): WinHTTP on Windows,
// libcurl elsewhere. One call sends one request and waits for the status,
// never longer than the request's time limit (plus a fraction of a second).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::platform {

struct HttpRequest {
  std::string method = "POST";
  std::string url;  // http:// or https://; a secret: it never appears in an error text
  // Sent as given (names and UTF-8 values); a Content-Type belongs here too.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // For the whole request: name lookup, connecting, sending and the answer's head.
  std::chrono::milliseconds time_limit{10000};
};

struct HttpResponse {
  int status = 0;                          // 0 when no answer came
  std::optional<std::string> retry_after;  // the answer's Retry-After header, as sent
  // Empty when a status came back; otherwise the reason alone, such as
  // "timed out after 10 s" or "could not connect: ...": never the URL.
  std::string error;
};

// Sends the request and returns the answer's status, whatever it is (the
// answer's body is not kept). Safe to call from several threads at once.
// Blocks: never call it on the window thread. Fault point "http_send": the
// request fails with "injected failure at http_send" without being sent.
HttpResponse http_send(const HttpRequest& request);

// "10 s", "2.5 s": how the error texts name a time limit.
std::string seconds_text(std::chrono::milliseconds time);

// The parts of an http or https URL that a request needs.
struct HttpUrl {
  bool https = false;
  std::string host;  // an IPv6 literal without its brackets
  bool ipv6_literal = false;
  std::uint16_t port = 0;      // the scheme's own when the URL names none
  // The text after the host's colon as written ("" for "http://h:/"); none
  // without a colon. "http://h:080/" names port 80.
  std::optional<std::string> port_text;
  std::string target;          // path and query as written ("/" at least), without the fragment
  std::string user, password;  // from "user:password@", percent-decoded
};
// Nothing when the URL is not http:// or https:// (any letter case) with a
// host and, when given, a port from 1 to 65535. Only such URLs are sent; the
// error for others is kNotHttpUrl.
std::optional<HttpUrl> split_http_url(std::string_view url);
inline bool is_http_url(std::string_view url) { return split_http_url(url).has_value(); }
inline constexpr std::string_view kNotHttpUrl = "not a valid http or https URL";

// A URL as it may be shown: "{scheme}://{host}/…" (the path, query and any
// user name are secrets); "(not an http URL)" for anything else.
std::string redacted_url(std::string_view url);

}  // namespace vorn::platform
