// The metrics listener and textfile for real: the program's listener on
// 127.0.0.1 against raw clients, the options that start, move and stop it,
// and the textfile against a reader polling it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/supervisor.h"
#include "metrics/listener.h"
#include "metrics/metrics_service.h"
#include "metrics/textfile.h"
#include "platform/fault_points.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/http_support.h"
#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::RawClient;
using testing_support::scratch_folder;
using std::chrono::milliseconds;
using std::chrono::seconds;
using SteadyClock = std::chrono::steady_clock;

struct Answer {
  int status = 0;
  std::string head, body;
};

// One request on a new connection; the whole answer.
Answer fetch(std::uint16_t port, const std::string& method, const std::string& path, const std::string& headers = {}) {
  auto client = RawClient::connect(port);
  if (!client.ok()) return {};
  client.value().send(method + " " + path + " HTTP/1.1\r\nHost: rig\r\nConnection: close\r\n" + headers + "\r\n");
  const std::string bytes = client.value().receive_until_closed(seconds(10)).bytes;
  Answer a;
  const std::size_t end = bytes.find("\r\n\r\n");
  if (bytes.size() < 12 || end == std::string::npos) return a;
  a.status = std::stoi(bytes.substr(9, 3));
  a.head = bytes.substr(0, end);
  a.body = bytes.substr(end + 4);
  return a;
}

std::unique_ptr<MetricsListener> listen(std::shared_ptr<SnapshotBox> box, const std::string& token = {}) {
  auto started = MetricsListener::start({"127.0.0.1", 0}, token, std::move(box));
  EXPECT_TRUE(started.ok()) << started.error();
  return started.ok() ? std::move(started).value() : nullptr;
}

// Waits (at most `limit`) until a textfile and its temporary are gone.
bool textfile_gone(const std::string& path, std::chrono::milliseconds limit) {
  return testing_support::pump_until(
      [&] { return !platform::path_exists(path) && !platform::path_exists(path + ".tmp"); }, limit);
}

std::shared_ptr<SnapshotBox> box_with(const std::string& text) {
  auto box = std::make_shared<SnapshotBox>();
  box->set(text);
  return box;
}

constexpr char kText[] = "# HELP vorn_miner_up x\n# TYPE vorn_miner_up gauge\nvorn_miner_up 1\n";

TEST(MetricsListener, AnswersTheMetricsThePageAndNothingElse) {
  auto listener = listen(box_with(kText));
  const std::uint16_t port = listener->port();

  const Answer metrics = fetch(port, "GET", "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos);
  EXPECT_EQ(metrics.body, kText);
  const Answer head = fetch(port, "HEAD", "/metrics");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_NE(head.head.find("Content-Length: " + std::to_string(sizeof kText - 1)), std::string::npos);
  const Answer page = fetch(port, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.head.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(page.body.find("href=\"/metrics\""), std::string::npos);

  EXPECT_EQ(fetch(port, "GET", "/metrics/").status, 404);
  const Answer missing = fetch(port, "GET", "/favicon.ico");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "Not Found\n");
  EXPECT_NE(missing.head.find("Content-Type: text/plain; charset=utf-8"), std::string::npos);
  const Answer post = fetch(port, "POST", "/metrics", "Content-Length: 0\r\n");
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos);
  EXPECT_EQ(post.body, "Method Not Allowed\n");
  EXPECT_EQ(fetch(port, "DELETE", "/").status, 405);
  EXPECT_EQ(fetch(port, "TRACE", "/metrics").status, 405);

  // Before the first snapshot: a scrape fails, and says why.
  auto empty = listen(std::make_shared<SnapshotBox>());
  const Answer early = fetch(empty->port(), "GET", "/metrics");
  EXPECT_EQ(early.status, 503);
  EXPECT_EQ(early.body, "No metrics yet\n");
  EXPECT_EQ(fetch(empty->port(), "GET", "/").status, 200);
}

