// The small HTTP server, against real clients on 127.0.0.1: the program's
// own client for ordinary requests, raw connections for the rest (silent,
// partial, huge, never reading).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/http_client.h"
#include "platform/http_server.h"
#include "support/http_support.h"

namespace vorn {
namespace {

using platform::HttpServer;
using platform::HttpServerLimits;
using platform::HttpServerRequest;
using platform::HttpServerResponse;
using testing_support::RawClient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

constexpr char kMetrics[] = "# HELP up 1\n# TYPE up gauge\nup 1\n";

// A handler like the metrics listener's: it also notes every request it sees.
struct TestSite {
  std::mutex mutex;
  std::vector<HttpServerRequest> seen;

  HttpServerResponse operator()(const HttpServerRequest& r) {
    {
      std::lock_guard lock(mutex);
      seen.push_back(r);
    }
    if (r.path == "/boom") throw std::runtime_error("handler failed");
    if (r.path == "/metrics" || r.path == "/") {
      if (r.method != "GET" && r.method != "HEAD") return {405, {{"Allow", "GET, HEAD"}}, "method not allowed\n"};
      if (r.path == "/") return {200, {{"Content-Type", "text/html"}}, "<a href=\"/metrics\">metrics</a>\n"};
      return {200, {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}}, kMetrics};
    }
    if (r.path == "/echo") return {200, {{"Content-Type", "text/plain"}}, r.method + " " + r.query + " " + r.body};
    return {404, {}, "not found\n"};
  }
  std::size_t calls() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

std::unique_ptr<HttpServer> start(TestSite& site, HttpServerLimits limits = {}, const std::string& host = "127.0.0.1") {
  auto server = HttpServer::start(host, 0, limits, [&site](const HttpServerRequest& r) { return site(r); });
  EXPECT_TRUE(server.ok()) << server.error();
  return server.ok() ? std::move(server).value() : nullptr;
}

platform::HttpResponse send(const std::string& method, std::uint16_t port, const std::string& target,
                            std::string body = {}, std::vector<std::pair<std::string, std::string>> headers = {}) {
  platform::HttpRequest r;
  r.method = method;
  r.url = "http://127.0.0.1:" + std::to_string(port) + target;
  r.body = std::move(body);
  r.headers = std::move(headers);
  r.time_limit = seconds(10);
  return platform::http_send(r);
}

RawClient connect(std::uint16_t port) {
  auto c = RawClient::connect(port);
  if (!c.ok()) throw std::runtime_error(c.error());
  return std::move(c).value();
}

TEST(HttpServer, TheHandlerAnswersEachPathAndMethod) {
  TestSite site;
  auto server = start(site);
  ASSERT_TRUE(server);
  EXPECT_NE(server->port(), 0);

  EXPECT_EQ(send("GET", server->port(), "/metrics").status, 200);
  EXPECT_EQ(send("GET", server->port(), "/").status, 200);
  EXPECT_EQ(send("GET", server->port(), "/nothing/here").status, 404);
  EXPECT_EQ(send("POST", server->port(), "/metrics", "x").status, 405);
  EXPECT_EQ(send("PUT", server->port(), "/metrics", "x").status, 405);
  EXPECT_EQ(send("DELETE", server->port(), "/metrics").status, 405);
  EXPECT_EQ(send("GET", server->port(), "/boom").status, 500);
  const platform::HttpResponse posted =
      send("POST", server->port(), "/echo?a=1&b=%20", "body bytes", {{"X-Rig-Name", "Rig 7"}});
  EXPECT_EQ(posted.status, 200);

  std::lock_guard lock(site.mutex);
  ASSERT_EQ(site.seen.size(), 8u);
  const HttpServerRequest& echo = site.seen.back();
  EXPECT_EQ(echo.method, "POST");
  EXPECT_EQ(echo.path, "/echo");
  EXPECT_EQ(echo.query, "a=1&b=%20");
  EXPECT_EQ(echo.body, "body bytes");
  bool found = false;
  for (const auto& [name, value] : echo.headers) {
    EXPECT_EQ(name.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << name;
    if (name == "x-rig-name") found = value == "Rig 7";
    EXPECT_NE(name, "remote_addr");  // cpp-httplib's own additions stay out
  }
  EXPECT_TRUE(found);
}

TEST(HttpServer, AnswersCarryTheHandlersStatusHeadersAndBodyExactly) {
  TestSite site;
  auto server = start(site);
  ASSERT_TRUE(server);
  RawClient client = connect(server->port());
  ASSERT_TRUE(client.send("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const auto got = client.receive_until_closed(seconds(5));
  EXPECT_TRUE(got.closed);
  EXPECT_EQ(got.bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << got.bytes;
  EXPECT_NE(got.bytes.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(got.bytes.find("\r\nContent-Length: " + std::to_string(sizeof kMetrics - 1) + "\r\n"), std::string::npos);
  EXPECT_EQ(got.bytes.substr(got.bytes.find("\r\n\r\n") + 4), kMetrics);

  RawClient other = connect(server->port());
  ASSERT_TRUE(other.send("TRACE /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const auto traced = other.receive_until_closed(seconds(5));
  EXPECT_EQ(traced.bytes.rfind("HTTP/1.1 405 ", 0), 0u) << traced.bytes;  // the handler's answer
  EXPECT_NE(traced.bytes.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
}

TEST(HttpServer, HeadGetsTheHeadersOfGetWithoutTheBody) {
  TestSite site;
  auto server = start(site);
  ASSERT_TRUE(server);
  RawClient client = connect(server->port());
  // HEAD, then GET on the same kept connection: a stray body after the
  // HEAD answer would show up in front of the GET answer.
  ASSERT_TRUE(client.send("HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto head = client.receive_until("\r\n\r\n", seconds(5));
  EXPECT_EQ(head.bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head.bytes;
  EXPECT_NE(head.bytes.find("\r\nContent-Length: " + std::to_string(sizeof kMetrics - 1) + "\r\n"), std::string::npos);
  EXPECT_NE(head.bytes.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(head.bytes.size(), head.bytes.find("\r\n\r\n") + 4);  // nothing after the head
  ASSERT_TRUE(client.send("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const auto get = client.receive_until_closed(seconds(5));
  EXPECT_EQ(get.bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << get.bytes;
  EXPECT_EQ(get.bytes.substr(get.bytes.find("\r\n\r\n") + 4), kMetrics);
  std::lock_guard lock(site.mutex);
  ASSERT_EQ(site.seen.size(), 2u);
  EXPECT_EQ(site.seen[0].method, "HEAD");
}

// Handler calls that wait at a gate, to hold connections busy.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int inside = 0, most_inside = 0, entered = 0;

  HttpServerResponse operator()(const HttpServerRequest&) {
    std::unique_lock lock(mutex);
    ++entered;
    most_inside = std::max(most_inside, ++inside);
    changed.notify_all();
    changed.wait_for(lock, seconds(30), [&] { return open; });
    --inside;
    return {200, {}, "ok"};
  }
  bool wait(const std::function<bool()>& condition, milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, condition);
  }
};

TEST(HttpServer, FourConnectionsAreServedAtOnceAndTheFifthWaitsItsTurn) {
  Gate gate;
  auto server = HttpServer::start("127.0.0.1", 0, {}, [&gate](const HttpServerRequest& r) { return gate(r); });
  ASSERT_TRUE(server.ok()) << server.error();
  const std::uint16_t port = server.value()->port();
  std::vector<int> statuses(5, -1);
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] { statuses[i] = send("GET", port, "/busy").status; });
  }
  ASSERT_TRUE(gate.wait([&] { return gate.inside == 4; }, seconds(10)));
  clients.emplace_back([&] { statuses[4] = send("GET", port, "/fifth").status; });
  std::this_thread::sleep_for(milliseconds(1000));
  {
    std::lock_guard lock(gate.mutex);
    EXPECT_EQ(gate.entered, 4);  // the fifth is connected but not served
    gate.open = true;
  }
  gate.changed.notify_all();
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(statuses, std::vector<int>(5, 200));  // then it is
  EXPECT_EQ(gate.entered, 5);
  EXPECT_EQ(gate.most_inside, 4);
}

TEST(HttpServer, SilentAndSlowClientsAreDroppedWhileOthersAreServed) {
  TestSite site;
  HttpServerLimits limits;
  limits.idle = milliseconds(1000);
  auto server = start(site, limits);
  ASSERT_TRUE(server);
  const auto start_time = Clock::now();
  // Three of the four threads held: one client silent, one stopped within
  // its head, one sending a byte every 0.3 s (not a request: the whole head
  // is due within the idle time).
  RawClient silent = connect(server->port());
  RawClient partial = connect(server->port());
  ASSERT_TRUE(partial.send("GET /metrics HTTP/1.1\r\nHost"));
  RawClient dripping = connect(server->port());
  std::thread drip([&] {
    for (char c : std::string("GET /metrics HTTP/1.1\r\n")) {
      if (!dripping.send(std::string(1, c))) return;
      std::this_thread::sleep_for(milliseconds(300));
    }
  });

  // Meanwhile another client is served at once.
  EXPECT_EQ(send("GET", server->port(), "/metrics").status, 200);
  EXPECT_LE(seconds_since(start_time), 0.9);
  // And one that stays connected after its answer is dropped in turn.
  RawClient kept = connect(server->port());
  ASSERT_TRUE(kept.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto answer = kept.receive_until("up 1\n", seconds(5));
  EXPECT_NE(answer.bytes.find("up 1\n"), std::string::npos);
  const auto answered = Clock::now();

  for (RawClient* c : {&silent, &partial, &dripping}) {
    const auto got = c->receive_until_closed(seconds(5));
    EXPECT_TRUE(got.closed);
    EXPECT_EQ(got.bytes, "");
  }
  const double took = seconds_since(start_time);
  EXPECT_GE(took, 0.9);
  EXPECT_LE(took, 2.0);
  const auto after_answer = kept.receive_until_closed(seconds(5));
  EXPECT_TRUE(after_answer.closed);
  EXPECT_EQ(after_answer.bytes, "");
  EXPECT_GE(seconds_since(answered), 0.9);
  EXPECT_LE(seconds_since(answered), 2.0);
  drip.join();
  EXPECT_EQ(site.calls(), 2u);  // the two complete requests
}

TEST(HttpServer, ClientsThatDoNotTakeTheirAnswerAreDroppedAfterTheIdleTime) {
  TestSite site;
  HttpServerLimits limits;
  limits.idle = milliseconds(1000);
  auto server = HttpServer::start("127.0.0.1", 0, limits, [&site](const HttpServerRequest& r) {
    if (r.path == "/huge") return HttpServerResponse{200, {}, std::string(32 * 1024 * 1024, 'h')};
    return site(r);
  });
  ASSERT_TRUE(server.ok()) << server.error();
  const std::uint16_t port = server.value()->port();
  // Four clients ask for 32 MiB each and read nothing: every thread is held.
  std::vector<RawClient> readers;
  for (int i = 0; i < 4; ++i) {
    readers.push_back(connect(port));
    ASSERT_TRUE(readers.back().send("GET /huge HTTP/1.1\r\nHost: x\r\n\r\n"));
  }
  std::this_thread::sleep_for(milliseconds(300));
  const auto start_time = Clock::now();
  EXPECT_EQ(send("GET", port, "/metrics").status, 200);  // served once they are dropped
  const double waited = seconds_since(start_time);
  EXPECT_GE(waited, 0.4);
  EXPECT_LE(waited, 2.5);
  // The readers read only once each was due to be dropped: one that began
  // reading in time would rightly get its whole answer.
  std::this_thread::sleep_until(start_time + limits.idle + milliseconds(500));
  for (RawClient& r : readers) {
    const auto got = r.receive_until_closed(seconds(10));
    EXPECT_TRUE(got.closed);
    EXPECT_LT(got.bytes.size(), 32u * 1024 * 1024);  // cut short
  }
}

TEST(HttpServer, AHeadOverTheLimitIsRefusedWithoutCallingTheHandler) {
  TestSite site;
  auto server = start(site);
  ASSERT_TRUE(server);

  // 100 KiB of ordinary header lines, each short.
  std::string many = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; many.size() < 100 * 1024; ++i) {
    many += "X-Fill-" + std::to_string(i) + ": " + std::string(60, 'a') + "\r\n";
  }
  many += "\r\n";
  // One huge line.
  const std::string long_line = "GET /metrics?" + std::string(100 * 1024, 'q') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  // Just over the limit: 8 KiB + 1 byte.
  std::string edge = "GET /metrics HTTP/1.1\r\nX: ";
  edge += std::string(8 * 1024 + 1 - edge.size() - 4, 'e') + "\r\n\r\n";
  ASSERT_EQ(edge.size(), 8u * 1024 + 1);

  for (const std::string& head : {many, long_line, edge}) {
    RawClient client = connect(server->port());
    client.send(head);  // the server may stop reading early
    const auto got = client.receive_until_closed(seconds(5));
    EXPECT_TRUE(got.closed);
    EXPECT_EQ(got.bytes.rfind("HTTP/1.1 431 ", 0), 0u) << "head of " << head.size() << " bytes: " << got.bytes;
  }
  EXPECT_EQ(site.calls(), 0u);

  // A head of exactly 8 KiB is still served.
  std::string fits = "GET /metrics HTTP/1.1\r\nX: ";
  fits += std::string(8 * 1024 - fits.size() - 4, 'f') + "\r\n\r\n";
  ASSERT_EQ(fits.size(), 8u * 1024);
  RawClient client = connect(server->port());
  ASSERT_TRUE(client.send(fits));
  const auto got = client.receive_until(kMetrics, seconds(5));
  EXPECT_EQ(got.bytes.rfind("HTTP/1.1 200 ", 0), 0u) << got.bytes;
  EXPECT_EQ(site.calls(), 1u);
}

TEST(HttpServer, ABodyOverTheLimitIsRefusedWithoutCallingTheHandler) {
  TestSite site;
  auto server = start(site);
  ASSERT_TRUE(server);
  EXPECT_EQ(send("POST", server->port(), "/echo", std::string(64 * 1024 + 1, 'b')).status, 413);
  EXPECT_EQ(site.calls(), 0u);
  EXPECT_EQ(send("POST", server->port(), "/echo", std::string(64 * 1024, 'b')).status, 200);
  EXPECT_EQ(site.calls(), 1u);
}

TEST(HttpServer, ATakenPortOrABadHostFailsWithTheReason) {
  TestSite site;
  auto first = start(site);
  ASSERT_TRUE(first);
  auto second =
      HttpServer::start("127.0.0.1", first->port(), {}, [&site](const HttpServerRequest& r) { return site(r); });
  ASSERT_FALSE(second.ok());
  EXPECT_NE(second.error().find("(os error "), std::string::npos) << second.error();
  EXPECT_EQ(send("GET", first->port(), "/metrics").status, 200);  // the first one still has it

  // A port held by another program.
  auto recorder = testing_support::HttpRecorder::start();
  if (recorder.ok()) {
    auto third = HttpServer::start("127.0.0.1", recorder.value()->port(), {},
                                   [&site](const HttpServerRequest& r) { return site(r); });
    EXPECT_FALSE(third.ok());
  }

  for (const std::string host : {"256.1.2.3", "[::1", "no-such-host.invalid", ""}) {
    auto bad = HttpServer::start(host, 0, {}, [&site](const HttpServerRequest& r) { return site(r); });
    ASSERT_FALSE(bad.ok()) << host;
    EXPECT_NE(bad.error(), "") << host;
  }
}

TEST(HttpServer, LocalhostAndABracketedIpv6LiteralAreHosts) {
  TestSite site;
  auto on_localhost = start(site, {}, "localhost");
  ASSERT_TRUE(on_localhost);
  EXPECT_EQ(send("GET", on_localhost->port(), "/metrics").status, 200);  // IPv4 first

  auto on_ipv6 = HttpServer::start("[::1]", 0, {}, [&site](const HttpServerRequest& r) { return site(r); });
  if (!on_ipv6.ok()) GTEST_SKIP() << "no IPv6 loopback here: " << on_ipv6.error();
  platform::HttpRequest r;
  r.method = "GET";
  r.url = "http://[::1]:" + std::to_string(on_ipv6.value()->port()) + "/metrics";
  r.time_limit = seconds(10);
  const auto response = platform::http_send(r);
  EXPECT_EQ(response.error, "");
  EXPECT_EQ(response.status, 200);
  std::lock_guard lock(site.mutex);
  ASSERT_EQ(site.seen.size(), 2u);
  bool named = false;
  for (const auto& [name, value] : site.seen.back().headers) {
    if (name == "host") named = value == "[::1]:" + std::to_string(on_ipv6.value()->port());
  }
  EXPECT_TRUE(named) << "the Host header names the IPv6 literal in brackets";
}

TEST(HttpServer, StoppingWithClientsStuckEndsWithinItsBound) {
  TestSite site;
  HttpServerLimits limits;
  limits.idle = seconds(60);  // nothing ends by itself during the test
  auto server = HttpServer::start("127.0.0.1", 0, limits, [&site](const HttpServerRequest& r) {
    if (r.path == "/huge") return HttpServerResponse{200, {}, std::string(32 * 1024 * 1024, 'h')};
    return site(r);
  });
  ASSERT_TRUE(server.ok()) << server.error();
  const std::uint16_t port = server.value()->port();
  std::vector<RawClient> clients;
  // One that never reads a 32 MiB answer, two silent, one half a head, and
  // two more waiting for a free thread.
  clients.push_back(connect(port));
  ASSERT_TRUE(clients.back().send("GET /huge HTTP/1.1\r\nHost: x\r\n\r\n"));
  for (int i = 0; i < 2; ++i) clients.push_back(connect(port));
  clients.push_back(connect(port));
  ASSERT_TRUE(clients.back().send("GET /metrics HTTP/1.1\r\nHo"));
  for (int i = 0; i < 2; ++i) clients.push_back(connect(port));
  std::this_thread::sleep_for(milliseconds(500));

  const auto start_time = Clock::now();
  server.value().reset();
  const double took = seconds_since(start_time);
  EXPECT_LE(took, 0.25);  // woken, not found by a look now and then
  for (RawClient& c : clients) {
    EXPECT_TRUE(c.receive_until_closed(seconds(5)).closed);
  }
  EXPECT_FALSE(RawClient::connect(port).ok());  // the port is closed
}

}  // namespace
}  // namespace vorn
