// The small HTTP server on cpp-httplib. cpp-httplib parses requests and
// writes answers; this file owns the sockets around it, because the limits
// must hold whatever a client does:
// - the listening socket is opened here (the reason for a failure comes
//   from the system; no port sharing) and handed to cpp-httplib;
// - each connection's bytes pass through `Connection`, which counts the
//   request head against its limit and its deadline;
// - connections are accepted here and served by a fixed number of threads
//   (`BoundedPool`);
// - every wait also watches the stop (`StopSignal`), so an idle listener
//   and an idle kept-alive connection sleep until something happens.
#include "platform/http_server.h"

// On Windows this single header also starts Windows Sockets (WSAStartup)
// while the program starts.
#include <httplib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "platform/os_error.h"

namespace vorn::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The longest a server thread sleeps before it looks at the stop flag
// itself, should the stop's wake-up datagram ever go missing.
constexpr auto kLongestSleep = std::chrono::milliseconds(5000);
constexpr std::size_t kRequestsPerConnection = 100;
constexpr int kListenBacklog = 16;
// After a failed wait or accept: the listener tries again this much later.
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr std::size_t kDrainBytes = 1024 * 1024;
constexpr char kTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// --- the few socket calls that differ between the systems --------------------

constexpr int kFirst = 1, kSecond = 2;

#ifdef _WIN32
int socket_error() { return WSAGetLastError(); }
bool would_block(int code) { return code == WSAEWOULDBLOCK || code == WSAEINTR; }
void close_socket(socket_t s) { closesocket(s); }
void shutdown_socket(socket_t s) { shutdown(s, SD_BOTH); }
void shutdown_sending(socket_t s) { shutdown(s, SD_SEND); }
bool set_nonblocking(socket_t s) {
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);  // keep it from children
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
// A socket that the miner and other children never inherit.
socket_t new_socket(int family) {
  return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}
// No other socket may take the same port while this one holds it.
void set_listening_options(socket_t s) {
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}
socket_t new_datagram_socket() {
  return WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}
// Within `wait`: -1 failed, else which of the two are ready (kFirst, kSecond,
// both, or 0 for neither). `second` is only ever waited on for reading.
int wait_pair(socket_t first, bool for_writing, socket_t second, std::chrono::milliseconds wait) {
  fd_set first_set, second_set;
  FD_ZERO(&first_set);
  FD_ZERO(&second_set);
  FD_SET(first, &first_set);
  FD_SET(second, &second_set);
  fd_set* readable = &second_set;
  if (!for_writing) FD_SET(first, readable);  // Windows sets hold sockets, not bits: one set for both
  timeval tv{static_cast<long>(wait.count() / 1000), static_cast<long>(wait.count() % 1000 * 1000)};
  const int r = select(0, readable, for_writing ? &first_set : nullptr, nullptr, &tv);
  if (r == SOCKET_ERROR) return -1;
  return ((for_writing ? FD_ISSET(first, &first_set) : FD_ISSET(first, readable)) ? kFirst : 0) |
         (FD_ISSET(second, readable) ? kSecond : 0);
}
constexpr int kSendFlags = 0;
#else
int socket_error() { return errno; }
bool would_block(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINTR; }
void close_socket(socket_t s) { ::close(s); }
void shutdown_socket(socket_t s) { ::shutdown(s, SHUT_RDWR); }
void shutdown_sending(socket_t s) { ::shutdown(s, SHUT_WR); }
bool set_nonblocking(socket_t s) {
  const int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFD, FD_CLOEXEC);  // accepted without it: keep it from children started later
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
socket_t new_socket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }
// SO_REUSEADDR on Linux only lets the port be taken again while old
// connections linger; unlike SO_REUSEPORT it never lets two servers share it.
void set_listening_options(socket_t s) {
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
socket_t new_datagram_socket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }
int wait_pair(socket_t first, bool for_writing, socket_t second, std::chrono::milliseconds wait) {
  pollfd p[2] = {{first, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0}, {second, POLLIN, 0}};
  const int r = ::poll(p, 2, static_cast<int>(wait.count()));
  if (r < 0) return errno == EINTR ? 0 : -1;
  // An error or a hang-up on the connection counts as ready: the next
  // read or write tells which.
  return (p[0].revents != 0 ? kFirst : 0) | (p[1].revents != 0 ? kSecond : 0);
}
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