TEST(MetricsListener, WithATokenEveryRequestNeedsIt) {
  auto listener = listen(box_with(kText), "s3cret-token");
  const std::uint16_t port = listener->port();
  // Wrong at the first or the last byte only, as well.
  for (const std::string& header : {std::string(), std::string("Authorization: Bearer wrong\r\n"),
                                    std::string("Authorization: s3cret-token\r\n"),
                                    std::string("Authorization: Bearer s3cret-token2\r\n"),
                                    std::string("Authorization: Cearer s3cret-token\r\n"),
                                    std::string("Authorization: Bearer s3cret-tokeN\r\n")}) {
    const Answer a = fetch(port, "GET", "/metrics", header);
    EXPECT_EQ(a.status, 401) << header;
    EXPECT_NE(a.head.find("WWW-Authenticate: Bearer"), std::string::npos);
    EXPECT_EQ(a.body.find("vorn_"), std::string::npos);
    EXPECT_EQ(a.body.find("s3cret"), std::string::npos);
  }
  EXPECT_EQ(fetch(port, "GET", "/nowhere").status, 401);  // nothing is told without it
  const Answer ok = fetch(port, "GET", "/metrics", "Accept: */*\r\nAuthorization: Bearer s3cret-token\r\n");
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, kText);

  listener->set_token("next");  // an options change: at once, on the same port
  EXPECT_EQ(fetch(port, "GET", "/metrics", "Authorization: Bearer s3cret-token\r\n").status, 401);
  EXPECT_EQ(fetch(port, "GET", "/metrics", "Authorization: Bearer next\r\n").status, 200);
}

