// Outgoing requests with libcurl. Error texts are built from curl's codes,
// never from its error buffer, which names the host and port of the URL.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "platform/fault_points.h"
#include "platform/http_client.h"
#include "platform/os_error.h"

namespace vorn::platform {
namespace {

constexpr char kUserAgent[] = "vorn_miner_gui";

struct EasyDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void append(HeaderList& list, const std::string& line) {
  if (curl_slist* head = curl_slist_append(list.get(), line.c_str())) {
    (void)list.release();
    list.reset(head);
  }
}

// curl_global_init is not thread-safe: run it once, before the first request.
bool curl_ready() {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool has_header(const HttpRequest& request, std::string_view name) {
  return std::any_of(request.headers.begin(), request.headers.end(),
                     [&](const auto& h) { return same_name(h.first, name); });
}

struct Head {
  CURL* easy;
  std::optional<std::string>* retry_after;
  bool complete = false;  // the final answer's head arrived whole
};

// The answer's Retry-After, from the head of the last answer (a "100
// Continue" head comes before the real one). The transfer stops once the
// final head is complete: the answer is its status, and a body that is
// short or slow must not turn a delivered request into a failed one.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* head = static_cast<Head*>(user);
  std::optional<std::string>* retry_after = head->retry_after;
  const std::string_view line(data, size * count);
  if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(head->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200) {
      head->complete = true;
      return 0;
    }
    return size * count;
  }
  if (line.rfind("HTTP/", 0) == 0) retry_after->reset();
  const std::size_t colon = line.find(':');
  if (colon != std::string_view::npos && same_name(line.substr(0, colon), "Retry-After")) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ')) {
      value.remove_suffix(1);
    }
    *retry_after = std::string(value);
  }
  return size * count;
}

// The answer's body is never read (the transfer stops after the head); were
// a byte of it to arrive, it would be dropped, never printed.
size_t on_body(char*, size_t size, size_t count, void*) { return size * count; }

std::string error_text(CURLcode code, CURL* easy, std::chrono::milliseconds limit) {
  long os_error = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_error);
  const std::string reason = curl_easy_strerror(code);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return "timed out after " + seconds_text(limit);
    case CURLE_COULDNT_CONNECT:
      return "could not connect: " + (os_error != 0 ? os_error_text(static_cast<int>(os_error)) : reason);
    case CURLE_COULDNT_RESOLVE_HOST:
      return "could not find the server: " + reason;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "could not find the proxy: " + reason;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return std::string(kNotHttpUrl);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      return "secure connection failed: " + reason;
    default:
      return "request failed: " + reason;
  }
}

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
  if (!curl_ready()) {
    response.error = "request failed: libcurl could not start";
    return response;
  }
  Easy easy(curl_easy_init());
  if (!easy) {
    response.error = "request failed: libcurl could not start";
    return response;
  }
  CURL* c = easy.get();
  const auto limit = std::max(request.time_limit, std::chrono::milliseconds(1));  // 0 would mean no limit
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM for the name lookup's time limit: threads
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limit.count()));
  curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &on_body);
  Head head{c, &response.retry_after};
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &head);

  if (request.method == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }

  HeaderList headers;
  for (const auto& [name, value] : request.headers) {
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    append(headers, value.empty() ? name + ";" : name + ": " + value);
  }
  // Only what the caller asked for: no "Expect: 100-continue" (a second's
  // wait with servers that ignore it) and no form Content-Type of curl's own.
  append(headers, "Expect:");
  if (!has_header(request, "Content-Type")) append(headers, "Content-Type:");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  const CURLcode code = curl_easy_perform(c);
  if (code != CURLE_OK && !head.complete) {
    response.retry_after.reset();
    response.error = error_text(code, c, limit);
    return response;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  response.status = static_cast<int>(status);
  return response;
}

}  // namespace vorn::platform
