#pragma once
// HTTP helpers for tests: the recording server (tests/support/http_recorder.py)
// started and ended by a test, and a raw TCP client that sends exactly the
// bytes a test chooses.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace vorn::testing_support {

// Debian's /usr/bin/python3 (reached as Z:\usr\bin\python3 under Wine), else
// python3 (python3.exe, python.exe) on PATH; none when there is no Python.
std::optional<std::string> find_python3();

struct RecordedRequest {
  std::string method;
  std::string path;                                          // with the query
  std::vector<std::pair<std::string, std::string>> headers;  // as sent
  std::string body;                                          // the exact bytes
  double time = 0;                                           // Unix time the request line arrived
  // The first header of that name (any letter case).
  std::optional<std::string> header(std::string_view name) const;
};

class HttpRecorder {
 public:
  // Starts the recorder (the script in the source folder, or the one
  // VORN_HTTP_RECORDER names) on 127.0.0.1 with a free port and the given
  // answer list (see http_recorder.py), and waits until it listens. Failure: why;
  // kNoPython when there is no python3.
  static Result<std::unique_ptr<HttpRecorder>> start(const std::string& answers = "200");
  static constexpr std::string_view kNoPython = "no python3 found";
  // Ends it: its lease is removed, then (natively) it is ended by pid; waits
  // until it has ended.
  ~HttpRecorder();

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:{port}{path}"
  std::string url(const std::string& path) const;
  // Replaces the answer list (through its control endpoint).
  MaybeError set_answers(const std::string& answers);
  // Everything recorded so far, in order.
  std::vector<RecordedRequest> requests() const;
  // Waits until at least n requests are recorded.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  HttpRecorder() = default;
  class Process;
  std::unique_ptr<Process> process_;
  std::string folder_, record_, port_file_, lease_;
  std::uint16_t port_ = 0;
};

// One TCP connection to 127.0.0.1:port for tests that must send malformed,
// huge, partial or no requests at all.
class RawClient {
 public:
  static Result<RawClient> connect(std::uint16_t port);
  RawClient(RawClient&&) noexcept;
  RawClient& operator=(RawClient&&) noexcept;
  ~RawClient();
  // Sends everything (fails when the peer stops taking it).
  bool send(std::string_view bytes);
  // What arrives until the peer closes, or until `limit` passes; `closed`
  // tells which.
  struct Received {
    std::string bytes;
    bool closed = false;
  };
  Received receive_until_closed(std::chrono::milliseconds limit);
  // What arrives until `bytes` holds `marker`, or the peer closes, or the time is up.
  Received receive_until(std::string_view marker, std::chrono::milliseconds limit);
  void close();

 private:
  explicit RawClient(std::intptr_t socket) : socket_(socket) {}
  std::intptr_t socket_ = -1;
};

}  // namespace vorn::testing_support
