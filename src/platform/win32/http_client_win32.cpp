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

#include "platform/fault_points.h"
#include "platform/http_client.h"
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
// winhttp.dll, which Wine lacks.
std::string winhttp_message(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT: return "the server refused the connection or could not be reached";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was reset";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server name could not be resolved";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "the server's answer was not valid HTTP";
    case ERROR_WINHTTP_SECURE_FAILURE: return "the server's certificate was not accepted";
    default: break;
  }
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 GetModuleHandleW(L"winhttp.dll"), code, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                 nullptr);
  std::string message = n > 0 && buffer != nullptr ? from_wide(std::wstring_view(buffer, n)) : "WinHTTP error";
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

std::string error_text(DWORD code, std::chrono::milliseconds limit) {
  const std::string reason = winhttp_message(code) + " (os error " + std::to_string(code) + ")";
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "timed out after " + seconds_text(limit);
    case ERROR_WINHTTP_CANNOT_CONNECT: return "could not connect: " + reason;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "could not find the server: " + reason;
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return std::string(kNotHttpUrl);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "secure connection failed: " + reason;
    default: return "request failed: " + reason;
  }
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
  HINTERNET s = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
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
  const std::wstring url = to_wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0) {
    return failed(ERROR_WINHTTP_INVALID_URL);
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path += std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (const auto fragment = path.find(L'#'); fragment != std::wstring::npos) path.resize(fragment);
  if (path.empty() || path.front() != L'/') path.insert(path.begin(), L'/');

  const Internet session(open_session());
  if (!session || !set_time_left(session.get(), deadline)) return failed(GetLastError());
  const Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return failed(GetLastError());
  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  const Internet req(WinHttpOpenRequest(connection.get(), to_wide(request.method).c_str(), path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
  if (!req) return failed(GetLastError());
  DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;  // an answer is an answer, as with curl
  WinHttpSetOption(req.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
  for (const auto& [name, value] : request.headers) {
    const std::wstring line = to_wide(name + ": " + value);
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
    std::thread([request, limit, deadline, outcome] {
      HttpResponse result = send_now(request, limit, deadline);
      std::lock_guard lock(outcome->mutex);
      outcome->response = std::move(result);
      outcome->done = true;
      outcome->done_changed.notify_all();
    }).detach();
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
