#pragma once
// Outgoing HTTP requests (alerts and heartbeat pings): WinHTTP on Windows,
// libcurl elsewhere. One call sends one request and waits for the status,
// never longer than the request's time limit (plus a fraction of a second).
#include <chrono>
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

// Whether the URL begins with http:// or https:// (any letter case); the
// only ones sent. The error for others: kNotHttpUrl.
bool is_http_url(std::string_view url);
inline constexpr std::string_view kNotHttpUrl = "not a valid http or https URL";

}  // namespace vorn::platform
