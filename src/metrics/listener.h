#pragma once
// The metrics listener: serves the latest snapshot over HTTP. Its threads
// read only the snapshot box and the token; they never touch the
// application state nor wait on the window thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "metrics/snapshot.h"
#include "platform/http_server.h"
#include "platform/result.h"

namespace vorn {

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// "127.0.0.1:9100" -> {"127.0.0.1", 9100}; "[::1]:9100" keeps the brackets.
struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
};
std::optional<ListenAddress> split_listen(std::string_view listen);
// 127.0.0.0/8, "localhost" and [::1].
bool is_loopback_host(std::string_view host);

// The answer to one request: 401 without the right token (when one is set),
// 404 for paths other than / and /metrics, 405 for methods other than GET
// and HEAD, else the page or the snapshot.
platform::HttpServerResponse answer_metrics_request(const platform::HttpServerRequest& request,
                                                   const std::shared_ptr<const std::string>& snapshot,
                                                   std::string_view token);

class MetricsListener {
 public:
  // Failure: the reason binding failed.
  static Result<std::unique_ptr<MetricsListener>> start(const ListenAddress& address, std::string token,
                                                       std::shared_ptr<SnapshotBox> box,
                                                       platform::HttpServerLimits limits = {});
  void set_token(std::string token);
  std::uint16_t port() const { return server_->port(); }

  struct Shared;

 private:
  MetricsListener() = default;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<platform::HttpServer> server_;
};

}  // namespace vorn