std::string resolve_error_text(int code) {
#ifdef _WIN32
  return os_error_text(code);  // getaddrinfo's codes are Windows Sockets errors
#else
  return code == EAI_SYSTEM ? last_os_error_text() : std::string(gai_strerror(code));
#endif
}

// "[::1]" -> "::1": the brackets only separate an IPv6 address from the port.
std::string bare_host(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

struct Listening {
  socket_t socket;
  std::uint16_t port;
};

std::uint16_t bound_port(socket_t s) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

// Binds the first address of `host` that works; IPv4 first, so that
// "localhost" means 127.0.0.1 wherever it has both.
Result<Listening> open_listening_socket(const std::string& host, std::uint16_t port) {
  const std::string name = bare_host(host);
  if (name.empty()) return Result<Listening>::failure("no host given");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) return Result<Listening>::failure(resolve_error_text(resolved));
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
  std::vector<const addrinfo*> candidates;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) candidates.push_back(a);
  std::stable_partition(candidates.begin(), candidates.end(),
                        [](const addrinfo* a) { return a->ai_family == AF_INET; });

  std::string error = "no address to listen on";
  for (const addrinfo* a : candidates) {
    const socket_t s = new_socket(a->ai_family);
    if (s == INVALID_SOCKET) {
      error = os_error_text(socket_error());
      continue;
    }
    set_listening_options(s);
    if (::bind(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen)) == 0 && ::listen(s, kListenBacklog) == 0) {
      return Result<Listening>::success({s, bound_port(s)});
    }
    error = os_error_text(socket_error());
    close_socket(s);
  }
  return Result<Listening>::failure(error);
}

// --- the stop ----------------------------------------------------------------

// How the server's threads learn of the stop without waking to look: a
// loopback datagram socket connected to itself, so that only it can send
// to it. Every wait of the server also waits for it to become readable, and
// the stop sends it one datagram, which nobody reads: it then stays
// readable for every waiter at once. The flag is the truth; the datagram
// only wakes.
class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  ~StopSignal() {
    if (socket_ != INVALID_SOCKET) close_socket(socket_);
  }

  MaybeError open() {
    socket_ = new_datagram_socket();
    if (socket_ == INVALID_SOCKET) return os_error_text(socket_error());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::connect(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 || !set_nonblocking(socket_)) {
      return os_error_text(socket_error());
    }
    return std::nullopt;
  }
  socket_t socket() const { return socket_; }
  bool raised() const { return raised_.load(); }
  void raise() {
    raised_ = true;
    const char byte = 0;
    send(socket_, &byte, 1, kSendFlags);
  }
  // Whatever made the socket readable without a stop (no other sender can
  // reach it; a pending error could) is read away, so that it cannot wake
  // the waiters for good.
  void drop_stray() const {
    char byte = 0;
    recv(socket_, &byte, 1, 0);
  }

 private:
  socket_t socket_ = INVALID_SOCKET;
  std::atomic<bool> raised_{false};
};

enum class Wait { ready, timed_out, stopping, failed };

// Sleeps until `s` is ready, `until` passes or the server stops.
Wait wait_for(socket_t s, bool for_writing, const StopSignal& stop, Clock::time_point until) {
  for (;;) {
    if (stop.raised()) return Wait::stopping;
    const auto now = Clock::now();
    if (now >= until) return Wait::timed_out;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    const int ready = wait_pair(s, for_writing, stop.socket(), std::min<std::chrono::milliseconds>(left, kLongestSleep));
    if (ready < 0) return Wait::failed;
    if (stop.raised()) return Wait::stopping;
    if ((ready & kSecond) != 0) stop.drop_stray();
    if ((ready & kFirst) != 0) return Wait::ready;
  }
}

