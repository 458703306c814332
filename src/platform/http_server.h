#pragma once
// A small HTTP/1.1 server (on cpp-httplib, for both targets) for the metrics
// listener: the rest of the program only says which answer a request gets.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace vorn::platform {

struct HttpServerRequest {
  std::string method;                                        // "GET", "HEAD", "POST", ...
  std::string path;                                          // without the query
  std::string query;                                         // after '?', as sent; empty without one
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, sorted by name
  std::string body;
};

struct HttpServerResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Type among them
  std::string body;                                          // not sent for HEAD; its Content-Length is
};

// Each is enforced for real, whatever a client does.
struct HttpServerLimits {
  // Connections served at once; later ones wait their turn.
  int connections = 4;
  // Request line and headers together; a larger head gets 431 and the
  // handler is not called.
  std::size_t head_bytes = 8 * 1024;
  // A request (head and body) must arrive whole within this time after the
  // connection, or after the previous answer on a kept connection: a client
  // that sends nothing, or a byte now and then, is dropped. Each part of an
  // answer (its head, its body) must be taken by the client within it too.
  std::chrono::milliseconds idle{5000};
  // Larger request bodies get 413 and the handler is not called.
  std::size_t body_bytes = 64 * 1024;
};

using HttpHandler = std::function<HttpServerResponse(const HttpServerRequest&)>;

class HttpServer {
 public:
  // Listens on host:port and answers every request with `handler`, which
  // runs on the server's threads (up to `connections` at once) and must
  // return promptly: it must not wait on the window thread. A handler that
  // throws answers 500. Host: an IPv4 literal, "localhost" (its IPv4 address
  // when it has one) or a bracketed IPv6 literal such as "[::1]". Port 0
  // takes a free port (see port()). Failure: the reason from the system,
  // such as the port being taken.
  static Result<std::unique_ptr<HttpServer>> start(const std::string& host, std::uint16_t port, HttpServerLimits limits,
                                                   HttpHandler handler);

  // Stops: the listening port closes and clients being served are dropped
  // at once (every wait of the server also waits for the stop), after the
  // handler calls in progress return.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  std::uint16_t port() const;

  struct Impl;

 private:
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::platform