TEST(MetricsListener, SilentHugeAndManyClientsDoNotStopTheScrapes) {
  auto listener = listen(box_with(kText));
  const std::uint16_t port = listener->port();

  // A client that sends nothing holds one of the four connections, until it
  // is dropped after 5 s; scrapes go on meanwhile.
  auto silent = RawClient::connect(port);
  ASSERT_TRUE(silent.ok());
  const auto start = SteadyClock::now();
  std::atomic<bool> dropped{false};
  std::thread watcher([&] { dropped = silent.value().receive_until_closed(seconds(10)).closed; });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fetch(port, "GET", "/metrics").status, 200);
    std::this_thread::sleep_for(milliseconds(500));
  }
  watcher.join();
  const double after = std::chrono::duration<double>(SteadyClock::now() - start).count();
  EXPECT_TRUE(dropped);
  EXPECT_GE(after, 4.5);
  EXPECT_LT(after, 7.0);

  // A 100 KiB head is refused, and the listener serves on.
  auto huge = RawClient::connect(port);
  ASSERT_TRUE(huge.ok());
  huge.value().send("GET /metrics HTTP/1.1\r\nHost: rig\r\nX-Pad: " + std::string(100 * 1024, 'a') + "\r\n\r\n");
  const std::string refused = huge.value().receive_until_closed(seconds(10)).bytes;
  EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 431");
  EXPECT_EQ(refused.find("vorn_"), std::string::npos);

  // 50 clients at once: each gets the metrics, four at a time.
  std::vector<std::thread> clients;
  std::atomic<int> served{0};
  for (int i = 0; i < 50; ++i) {
    clients.emplace_back([&] {
      const Answer a = fetch(port, "GET", "/metrics");
      if (a.status == 200 && a.body == kText) ++served;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(served, 50);
}

// --- the options' side, through the window thread's update -----------------

std::uint16_t free_port() {
  auto probe = platform::HttpServer::start("127.0.0.1", 0, {}, [](const auto&) { return platform::HttpServerResponse{}; });
  return probe.ok() ? probe.value()->port() : 0;
}

void set_options(AppCore& core, const Options& options) {
  core.options = options;
  ++core.options_generation;
  update_metrics(core, Clock::now());
}

TEST(MetricsOptions, TheListenerFollowsTheOptionsAndItsFailuresAreLogged) {
  AppCore core = testing_support::make_core(scratch_folder("metrics_options"));
  core.current_height = 4242;
  update_metrics(core, Clock::now());
  EXPECT_FALSE(core.metrics);  // off by default

  Options options;
  options.metrics_listen = "127.0.0.1:" + std::to_string(free_port());
  options.metrics_token = "tok-8c1f";
  set_options(core, options);
  ASSERT_TRUE(core.metrics && core.metrics->listener);
  const std::uint16_t first = core.metrics->listener->port();
  Answer a = fetch(first, "GET", "/metrics", "Authorization: Bearer tok-8c1f\r\n");
  EXPECT_EQ(a.status, 200);
  EXPECT_NE(a.body.find("\nvorn_block_height 4242\n"), std::string::npos);

  // A second later the snapshot shows the state of then.
  core.current_height = 4243;
  update_metrics(core, Clock::now());  // less than a second: the same snapshot
  EXPECT_NE(fetch(first, "GET", "/metrics", "Authorization: Bearer tok-8c1f\r\n").body.find("vorn_block_height 4242\n"),
            std::string::npos);
  update_metrics(core, Clock::now() + seconds(1));
  EXPECT_NE(fetch(first, "GET", "/metrics", "Authorization: Bearer tok-8c1f\r\n").body.find("vorn_block_height 4243\n"),
            std::string::npos);

  // Moved: the old port closes.
  options.metrics_listen = "127.0.0.1:" + std::to_string(free_port());
  set_options(core, options);
  ASSERT_TRUE(core.metrics->listener);
  EXPECT_NE(core.metrics->listener->port(), first);
  EXPECT_EQ(fetch(core.metrics->listener->port(), "GET", "/metrics", "Authorization: Bearer tok-8c1f\r\n").status, 200);
  EXPECT_FALSE(RawClient::connect(first).ok());

  // The token alone changes: the same listener takes the new one at once,
  // also when it is taken away and given again.
  const std::uint16_t moved = core.metrics->listener->port();
  for (const std::string& token : {std::string(), std::string("tok-2"), std::string("tok-8c1f")}) {
    options.metrics_token = token;
    set_options(core, options);
    ASSERT_TRUE(core.metrics->listener);
    EXPECT_EQ(core.metrics->listener->port(), moved);
    const std::string with = token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n";
    EXPECT_EQ(fetch(moved, "GET", "/metrics", with).status, 200) << token;
    EXPECT_EQ(fetch(moved, "GET", "/metrics", token.empty() ? "Authorization: Bearer tok-8c1f\r\n" : "").status,
              token.empty() ? 200 : 401) << token;
  }
  EXPECT_EQ(fetch(moved, "GET", "/metrics", "Authorization: Bearer tok-2\r\n").status, 401);

  // A port already taken: the line, and the program goes on; the next
  // change of the options tries again.
  auto taken = MetricsListener::start({"127.0.0.1", 0}, "", std::make_shared<SnapshotBox>());
  ASSERT_TRUE(taken.ok());
  const std::string busy = "127.0.0.1:" + std::to_string(taken.value()->port());
  options.metrics_listen = busy;
  set_options(core, options);
  EXPECT_FALSE(core.metrics->listener);
  const auto failed = testing_support::lines_starting(core, "Metrics listener could not start on " + busy + ": ");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_GT(failed[0].size(), ("Metrics listener could not start on " + busy + ": ").size());
  update_metrics(core, Clock::now() + seconds(5));
  taken.value().reset();
  options.rig_name = "other";
  set_options(core, options);
  ASSERT_TRUE(core.metrics->listener);
  EXPECT_EQ(fetch(core.metrics->listener->port(), "GET", "/", "Authorization: Bearer tok-8c1f\r\n").status, 200);

  // Every host: the warning, once, not again at a change of other options.
  options.metrics_listen = "0.0.0.0:" + std::to_string(free_port());
  set_options(core, options);
  EXPECT_TRUE(testing_support::log_contains(core, "Metrics are served to every host that can reach " + options.metrics_listen));
  options.rig_name = "third";
  set_options(core, options);
  EXPECT_EQ(testing_support::lines_starting(core, "Metrics are served").size(), 1u);

  // The file, where the options say. Moved while its writer is in a write
  // that is slow to finish: the window does not wait, and the old file goes.
  const std::string folder = scratch_folder("metrics_options_file");
  const std::string first_file = platform::join_path(folder, "a.prom"), second_file = platform::join_path(folder, "b.prom");
  // The file on at first_file, its writer inside a replacement 2.5 s slow.
  const auto start_slow_write = [&] {
    platform::arm_delay("file-replace", milliseconds(2500));
    options.metrics_textfile = first_file;
    set_options(core, options);
    return testing_support::pump_until([&] { return platform::path_exists(first_file + ".tmp"); }, seconds(5));
  };
  ASSERT_TRUE(start_slow_write());
  options.metrics_textfile = second_file;
  const auto moved_at = SteadyClock::now();
  set_options(core, options);
  EXPECT_LT(SteadyClock::now() - moved_at, milliseconds(1000));
  platform::disarm_faults();
  EXPECT_TRUE(textfile_gone(first_file, seconds(10)));
  EXPECT_TRUE(testing_support::pump_until([&] { return platform::path_exists(second_file); }, seconds(5)));
  // Other options change: the same writer goes on, its file stays (a new
  // writer would delete it and be slow to write it again).
  platform::arm_delay("file-replace", milliseconds(2500));
  options.rig_name = "fourth";
  set_options(core, options);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(platform::path_exists(second_file));
  platform::disarm_faults();
  // Off while the listener goes on: no writer stays, the file goes.
  options.metrics_textfile.clear();
  set_options(core, options);
  EXPECT_FALSE(core.metrics->textfile);
  EXPECT_TRUE(testing_support::pump_until([&] { return !platform::path_exists(second_file); }, seconds(5)));

  // Off altogether while a write is slow to finish: the window does not
  // wait; the listener stops and the file goes. The token was never shown.
  ASSERT_TRUE(start_slow_write());
  const std::uint16_t last = core.metrics->listener->port();
  const auto off_at = SteadyClock::now();
  set_options(core, Options{});
  EXPECT_LT(SteadyClock::now() - off_at, milliseconds(1000));
  platform::disarm_faults();
  EXPECT_FALSE(core.metrics);
  EXPECT_FALSE(RawClient::connect(last).ok());
  EXPECT_TRUE(textfile_gone(first_file, seconds(10)));
  // And off when the listener alone was on.
  Options listener_only;
  listener_only.metrics_listen = "127.0.0.1:" + std::to_string(free_port());
  set_options(core, listener_only);
  ASSERT_TRUE(core.metrics && core.metrics->listener && !core.metrics->textfile);
  set_options(core, Options{});
  EXPECT_FALSE(core.metrics);
  for (const std::string& line : core.log_lines) EXPECT_EQ(line.find("tok-8c1f"), std::string::npos) << line;
}

TEST(MetricsAddress, HostAndPortAreSplitAndLoopbackHostsKnown) {
  const auto split = [](std::string_view listen) {
    const std::optional<ListenAddress> a = split_listen(listen);
    return a ? a->host + " " + std::to_string(a->port) : std::string("refused");
  };
  EXPECT_EQ(split("127.0.0.1:9100"), "127.0.0.1 9100");
  EXPECT_EQ(split("[::1]:9100"), "[::1] 9100");
  EXPECT_EQ(split("a:1"), "a 1");
  EXPECT_EQ(split("rig:65535"), "rig 65535");
  EXPECT_EQ(split("rig:09100"), "rig 9100");
  for (const char* refused : {"9100", ":9100", "rig:", "rig:0", "rig:65536", "rig:99999", "rig:009100", "rig:1x",
                              "rig:/1", "rig:-1", "::1:80", "[::1:80", "::1]:80"}) {
    EXPECT_EQ(split(refused), "refused") << refused;
  }

  for (const char* loopback : {"localhost", "LocalHost", "127.0.0.1", "127.8.9.10", "[::1]", "[0:0:0:0:0:0:0:1]", "[::0001]",
                               "[0::1]", "[0:0::0:1]"}) {
    EXPECT_TRUE(is_loopback_host(loopback)) << loopback;
  }
  for (const char* other : {"0.0.0.0", "192.168.1.20", "10.127.0.1", "[::]", "[::2]", "[1::1]", "[::10]", "[0:0:0:0:0:0:1]",
                            "[1:0:0:0:0:0:0:1]", "[::1:0]", "localhost.example", "::1]", "[::1", "[]", "[1]"}) {
    EXPECT_FALSE(is_loopback_host(other)) << other;
  }
}

// --- the snapshot ----------------------------------------------------------

// The value of an unlabelled series in the exposition, or -1.
double series_value(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

// Spends `how_much` of the processor's time, however busy the machine is
// (a loaded machine would give a loop of that long in wall time far less).
void burn_cpu(milliseconds how_much) {
  const double until = platform::own_process_stats().cpu_seconds + how_much.count() / 1000.0;
  const auto give_up = SteadyClock::now() + seconds(20);  // a clock that does not move fails the test, not hangs it
  volatile std::uint64_t n = 0;
  while (platform::own_process_stats().cpu_seconds < until && SteadyClock::now() < give_up) {
    for (int i = 0; i < 100000; ++i) n = n + 1;
  }
}

TEST(MetricsSnapshot, ProcessFiguresAreReadEveryFiveSecondsAndAtOnceForANewMiner) {
  AppCore core = testing_support::make_core(scratch_folder("metrics_figures"));
  core.options.metrics_textfile = scratch_folder("metrics_figures") + "/rig.prom";
  ++core.options_generation;
  const Instant start = Clock::now();
  update_metrics(core, start);
  ASSERT_TRUE(core.metrics);
  EXPECT_FALSE(core.metrics->listener);  // the file alone: no listener, and no line about one
  EXPECT_TRUE(testing_support::lines_starting(core, "Metrics listener").empty());
  const auto text = [&] { return *core.metrics->box->get(); };
  const double cpu0 = series_value(text(), "process_cpu_seconds_total");
  ASSERT_GE(cpu0, 0);
  EXPECT_GT(series_value(text(), "process_start_time_seconds"), 1.5e9);  // a Unix time, not 0

  // Within the period the rest of the snapshot is new, the figures are not.
  burn_cpu(milliseconds(150));
  core.current_height = 77;
  update_metrics(core, start + seconds(1));
  EXPECT_EQ(series_value(text(), "vorn_block_height"), 77);
  EXPECT_EQ(series_value(text(), "process_cpu_seconds_total"), cpu0);
  core.current_height = 78;
  update_metrics(core, start + seconds(1));  // the same instant: no new snapshot
  EXPECT_EQ(series_value(text(), "vorn_block_height"), 77);
  update_metrics(core, start + seconds(5));
  EXPECT_GE(series_value(text(), "process_cpu_seconds_total"), cpu0 + 0.1);

  // A miner that starts is measured at the next snapshot, and one that
  // ended stops being reported at once.
  Result<platform::ChildProcess> child = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  ASSERT_TRUE(child.ok()) << child.error();
  core.miner_child = std::move(child).value();
  // (a process caught at its very start may not show its memory yet: the
  // next snapshots read it again, still within the period)
  double memory = 0;
  Instant at = start + seconds(5);
  for (int tries = 0; tries < 100 && memory <= 0; ++tries) {
    at += seconds(1);
    update_metrics(core, at);
    memory = series_value(text(), "vorn_miner_memory_bytes");
    if (memory <= 0) std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_GT(memory, 0);
  const double cpu_then = series_value(text(), "process_cpu_seconds_total");
  burn_cpu(milliseconds(150));
  at += seconds(1);
  update_metrics(core, at);  // the same miner, its memory known: the figures are kept
  EXPECT_EQ(series_value(text(), "process_cpu_seconds_total"), cpu_then);
  EXPECT_FALSE(core.miner_child->terminate(1));
  EXPECT_TRUE(core.miner_child->wait_for(seconds(10)).ok());
  core.miner_child.reset();
  at += seconds(1);
  update_metrics(core, at);
  EXPECT_EQ(series_value(text(), "vorn_miner_memory_bytes"), 0);
  EXPECT_EQ(series_value(text(), "vorn_miner_cpu_seconds_total"), 0);

  // A miner that has ended but is not collected yet shows no memory: the
  // figures are read again at every snapshot, not kept for the period.
  testing_support::set_env("VORN_SIM_MODE", "exit");
  child = platform::spawn_with_output_pipes({testing_support::sim_miner_path(), {}, ""});
  testing_support::set_env("VORN_SIM_MODE", "");
  ASSERT_TRUE(child.ok()) << child.error();
  core.miner_child = std::move(child).value();
  // Its output read to the end: it has exited (not only not started yet).
  std::optional<platform::PipeReader> output = core.miner_child->take_stdout();
  ASSERT_TRUE(output);
  char buffer[256];
  Result<std::size_t> n = output->read(buffer, sizeof buffer);
  while (n.ok() && n.value() > 0) n = output->read(buffer, sizeof buffer);
  const auto no_memory = [&] {
    const std::optional<platform::ProcessStats> s = core.miner_child->stats();
    return !s || s->resident_bytes == 0;
  };
  ASSERT_TRUE(testing_support::pump_until(no_memory, seconds(10)));
  at += seconds(1);
  update_metrics(core, at);
  const double cpu_ended = series_value(text(), "process_cpu_seconds_total");
  burn_cpu(milliseconds(150));
  at += seconds(1);
  update_metrics(core, at);
  EXPECT_GE(series_value(text(), "process_cpu_seconds_total"), cpu_ended + 0.1);
  EXPECT_TRUE(core.miner_child->wait_for(seconds(10)).ok());
  core.miner_child.reset();

  core.options = Options{};
  ++core.options_generation;
  update_metrics(core, at);
}

// --- the textfile ----------------------------------------------------------

TEST(MetricsTextfile, ReplacedWholeEveryPeriodAndDeletedAtTheEnd) {
  const std::string folder = scratch_folder("metrics_textfile");
  const std::string path = platform::join_path(folder, "vorn.prom");
  auto box = std::make_shared<SnapshotBox>();
  const auto text_of = [](int n) { return "# TYPE a gauge\na " + std::to_string(n) + "\n" + std::string(20000, '#') + "\n"; };
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  auto file = std::make_unique<MetricsTextfile>(path, box, sender, platform::gui::NoticeTarget{}, milliseconds(5));
  // No snapshot yet: nothing is written until there is one.
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_FALSE(platform::path_exists(path));
  EXPECT_FALSE(platform::path_exists(path + ".tmp"));
  box->set(text_of(0));
  ASSERT_TRUE(testing_support::pump_until([&] { return platform::path_exists(path); }, seconds(5)));

  // A reader polls it while it is rewritten: always a whole file. (A reader
  // on Windows holds the file while it reads, and the replacement waits.)
  int read = 0, whole = 0;
  for (int i = 0; read < 1000 && i < 100000; ++i) {
    box->set(text_of(i));
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    Result<std::string> bytes = platform::read_file(path);
    if (!bytes.ok()) continue;  // not there yet, or replaced just now
    ++read;
    const std::string& b = bytes.value();
    constexpr std::string_view kStart = "# TYPE a gauge\na ";
    if (b.rfind(kStart, 0) == 0 && b == text_of(std::atoi(b.c_str() + kStart.size()))) ++whole;
  }
  EXPECT_EQ(read, 1000);
  EXPECT_EQ(whole, read);
  const auto end_at = SteadyClock::now();
  file.reset();
  EXPECT_LT(SteadyClock::now() - end_at, milliseconds(1000));  // the writer says at once that it ended
  EXPECT_FALSE(platform::path_exists(path));
  EXPECT_FALSE(platform::path_exists(path + ".tmp"));
  EXPECT_FALSE(receiver.try_recv());  // no failure

  // Turned off while the program runs: the window does not wait, and the
  // file still goes once the writer gets to it.
  file = std::make_unique<MetricsTextfile>(path, box, sender, platform::gui::NoticeTarget{}, milliseconds(5));
  ASSERT_TRUE(testing_support::pump_until([&] { return platform::path_exists(path); }, std::chrono::seconds(5)));
  file->end_without_waiting();
  file.reset();
  EXPECT_TRUE(testing_support::pump_until([&] { return !platform::path_exists(path); }, std::chrono::seconds(5)));
}

// With the period of the program (15 s, longer than any wait here): a new
// snapshot asked for is written at once, the end wakes the writer, and the
// end waits for a write that is slow to finish, so that no file stays.
TEST(MetricsTextfile, WrittenAtOnceWhenAskedAndTheEndWaitsForASlowWrite) {
  const std::string path = platform::join_path(scratch_folder("metrics_textfile_slow"), "vorn.prom");
  auto box = box_with("a 1\n");
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  auto file = std::make_unique<MetricsTextfile>(path, box, sender, platform::gui::NoticeTarget{}, seconds(15));
  ASSERT_TRUE(testing_support::pump_until([&] { return platform::path_exists(path); }, seconds(5)));
  box->set("a 2\n");
  file->write_now();
  EXPECT_TRUE(testing_support::pump_until([&] { return testing_support::read_file(path) == "a 2\n"; }, seconds(2)));
  // Asked once, written once: the next snapshot waits for the period.
  box->set("a 9\n");
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(testing_support::read_file(path), "a 2\n");

  platform::arm_delay("file-replace", milliseconds(1400));
  box->set("a 3\n");
  file->write_now();
  // Its new text is written: the writer is in the slow replacement now.
  ASSERT_TRUE(testing_support::pump_until([&] { return platform::path_exists(path + ".tmp"); }, seconds(2)));
  file.reset();
  EXPECT_FALSE(platform::path_exists(path));
  EXPECT_FALSE(platform::path_exists(path + ".tmp"));
  platform::disarm_faults();
  EXPECT_FALSE(receiver.try_recv());

  const auto new_writer = [&] {
    file = std::make_unique<MetricsTextfile>(path, box, sender, platform::gui::NoticeTarget{}, seconds(15));
    return testing_support::pump_until([&] { return platform::path_exists(path); }, seconds(5));
  };
  // A writer waiting for its period ends at once, at the end and when asked
  // to end without being waited for.
  ASSERT_TRUE(new_writer());
  auto end_at = SteadyClock::now();
  file.reset();
  EXPECT_LT(SteadyClock::now() - end_at, milliseconds(1000));
  EXPECT_FALSE(platform::path_exists(path));
  ASSERT_TRUE(new_writer());
  file->end_without_waiting();
  EXPECT_TRUE(testing_support::pump_until([&] { return !platform::path_exists(path); }, seconds(2)));
  file.reset();
  // A write slower than the end's bound is waited for 2 s, no longer; the
  // writer still removes its file once the write is over.
  ASSERT_TRUE(new_writer());
  platform::arm_delay("file-replace", milliseconds(3000));
  file->write_now();
  ASSERT_TRUE(testing_support::pump_until([&] { return platform::path_exists(path + ".tmp"); }, seconds(2)));
  end_at = SteadyClock::now();
  file.reset();
  const auto waited = SteadyClock::now() - end_at;
  EXPECT_GE(waited, milliseconds(1500));
  EXPECT_LT(waited, milliseconds(2600));
  platform::disarm_faults();
  EXPECT_TRUE(textfile_gone(path, seconds(5)));
  EXPECT_FALSE(receiver.try_recv());
}

TEST(MetricsTextfile, AFailureIsReportedOnceUntilAWriteWorks) {
  const std::string folder = scratch_folder("metrics_textfile_fail");
  const std::string missing = platform::join_path(folder, "not-yet");
  const std::string path = platform::join_path(missing, "vorn.prom");
  auto box = box_with(kText);
  auto [sender, receiver] = Channel<WorkerEvent>::create();
  auto window = testing_support::TestWindow::create(folder);
  int notices = 0;
  window->notice_handler = [&] { ++notices; };
  auto file = std::make_unique<MetricsTextfile>(path, box, sender, window->notice, milliseconds(20));
  std::this_thread::sleep_for(milliseconds(300));  // about fifteen failed writes
  std::vector<std::string> failures;
  while (auto e = receiver.try_recv()) failures.push_back(std::get<MetricsFileFailed>(*e).error);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_FALSE(failures[0].empty());
  EXPECT_TRUE(testing_support::pump_until([&] { return notices == 1; }, seconds(2)));  // the window is woken

  ASSERT_FALSE(platform::create_directories(missing));
  for (int i = 0; i < 200 && !platform::path_exists(path); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(testing_support::read_file(path), kText);
  EXPECT_FALSE(receiver.try_recv());

  // The writer itself fails: its file goes with it, the window hears why,
  // and the end does not wait for a writer that is gone.
  platform::arm_fault("metrics-file");
  std::optional<WorkerEvent> stopped;
  ASSERT_TRUE(testing_support::pump_until([&] { return (stopped = receiver.try_recv()).has_value(); }, std::chrono::seconds(5)));
  EXPECT_EQ(std::get<MetricsFileFailed>(*stopped).error, "the writer stopped: injected failure at metrics-file");
  AppCore core = testing_support::make_core(folder);
  dispatch_event(core, std::move(*stopped));
  EXPECT_EQ(testing_support::untagged_log(core).back(),
            "Metrics file not written: the writer stopped: injected failure at metrics-file");
  EXPECT_FALSE(platform::path_exists(path));
  const auto start = std::chrono::steady_clock::now();
  file.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
  platform::disarm_faults();

  // A file that cannot be replaced (a folder with a file in it stands at its
  // path): the failure after the retries, and the end leaves no .tmp behind.
  const std::string blocked = platform::join_path(folder, "blocked.prom");
  ASSERT_FALSE(platform::create_directories(blocked));
  testing_support::write_file(platform::join_path(blocked, "x"), "x");
  file = std::make_unique<MetricsTextfile>(blocked, box, sender, platform::gui::NoticeTarget{}, seconds(15));
  std::optional<WorkerEvent> refused;
  ASSERT_TRUE(testing_support::pump_until([&] { return (refused = receiver.try_recv()).has_value(); }, seconds(5)));
  EXPECT_FALSE(std::get<MetricsFileFailed>(*refused).error.empty());
  EXPECT_TRUE(platform::path_exists(blocked + ".tmp"));
  file.reset();
  EXPECT_FALSE(platform::path_exists(blocked + ".tmp"));
  EXPECT_TRUE(platform::path_exists(platform::join_path(blocked, "x")));
}

}  // namespace
}  // namespace vorn