// --- one connection ----------------------------------------------------------

// The bytes of one connection as cpp-httplib reads and writes them. While a
// request head is read, every byte counts against the head limit; a head
// over the limit is answered 431 here and reading fails, so cpp-httplib
// never routes the request. A request (head and body) must arrive within
// the idle time, and every wait ends at the stop of the server.
class Connection : public httplib::Stream {
 public:
  Connection(socket_t s, const HttpServerLimits& limits, const StopSignal& stop)
      : socket_(s), limits_(limits), stop_(stop) {}

  // The next bytes begin a request, due whole within the idle time.
  void begin_request() {
    in_head_ = true;
    head_bytes_ = 0;
    head_end_match_ = 0;
    request_deadline_ = Clock::now() + limits_.idle;
  }
  bool refused() const { return refused_; }
  // Refused, timed out, closed by the client, failed or stopping: nothing
  // more is read or written on this connection.
  bool ended() const { return refused_ || ended_; }

  // After a refusal the client may still be sending its head: closing now
  // would reset the connection and could destroy the 431 on its way. So
  // the answer is ended and what still comes is read and dropped, briefly.
  void drain_after_refusal() {
    shutdown_sending(socket_);
    const auto until = Clock::now() + std::min<std::chrono::milliseconds>(limits_.idle, kDrainTime);
    for (std::size_t dropped = 0; dropped < kDrainBytes;) {
      const ssize_t n = fill(until);
      if (n <= 0) return;
      dropped += static_cast<std::size_t>(n);
    }
  }

  bool is_readable() const override {
    if (begin_ < end_) return true;
    const int ready = wait_pair(socket_, false, stop_.socket(), {});
    return ready > 0 && (ready & kFirst) != 0;
  }
  bool is_writable() const override { return !ended(); }

