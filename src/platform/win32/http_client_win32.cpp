// Outgoing requests with WinHTTP: the system's proxy settings and
// certificate store. The request runs on a helper thread of its own while
// the caller waits at most its time limit (plus a margin): WinHTTP's own time
// limits are set too, but not every version honours them for every phase
// (under Wine, WinHttpSetTimeouts alone let a silent server hold the wait
// for the answer for 600 s). A helper that outlives its caller ends when
// WinHTTP's limits end it; its result is dropped.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/detached_thread.h"
#include "platform/fault_points.h"
#include "platform/http_client.h"
#include "platform/os_error.h"
#include "platform/win32/wide.h"

namespace vorn::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr wchar_t kUserAgent[] = L"vorn_miner_gui";
constexpr auto kMargin = std::chrono::milliseconds(500);

// Owns a session, connection or request handle.
class Internet {
 public:
  explicit Internet(HINTERNET h) : h_(h) {}
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  ~Internet() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

// WinHTTP's codes with a text of their own: Windows has their messages in
// winhttp.dll, which Wine lacks. Wine's WinHTTP also fails with socket codes
// (WSAETIMEDOUT for a server that never answers), which the system names.
std::string winhttp_message(DWORD code) {
  if (code < WINHTTP_ERROR_BASE) {
    const std::string text = os_error_text(static_cast<int>(code));
    return text.substr(0, text.rfind(" (os error "));
  }
  switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "the server refused the connection or could not be reached";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection was reset";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "the server name could not be resolved";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "the server's answer was not valid HTTP";
    case ERROR_WINHTTP_SECURE_FAILURE:
      return "the server's certificate was not accepted";
    default:
      break;
  }
  wchar_t* buffer = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message = n > 0 && buffer != nullptr ? from_wide(std::wstring_view(buffer, n)) : "WinHTTP error";
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

std::string error_text(DWORD code, std::chrono::milliseconds limit) {
  const std::string reason = winhttp_message(code) + " (os error " + std::to_string(code) + ")";
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT:
      return "timed out after " + seconds_text(limit);
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case WSAECONNREFUSED:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return "could not connect: " + reason;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case WSAHOST_NOT_FOUND:
      return "could not find the server: " + reason;
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return std::string(kNotHttpUrl);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
      return "secure connection failed: " + reason;
    default:
      return "request failed: " + reason;
  }
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=');
  }
  return out;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, 0x7fffffff));
}

// Every phase gets the time that is left: the name lookup, connecting,
// sending, and the wait for the answer's head.
bool set_time_left(HINTERNET h, Clock::time_point deadline) {
  const int left = remaining_ms(deadline);
  DWORD wait = static_cast<DWORD>(left);
  return WinHttpSetTimeouts(h, left, left, left, left) &&
         WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &wait, sizeof wait);
}

// Where the system's proxy settings can be followed as they are (Windows
// 8.1 and later); the configured default elsewhere.
HINTERNET open_session() {
  HINTERNET s =
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (s != nullptr) return s;
  return WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

std::optional<std::string> retry_after(HINTERNET request) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"Retry-After", WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"Retry-After", value.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  value.resize(size / sizeof(wchar_t));
  return from_wide(value);
}

// The request itself, synchronous, on the helper thread.
HttpResponse send_now(const HttpRequest& request, std::chrono::milliseconds limit, Clock::time_point deadline) {
  HttpResponse response;
  const auto failed = [&](DWORD code) {
    response.error = error_text(code, limit);
    return response;
  };
  // Split here rather than by WinHttpCrackUrl, which under Wine cannot
  // read an IPv6 literal ("[::1]" becomes the host "[").
  const std::optional<HttpUrl> url = split_http_url(request.url);
  if (!url) return failed(ERROR_WINHTTP_INVALID_URL);
  std::vector<std::wstring> lines;
  if (url->ipv6_literal) {
    // Connected to bare, named with its brackets in the Host header.
    const bool default_port = url->port == (url->https ? 443 : 80);
    lines.push_back(to_wide("Host: [" + url->host + "]" + (default_port ? "" : ":" + std::to_string(url->port))));
  }
  if (!url->user.empty() || !url->password.empty()) {
    lines.push_back(to_wide("Authorization: Basic " + base64(url->user + ":" + url->password)));  // as curl does
  }
  for (const auto& [name, value] : request.headers) lines.push_back(to_wide(name + ": " + value));

  const Internet session(open_session());
  if (!session || !set_time_left(session.get(), deadline)) return failed(GetLastError());
  const Internet connection(WinHttpConnect(session.get(), to_wide(url->host).c_str(), url->port, 0));
  if (!connection) return failed(GetLastError());
  const DWORD secure = url->https ? WINHTTP_FLAG_SECURE : 0;
  const Internet req(WinHttpOpenRequest(connection.get(), to_wide(request.method).c_str(), to_wide(url->target).c_str(),
                                        nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
  if (!req) return failed(GetLastError());
  DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;  // an answer is an answer, as with curl
  WinHttpSetOption(req.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
  for (const std::wstring& line : lines) {
    if (!WinHttpAddRequestHeaders(req.get(), line.c_str(), static_cast<DWORD>(line.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
      return failed(GetLastError());
    }
  }
  const DWORD body_size = static_cast<DWORD>(request.body.size());
  void* body = body_size > 0 ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
  if (!set_time_left(req.get(), deadline) ||
      !WinHttpSendRequest(req.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, body_size, body_size, 0)) {
    return failed(GetLastError());
  }
  if (!set_time_left(req.get(), deadline) || !WinHttpReceiveResponse(req.get(), nullptr)) {
    return failed(GetLastError());
  }
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return failed(GetLastError());
  }
  response.status = static_cast<int>(status);
  response.retry_after = retry_after(req.get());
  return response;
}

// What the helper hands back; shared, since the caller may have stopped waiting.
struct Outcome {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  HttpResponse response;
};

}  // namespace

HttpResponse http_send(const HttpRequest& request) {
  HttpResponse response;
  if (take_fault("http_send")) {
    response.error = "injected failure at http_send";
    return response;
  }
  if (!is_http_url(request.url)) {
    response.error = kNotHttpUrl;
    return response;
  }
  const auto limit = std::max(request.time_limit, std::chrono::milliseconds(1));
  const auto deadline = Clock::now() + limit;
  auto outcome = std::make_shared<Outcome>();
  try {
    start_detached_thread([request, limit, deadline, outcome] {
      HttpResponse result = send_now(request, limit, deadline);
      std::lock_guard lock(outcome->mutex);
      outcome->response = std::move(result);
      outcome->done = true;
      outcome->done_changed.notify_all();
    });
  } catch (const std::system_error&) {
    response.error = "request failed: no thread to send it";
    return response;
  }
  std::unique_lock lock(outcome->mutex);
  if (!outcome->done_changed.wait_until(lock, deadline + kMargin, [&] { return outcome->done; })) {
    response.error = "timed out after " + seconds_text(limit);
    return response;
  }
  return outcome->response;
}

}  // namespace vorn::platform
