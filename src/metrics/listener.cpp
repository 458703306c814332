#include "metrics/listener.h"

#include <algorithm>
#include <mutex>

#include "core/text.h"

namespace vorn {

struct MetricsListener::Shared {
  std::shared_ptr<SnapshotBox> box;
  mutable std::mutex mutex;
  std::string token;  // a secret

  std::string current_token() const {
    std::lock_guard lock(mutex);
    return token;
  }
};

namespace {

constexpr std::string_view kPage =
    "<!DOCTYPE html>\n<html><head><title>VORN Miner GUI metrics</title></head>\n"
    "<body><h1>VORN Miner GUI</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

// Compares in a time that does not depend on where the texts differ.
bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool authorised(const platform::HttpServerRequest& request, std::string_view token) {
  if (token.empty()) return true;
  for (const auto& [name, value] : request.headers) {
    if (name == "authorization") return same_secret(value, "Bearer " + std::string(token));
  }
  return false;
}

}  // namespace

std::optional<ListenAddress> split_listen(std::string_view listen) {
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view host = listen.substr(0, colon), port = listen.substr(colon + 1);
  if (host.find(':') != std::string_view::npos && !(host.front() == '[' && host.back() == ']')) return std::nullopt;
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return ListenAddress{std::string(host), static_cast<std::uint16_t>(value)};
}

namespace {

// "::1" in any of its forms ("0:0:0:0:0:0:0:1", "0::1", "::0001"): every
// group 0 but the last, which is 1. The address is a valid one already.
bool is_ipv6_loopback(std::string_view address) {
  std::size_t groups = 0;
  bool gap = false;
  for (std::size_t start = 0; start <= address.size();) {
    const std::size_t end = std::min(address.find(':', start), address.size());
    const std::string_view group = address.substr(start, end - start);
    const bool last = end == address.size();
    if (group.empty()) {
      gap = true;
    } else {
      ++groups;
      const std::size_t digits = group.find_first_not_of('0');
      const std::string_view value = digits == std::string_view::npos ? "" : group.substr(digits);
      if (value != (last ? "1" : "")) return false;
    }
    if (last) return !group.empty() && (gap || groups == 8);
    start = end + 1;
  }
  return false;
}

}  // namespace

bool is_loopback_host(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return is_ipv6_loopback(host.substr(1, host.size() - 2));
  return equals_ignore_ascii_case(host, "localhost") || host.substr(0, 4) == "127.";
}

platform::HttpServerResponse answer_metrics_request(const platform::HttpServerRequest& request,
                                                   const std::shared_ptr<const std::string>& snapshot,
                                                   std::string_view token) {
  platform::HttpServerResponse response;
  const auto plain = [&](int status, std::string body) {
    response.status = status;
    response.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    response.body = std::move(body);
    return response;
  };
  if (!authorised(request, token)) {
    response.headers.emplace_back("WWW-Authenticate", "Bearer");
    return plain(401, "Unauthorized\n");
  }
  const bool page = request.path == "/", metrics = request.path == "/metrics";
  if (!page && !metrics) return plain(404, "Not Found\n");
  if (request.method != "GET" && request.method != "HEAD") {
    response.headers.emplace_back("Allow", "GET, HEAD");
    return plain(405, "Method Not Allowed\n");
  }
  if (page) {
    response.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    response.body = kPage;
    return response;
  }
  if (!snapshot) return plain(503, "No metrics yet\n");
  response.headers.emplace_back("Content-Type", std::string(kMetricsContentType));
  response.body = *snapshot;
  return response;
}

Result<std::unique_ptr<MetricsListener>> MetricsListener::start(const ListenAddress& address, std::string token,
                                                                std::shared_ptr<SnapshotBox> box,
                                                                platform::HttpServerLimits limits) {
  using R = Result<std::unique_ptr<MetricsListener>>;
  auto shared = std::make_shared<Shared>();
  shared->box = std::move(box);
  shared->token = std::move(token);
  auto server = platform::HttpServer::start(address.host, address.port, limits,
                                            [shared](const platform::HttpServerRequest& request) {
                                              return answer_metrics_request(request, shared->box->get(),
                                                                            shared->current_token());
                                            });
  if (!server.ok()) return R::failure(server.error());
  std::unique_ptr<MetricsListener> listener(new MetricsListener());
  listener->shared_ = std::move(shared);
  listener->server_ = std::move(server).value();
  return R::success(std::move(listener));
}

void MetricsListener::set_token(std::string token) {
  std::lock_guard lock(shared_->mutex);
  shared_->token = std::move(token);
}

}  // namespace vorn