  ssize_t read(char* out, size_t size) override {
    if (ended()) return -1;
    if (begin_ == end_) {
      if (!flush()) return -1;  // the answer goes out before the next request is awaited
      const ssize_t n = fill(request_deadline_);
      if (n <= 0) {
        ended_ = true;  // no "400" for a head cut short: the client is gone or too slow
        return n;
      }
    }
    size_t n = std::min(size, end_ - begin_);
    if (in_head_) n = take_head_bytes(n);
    if (refused_) return -1;
    std::memcpy(out, buffer_.data() + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  // cpp-httplib writes an answer's head and body separately: small ones
  // are gathered and sent together, one send instead of two (each is a
  // call into the system, a round trip to its server under Wine). A large
  // body goes out as it is, never copied.
  ssize_t write(const char* data, size_t size) override {
    if (ended()) return -1;
    if (unsent_.size() + size <= kGatherBytes) {
      unsent_.append(data, size);
      return static_cast<ssize_t>(size);
    }
    if (!flush()) return -1;
    if (!send_all(data, size)) {
      ended_ = true;
      return -1;
    }
    return static_cast<ssize_t>(size);
  }

  // Sends what was written; false when the connection ended.
  bool flush() {
    if (unsent_.empty()) return !ended();
    const bool sent = !ended() && send_all(unsent_.data(), unsent_.size());
    unsent_.clear();
    if (!sent) ended_ = true;
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  socket_t socket() const override { return socket_; }

 private:
  // Up to `n` buffered bytes that still belong to the head, counted; stops
  // after the blank line that ends it. Over the limit: answers 431.
  size_t take_head_bytes(size_t n) {
    static constexpr char kEnd[] = "\r\n\r\n";
    size_t taken = 0;
    while (taken < n && in_head_) {
      if (++head_bytes_ > limits_.head_bytes) {
        refused_ = true;
        send_all(kTooLarge, sizeof kTooLarge - 1);
        return 0;
      }
      const char c = buffer_[begin_ + taken++];
      head_end_match_ = c == kEnd[head_end_match_] ? head_end_match_ + 1 : (c == '\r' ? 1 : 0);
      if (head_end_match_ == 4) in_head_ = false;
    }
    return taken;
  }

  // Reads what the socket has into the empty buffer. 0: the client closed;
  // -1: failed, timed out or stopping.
  ssize_t fill(Clock::time_point until) {
    for (;;) {
      if (wait_for(socket_, false, stop_, until) != Wait::ready) return -1;
      const auto n = recv(socket_, buffer_.data(), static_cast<int>(buffer_.size()), 0);
      if (n < 0 && would_block(socket_error())) continue;
      if (n <= 0) return n < 0 ? -1 : 0;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
      return n;
    }
  }

  // Sends everything, unless the client has not taken it all within the
  // idle time: a client that reads slowly holds a thread no longer. It
  // waits only when the socket is full: there is nearly always room, and
  // each wait is a call into the system (a server call under Wine).
  bool send_all(const char* data, size_t size) {
    const auto until = Clock::now() + limits_.idle;
    while (size > 0) {
      if (stop_.raised() || Clock::now() >= until) return false;
      const int chunk = static_cast<int>(std::min<size_t>(size, 64 * 1024));
      const auto n = send(socket_, data, chunk, kSendFlags);
      if (n < 0 && would_block(socket_error())) {
        if (wait_for(socket_, true, stop_, until) != Wait::ready) return false;
        continue;
      }
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  socket_t socket_;
  HttpServerLimits limits_;
  const StopSignal& stop_;
  static constexpr std::size_t kGatherBytes = 64 * 1024;
  std::string unsent_;
  std::array<char, 4096> buffer_{};
  size_t begin_ = 0, end_ = 0;
  bool in_head_ = true, refused_ = false, ended_ = false;
  size_t head_bytes_ = 0;
  int head_end_match_ = 0;
  Clock::time_point request_deadline_{};
};

// --- threads -----------------------------------------------------------------

// A fixed number of threads serving connections. Accepted connections wait
// in a short queue; when it is full, accepting waits too, so the next
// clients wait in the system's backlog instead of piling up here.
class BoundedPool {
 public:
  BoundedPool(int threads, std::size_t waiting) : waiting_limit_(waiting) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  }
  void enqueue(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return jobs_.size() < waiting_limit_; });
    jobs_.push_back(std::move(job));
    work_.notify_one();
  }
  // Runs every queued job (each ends at once: the server is stopping), then joins.
  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [&] { return closing_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      room_.notify_one();
      job();
    }
  }

  const std::size_t waiting_limit_;
  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

bool routed_method(const std::string& method) {
  for (const char* m : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"}) {
    if (method == m) return true;
  }
  return false;
}

bool injected_header(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

HttpServerRequest to_request(const httplib::Request& r) {
  HttpServerRequest request;
  request.method = r.method;
  request.path = r.path;
  if (const auto q = r.target.find('?'); q != std::string::npos) request.query = r.target.substr(q + 1);
  for (const auto& [name, value] : r.headers) {
    if (injected_header(name)) continue;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    request.headers.emplace_back(std::move(lower), value);
  }
  request.body = r.body;
  return request;
}

// cpp-httplib's request handling with this file's sockets, connections and
// threads: `accept_connections` replaces cpp-httplib's accept loop, whose
// waits wake ten times a second (a hundred on Windows) to look for its stop.
class Listener : public httplib::Server {
 public:
  Listener(const HttpServerLimits& limits, HttpHandler handler) : limits_(limits), handler_(std::move(handler)) {
    set_payload_max_length(limits.body_bytes);
    set_keep_alive_max_count(kRequestsPerConnection);
    set_keep_alive_timeout(std::max<time_t>(1, (limits.idle.count() + 999) / 1000));  // for its Keep-Alive header
    const auto answer = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
    // Every path: "." alone would miss a decoded line feed.
    const std::string any = "[\\s\\S]*";
    Get(any, answer);  // and HEAD
    Post(any, answer);
    Put(any, answer);
    Patch(any, answer);
    Delete(any, answer);
    Options(any, answer);
    // The methods cpp-httplib parses but does not route (TRACE, CONNECT)
    // reach the handler too, which answers them (405, say).
    set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      if (routed_method(req.method)) return HandlerResponse::Unhandled;
      serve(req, res);
      return HandlerResponse::Handled;
    });
  }

  // Accepts until the stop, then waits for the connections being served,
  // which the stop ends too.
  void accept_connections(socket_t listening, const StopSignal& stop) {
    BoundedPool pool(std::max(1, limits_.connections), static_cast<std::size_t>(std::max(1, limits_.connections)));
    for (;;) {
      const Wait waited = wait_for(listening, false, stop, Clock::time_point::max());
      if (waited == Wait::stopping) break;
      if (waited != Wait::ready) {
        // Failed waits are rare and may be brief (no buffers): try again soon.
        std::this_thread::sleep_for(kRetryPause);
        continue;
      }
      const socket_t s = accept(listening, nullptr, nullptr);
      if (s == INVALID_SOCKET) {
        // The client gave up already, or there is no room for now (no free
        // socket): a failure that lasts must not keep this thread spinning.
        if (!would_block(socket_error())) std::this_thread::sleep_for(kRetryPause);
        continue;
      }
      pool.enqueue([this, s, &stop] { serve_connection(s, stop); });
    }
    pool.shutdown();
  }

 private:
  void serve_connection(socket_t s, const StopSignal& stop) {
    if (set_nonblocking(s)) {
      Connection connection(s, limits_, stop);
      for (std::size_t served = 0; served < keep_alive_max_count_; ++served) {
        connection.begin_request();
        bool closed = false;
        const bool last = served + 1 == keep_alive_max_count_;
        if (!process_request(connection, last, closed, nullptr) || closed || connection.ended()) break;
      }
      connection.flush();
      if (connection.refused()) connection.drain_after_refusal();
    }
    shutdown_socket(s);
    close_socket(s);
  }

  void serve(const httplib::Request& req, httplib::Response& res) {
    HttpServerResponse answer;
    try {
      answer = handler_(to_request(req));
    } catch (...) {
      answer = HttpServerResponse{500, {}, {}};
    }
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.body = std::move(answer.body);
  }

  const HttpServerLimits limits_;
  const HttpHandler handler_;
};

}  // namespace

struct HttpServer::Impl {
  Impl(const HttpServerLimits& limits, HttpHandler handler) : listener(limits, std::move(handler)) {}
  ~Impl() {
    if (socket != INVALID_SOCKET) close_socket(socket);
  }
  Listener listener;
  StopSignal stop;
  socket_t socket = INVALID_SOCKET;
  std::uint16_t port = 0;
  std::thread accepting;
};

Result<std::unique_ptr<HttpServer>> HttpServer::start(const std::string& host, std::uint16_t port,
                                                      HttpServerLimits limits, HttpHandler handler) {
  using R = Result<std::unique_ptr<HttpServer>>;
  Result<Listening> listening = open_listening_socket(host, port);
  if (!listening.ok()) return R::failure(listening.error());
  auto impl = std::make_unique<Impl>(limits, std::move(handler));
  impl->socket = listening.value().socket;
  impl->port = listening.value().port;
  if (!set_nonblocking(impl->socket)) return R::failure(os_error_text(socket_error()));
  if (MaybeError error = impl->stop.open()) return R::failure("no socket to stop the listener: " + *error);
  try {
    impl->accepting = std::thread([&impl = *impl] { impl.listener.accept_connections(impl.socket, impl.stop); });
  } catch (const std::system_error& e) {
    return R::failure(std::string("no thread to accept connections: ") + e.what());
  }
  return R::success(std::unique_ptr<HttpServer>(new HttpServer(std::move(impl))));
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() {
  // Wakes the accept loop and every connection; each ends, the pool joins,
  // and the port closes with the Impl.
  impl_->stop.raise();
  if (impl_->accepting.joinable()) impl_->accepting.join();
}

std::uint16_t HttpServer::port() const { return impl_->port; }

}  // namespace vorn::platform
