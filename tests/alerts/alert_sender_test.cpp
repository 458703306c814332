// The sender against the recording server on 127.0.0.1: what each channel
// kind receives, the retry schedule (on a clock the test moves), the queue
// bound, min_level, a server that never answers, and heartbeat pings.
#include <gtest/gtest.h>

#include <initializer_list>

#include "alerts/alert_request.h"
#include "alerts/alert_sender.h"
#include "alerts/alert_test_support.h"
#include "platform/fault_points.h"
#include "platform/process.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using alert_tests::FakeClock;
using alert_tests::Reports;
using Kind = AlertReport::Kind;

const auto kTenOClock = std::chrono::system_clock::time_point(std::chrono::seconds(1796724000));  // 2026-12-08 10:00:00 UTC

Alert alert(AlertEvent event, std::string text, std::string rig = "rig-7") {
  return make_alert(event, std::move(rig), std::move(text), kTenOClock);
}

AlertChannel channel(ChannelKind kind, std::string url, AlertLevel min_level = AlertLevel::Info, std::string chat = "") {
  return AlertChannel{kind, std::move(url), std::move(chat), min_level};
}

struct SenderFixture : ::testing::Test {
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  Reports reports;
  std::unique_ptr<AlertSender> make_sender() {
    return std::make_unique<AlertSender>(AlertSenderSetup{reports.sender, {}, clock});
  }
  // No attempt is due at the clock's time: the sender has looked at it and
  // sent nothing more than the `n` requests.
  void expect_still(const testing_support::HttpRecorder& r, std::size_t n) {
    ASSERT_TRUE(clock->sender_settled()) << "the sender does not look at the clock";
    EXPECT_EQ(r.requests().size(), n);
  }
  // Each pause in turn ends in one more attempt: none a second before the
  // pause is over, the next one once it is. Each pause counts from the time
  // at which the sender took the answer before, so the clock moves only once
  // the sender has taken it.
  void expect_attempts_after(const testing_support::HttpRecorder& r, std::initializer_list<std::chrono::seconds> pauses) {
    std::size_t seen = r.requests().size();
    for (const std::chrono::seconds pause : pauses) {
      ASSERT_TRUE(clock->sender_settled()) << "the sender does not look at the clock";
      clock->advance(pause - 1s);
      ASSERT_NO_FATAL_FAILURE(expect_still(r, seen)) << "a second before the " << pause.count() << " s pause is over";
      clock->advance(1s);
      ASSERT_TRUE(r.wait_for_requests(++seen)) << "no attempt " << seen << " after " << pause.count() << " s";
    }
  }
};

TEST_F(SenderFixture, EachKindGetsItsBodyAndHeadersByteForByte) {
  START_RECORDER(recorder, "200");
  auto sender = make_sender();
  const std::vector<AlertChannel> all = {
      channel(ChannelKind::Json, recorder->url("/json/T0KEN")),
      channel(ChannelKind::Discord, recorder->url("/api/webhooks/1/abc")),
      channel(ChannelKind::Slack, recorder->url("/services/T/B/x")),
      channel(ChannelKind::Ntfy, recorder->url("/rig-topic")),
      channel(ChannelKind::Telegram, recorder->url("/bot123:AA/sendMessage"), AlertLevel::Info, "-1001234"),
  };
  sender->send(alert(AlertEvent::MinerGaveUp, "Mining stopped on \"r\\7\"\n\xC3\xA9", "r\xC3\xA9g \"7\""), all);
  ASSERT_TRUE(recorder->wait_for_requests(5));
  const auto got = recorder->requests();
  ASSERT_EQ(got.size(), 5u);
  const std::string text = R"(Mining stopped on \"r\\7\"\n)" "\xC3\xA9";
  const std::string bodies[] = {
      R"({"rig": "r)" "\xC3\xA9" R"(g \"7\"", "event": "miner-gave-up", "level": "critical", "text": ")" + text +
          R"(", "time": "2026-12-08T10:00:00Z", "version": "v0.1.37", "network": "mainnet"})",
      R"({"content": "[CRITICAL] )" + text + R"("})",
      R"({"text": "[CRITICAL] )" + text + R"("})",
      "Mining stopped on \"r\\7\"\n\xC3\xA9",
      R"({"chat_id": "-1001234", "text": "[CRITICAL] )" + text + R"(", "disable_notification": false})",
  };
  const char* paths[] = {"/json/T0KEN", "/api/webhooks/1/abc", "/services/T/B/x", "/rig-topic", "/bot123:AA/sendMessage"};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(paths[i]);
    EXPECT_EQ(got[i].method, "POST");
    EXPECT_EQ(got[i].path, paths[i]);
    EXPECT_EQ(got[i].body, bodies[i]);
    EXPECT_EQ(got[i].header("Content-Type"), i == 3 ? "text/plain; charset=utf-8" : "application/json");
  }
  EXPECT_EQ(got[3].header("Title"), "Qubo-VORN r\xC3\xA9g \"7\"");
  EXPECT_EQ(got[3].header("Priority"), "5");
  EXPECT_EQ(got[3].header("Tags"), "rotating_light");
  const auto& done = reports.wait_for(5);
  ASSERT_EQ(done.size(), 5u);
  const char* kinds[] = {"json", "discord", "slack", "ntfy", "telegram"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(done[i].kind, Kind::Sent);
    EXPECT_EQ(done[i].channel_kind, kinds[i]);
    EXPECT_EQ(done[i].where, "http://127.0.0.1/\xE2\x80\xA6");  // never the path with its token
  }

  // The lower levels: ntfy's priority and tag, telegram's quiet info.
  sender->send(alert(AlertEvent::MinerExited, "w"), {all[3]});
  sender->send(alert(AlertEvent::MiningResumed, "i"), {all[3], all[4]});
  ASSERT_TRUE(recorder->wait_for_requests(8));
  const auto more = recorder->requests();
  EXPECT_EQ(more[5].header("Priority"), "4");
  EXPECT_EQ(more[5].header("Tags"), "warning");
  EXPECT_EQ(more[6].header("Priority"), "3");
  EXPECT_EQ(more[6].header("Tags"), "information_source");
  EXPECT_EQ(more[7].body, R"({"chat_id": "-1001234", "text": "[INFO] i", "disable_notification": true})");
}

TEST(AlertRequest, DiscordGetsAtMost2000CharactersAndControlCharactersAreEscapedOrBlanked) {
  std::string text;
  for (int i = 0; i < 2100; ++i) text += "\xC3\xA9";  // two bytes, one character
  const auto request = alert_request(channel(ChannelKind::Discord, "https://d/x"), alert(AlertEvent::MinerExited, text));
  const std::string content = request.body.substr(13, request.body.size() - 15);  // {"content": "…"}
  EXPECT_EQ(content, "[WARNING] " + text.substr(0, (2000 - 10) * 2));
  EXPECT_EQ(json_string(std::string("a\x01\x1f\t\r\x7f", 6)), R"("a\u0001\u001f\t\r\u007f")");
  // A header is one line: ntfy's title has blanks where the rig's name has control characters.
  const auto ntfy = alert_request(channel(ChannelKind::Ntfy, "https://n/t"),
                                  alert(AlertEvent::MinerExited, "x", std::string("a\tb\r\nc\x1f\x7f d\x01", 11)));
  EXPECT_EQ(ntfy.headers.at(1), (std::pair<std::string, std::string>{"Title", "Qubo-VORN a b  c   d "}));
  for (const auto& [seconds, text] : std::vector<std::pair<std::int64_t, std::string>>{
           {0, "1970-01-01T00:00:00Z"},
           {951868799, "2000-02-29T23:59:59Z"},
           {1798761599, "2026-12-31T23:59:59Z"},
           {1801382400, "2027-01-31T08:00:00Z"},
           {1847298645, "2028-07-15T18:30:45Z"}}) {
    EXPECT_EQ(utc_time_text(std::chrono::system_clock::time_point(std::chrono::seconds(seconds))), text);
  }
}

TEST(AlertRequest, RetryAfterIsWholeSecondsOrAnHttpDateCountedFromNow) {
  using std::chrono::system_clock;
  const auto at = [](std::int64_t seconds) { return system_clock::time_point(std::chrono::seconds(seconds)); };
  const auto now = at(1792567620);  // 2026-10-21 07:27:00 UTC
  EXPECT_EQ(parse_retry_after(" 30 ", now), 30s);
  EXPECT_EQ(parse_retry_after("99999", now), 99999s);  // five digits are read; the caller caps the pause
  EXPECT_EQ(parse_retry_after("123456", now), 86400s);
  EXPECT_EQ(parse_retry_after("Wed, 21 Oct 2026 07:28:00 GMT", now), 60s);
  EXPECT_EQ(parse_retry_after("Wed, 21 Oct 2026 07:26:00 GMT", now), 0s);
  EXPECT_EQ(parse_retry_after("Wed, 21 Oct 2026 07:27:00 GMT", now), 0s);
  EXPECT_EQ(parse_retry_after("Wed, 21 Oct 2026 07:27:01 GMT", now - 500ms), 2s);  // rounded up
  EXPECT_EQ(parse_retry_after("Wed, 21 Oct 2026 07:27:60 GMT", now), 60s);  // a leap second
  for (const char* wrong : {"soon", "-5", "", "Wed, 21 Oct 2026 07:28:00 UTC", "Wed, 21 Okt 2026 07:28:00 GMT",
                            "Wed, 32 Oct 2026 07:28:00 GMT", "Wed, 21 Oct 2026 24:00:00 GMT", "Wed 21 Oct 2026 07:28:00 GMT",
                            "Wed, 21 Oct 2026 07:28:0x GMT", "Wed; 21 Oct 2026 07:28:00 GMT", "Wed, 21-Oct 2026 07:28:00 GMT",
                            "Wed, 21 Oct-2026 07:28:00 GMT", "Wed, 21 Oct 2026T07:28:00 GMT", "Wed, 21 Oct 2026 07-28:00 GMT",
                            "Wed, 21 Oct 2026 07:28-00 GMT", "Wed, 00 Oct 2026 07:28:00 GMT", "Wed, 21 Oct 2026 07:60:00 GMT",
                            "Wed, 21 Oct 2026 07:28:61 GMT", "Wed, 21 Oct 2026 07:28:00 GMTX", "Tue, 31 Nov 2026 07:28:00 GMT",
                            "Mon, 29 Feb 2027 07:28:00 GMT", "Wed, 2x Oct 2026 07:28:00 GMT", "Wed, 21 Oct 20x6 07:28:00 GMT",
                            "Wed, 21 Oct 2026 x7:28:00 GMT", "Wed, 21 Oct 2026 07:x8:00 GMT"}) {
    EXPECT_EQ(parse_retry_after(wrong, now), std::nullopt) << wrong;
  }
  // Dates around month ends, leap days and century years, each read one
  // second before it falls (the seconds since 1970 from `date -u +%s`).
  const std::pair<const char*, std::int64_t> dates[] = {
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},           {"Tue, 29 Feb 2000 23:59:59 GMT", 951868799},
      {"Thu, 31 Dec 2026 23:59:59 GMT", 1798761599},  {"Sun, 31 Jan 2027 08:00:00 GMT", 1801382400},
      {"Tue, 29 Feb 2028 12:00:00 GMT", 1835438400},  {"Wed, 01 Mar 2028 00:00:00 GMT", 1835481600},
      {"Sat, 15 Jul 2028 18:30:45 GMT", 1847298645},
  };
  for (const auto& [text, seconds] : dates) {
    EXPECT_EQ(parse_retry_after(text, at(seconds - 1)), 1s) << text;
    EXPECT_EQ(parse_retry_after(text, at(seconds)), 0s) << text;
  }
  // Far dates, past the system clock's range in nanoseconds (the year 2262).
  EXPECT_EQ(parse_retry_after("Mon, 01 Mar 2100 00:00:00 GMT", now), std::chrono::seconds(4107542400 - 1792567620));
  EXPECT_EQ(parse_retry_after("Sun, 31 Dec 2400 00:00:00 GMT", now), std::chrono::seconds(13601001600 - 1792567620));
  EXPECT_EQ(parse_retry_after("Fri, 31 Dec 9999 23:59:59 GMT", now), std::chrono::seconds(253402300799 - 1792567620));
  EXPECT_EQ(parse_retry_after("Tue, 29 Feb 1600 00:00:00 GMT", now), 0s);
}

TEST_F(SenderFixture, FailuresAreRetriedAfter10And60And300SecondsThenGivenUp) {
  START_RECORDER(recorder, "500");
  auto sender = make_sender();
  sender->send(alert(AlertEvent::MinerStalled, "stalled"), {channel(ChannelKind::Slack, recorder->url("/s"))});
  ASSERT_TRUE(recorder->wait_for_requests(1));
  ASSERT_NO_FATAL_FAILURE(expect_attempts_after(*recorder, {10s, 60s, 300s}));
  const auto& done = reports.wait_for(1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].kind, Kind::NotDelivered);
  EXPECT_EQ(done[0].error, "HTTP status 500");
  clock->advance(1h);
  expect_still(*recorder, 4);
  EXPECT_EQ(sender->alerts_waiting(), 0u);

  // No answer at all is retried too, and the reason is the error.
  sender->send(alert(AlertEvent::MinerStalled, "unsent"), {channel(ChannelKind::Slack, "ftp://127.0.0.1/s")});
  for (const std::chrono::seconds pause : {10s, 60s, 300s}) {
    ASSERT_TRUE(clock->sender_settled());
    EXPECT_EQ(reports.wait_for(1).size(), 1u) << "given up before the " << pause.count() << " s pause";
    clock->advance(pause);
  }
  ASSERT_EQ(reports.wait_for(2).size(), 2u);
  EXPECT_EQ(reports.wait_for(2)[1].kind, Kind::NotDelivered);
  EXPECT_EQ(reports.wait_for(2)[1].error, "not a valid http or https URL");

  // A channel waiting for its retry does not hold up another channel of the same alert.
  sender->send(alert(AlertEvent::MinerStalled, "two"),
               {channel(ChannelKind::Slack, "ftp://127.0.0.1/s"), channel(ChannelKind::Slack, recorder->url("/other"))});
  ASSERT_TRUE(recorder->wait_for_requests(5)) << "the second channel waited for the first one's retry";
  EXPECT_EQ(recorder->requests().back().path, "/other");

  // The exit does not wait for a retry that is not due yet.
  ASSERT_TRUE(clock->sender_settled());
  const auto exit_begin = std::chrono::steady_clock::now();
  sender.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - exit_begin, 1s);
}

// On the real clock, a sender with nothing to do sleeps until it is given
// something, spending no processor time meanwhile; the exit wakes it.
TEST(AlertSender, AnIdleSenderSleepsAndEndsAtOnce) {
  Reports reports;
  auto sender = std::make_unique<AlertSender>(AlertSenderSetup{reports.sender, {}, steady_alert_clock()});
  const double cpu_before = platform::own_process_stats().cpu_seconds;
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(platform::own_process_stats().cpu_seconds - cpu_before, 0.1);
  const auto exit_begin = std::chrono::steady_clock::now();
  sender.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - exit_begin, 1s);
}

TEST_F(SenderFixture, TooManyRequestsWaitsAsRetryAfterSaysAtMost300SecondsAndOtherAnswersEndAtOnce) {
  START_RECORDER(recorder, "429:30,429:900,429,299,404,300,499");
  auto sender = make_sender();
  sender->send(alert(AlertEvent::MinerStalled, "x"), {channel(ChannelKind::Json, recorder->url("/j"))});
  ASSERT_TRUE(recorder->wait_for_requests(1));
  // 30 s as said, 300 s instead of 900, and the schedule's 300 s (third retry) without a
  // Retry-After; then any 2xx status is a delivery.
  ASSERT_NO_FATAL_FAILURE(expect_attempts_after(*recorder, {30s, 300s, 300s}));
  ASSERT_EQ(reports.wait_for(1).size(), 1u);
  EXPECT_EQ(reports.count(Kind::Sent), 1u);

  // Client errors and a redirection (a webhook that moved is not delivered to).
  for (const char* text : {"y", "z", "w"}) {
    sender->send(alert(AlertEvent::MinerStalled, text), {channel(ChannelKind::Json, recorder->url("/j"))});
  }
  ASSERT_EQ(reports.wait_for(4).size(), 4u);
  for (const char* error : {"HTTP status 404", "HTTP status 300", "HTTP status 499"}) {
    EXPECT_EQ(reports.count(Kind::NotDelivered, error), 1u) << error;
  }
  clock->advance(1h);
  expect_still(*recorder, 7);
}

TEST_F(SenderFixture, EachChannelGetsTheLevelsAtOrAboveItsMinLevel) {
  START_RECORDER(recorder, "200");
  auto sender = make_sender();
  const std::vector<AlertChannel> channels = {channel(ChannelKind::Ntfy, recorder->url("/info"), AlertLevel::Info),
                                              channel(ChannelKind::Ntfy, recorder->url("/warn"), AlertLevel::Warning),
                                              channel(ChannelKind::Ntfy, recorder->url("/crit"), AlertLevel::Critical)};
  sender->send(alert(AlertEvent::AlertsOn, "i"), channels);
  sender->send(alert(AlertEvent::MinerExited, "w"), channels);
  sender->send(alert(AlertEvent::PlotsDropped, "c"), channels);
  ASSERT_EQ(reports.wait_for(6).size(), 6u);
  std::vector<std::string> got;
  for (const auto& r : recorder->requests()) got.push_back(r.path + " " + r.body);
  EXPECT_EQ(got, (std::vector<std::string>{"/info i", "/info w", "/warn w", "/info c", "/warn c", "/crit c"}));
  // An alert no channel wants is not kept either.
  sender->send(alert(AlertEvent::MinerExited, "w"), {channels[2]});
  EXPECT_EQ(sender->alerts_waiting(), 0u);
}

// A server that takes the request and never answers: the attempt ends after
// 10 s and is retried; meanwhile the queue keeps the newest 100 alerts (the
// oldest goes first, unless it is the one being sent); the exit waits at most
// 2 s for a request that hangs.
TEST_F(SenderFixture, ASilentServerCostsTenSecondsAndTheQueueKeepsTheNewest100) {
  START_RECORDER(recorder, "500,hang,200");
  auto sender = make_sender();
  const AlertChannel json = channel(ChannelKind::Json, recorder->url("/j"));
  sender->send(alert(AlertEvent::MinerExited, "alert 0"), {json});  // waits for its retry
  ASSERT_TRUE(recorder->wait_for_requests(1));
  ASSERT_TRUE(clock->sender_settled());
  const auto begin = std::chrono::steady_clock::now();
  sender->send(alert(AlertEvent::MinerExited, "alert 1"), {json});
  ASSERT_TRUE(recorder->wait_for_requests(2));
  for (int i = 2; i <= 105; ++i) sender->send(alert(AlertEvent::MinerExited, "alert " + std::to_string(i)), {json});
  EXPECT_EQ(sender->alerts_waiting(), 100u);
  ASSERT_TRUE(recorder->wait_for_requests(3, 15s));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(waited, 9.5);
  EXPECT_LT(waited, 12.0);
  ASSERT_EQ(reports.wait_for(105, 20s).size(), 105u);  // 6 dropped, alerts 7 to 105 sent
  EXPECT_EQ(reports.count(Kind::NotDelivered, "dropped: more than 100 alerts were waiting"), 6u);
  const auto got = recorder->requests();
  EXPECT_NE(got[2].body.find("\"alert 7\""), std::string::npos) << got[2].body;  // 0 and 2 to 6 were dropped
  clock->advance(10s);  // alert 1's retry; alert 0 is gone
  ASSERT_EQ(reports.wait_for(106).size(), 106u);
  EXPECT_EQ(reports.count(Kind::Sent), 100u);
  EXPECT_NE(recorder->requests().back().body.find("\"alert 1\""), std::string::npos);

  ASSERT_FALSE(recorder->set_answers("hang"));
  sender->send(alert(AlertEvent::MinerExited, "at the exit"), {json});
  ASSERT_TRUE(recorder->wait_for_requests(103));  // 0, 1 twice, 7 to 105, and this one
  const auto exit_begin = std::chrono::steady_clock::now();
  sender.reset();
  const double exit_took = std::chrono::duration<double>(std::chrono::steady_clock::now() - exit_begin).count();
  EXPECT_GE(exit_took, 1.9);
  EXPECT_LT(exit_took, 2.5);
}

TEST_F(SenderFixture, OnceItsThreadFailedEveryDeliveryAndPingIsReportedAsFailed) {
  START_RECORDER(recorder, "200");
  auto sender = make_sender();
  platform::arm_fault("alert-send");
  const AlertChannel slack = channel(ChannelKind::Slack, recorder->url("/s"));
  sender->send(alert(AlertEvent::MinerStalled, "stalled"), {slack});
  const std::string stopped = "the sender stopped: injected failure at alert-send";
  ASSERT_EQ(reports.wait_for(1).size(), 1u);
  EXPECT_EQ(reports.wait_for(1)[0].kind, Kind::NotDelivered);
  EXPECT_EQ(reports.wait_for(1)[0].error, stopped);
  // Given to it later: reported at once, not queued for nobody.
  sender->send(alert(AlertEvent::MinerExited, "exited"), {slack, channel(ChannelKind::Ntfy, recorder->url("/n"))});
  sender->ping(recorder->url("/hb"));
  const auto& done = reports.wait_for(4);
  ASSERT_EQ(done.size(), 4u);
  EXPECT_EQ(done[1].kind, Kind::NotDelivered);
  EXPECT_EQ(done[1].channel_kind, "slack");
  EXPECT_EQ(done[2].kind, Kind::NotDelivered);
  EXPECT_EQ(done[2].channel_kind, "ntfy");
  EXPECT_EQ(done[3].kind, Kind::PingFailed);
  for (const AlertReport& r : done) EXPECT_EQ(r.error, stopped);
  // Each is reported once: a later alert does not report the ping again.
  sender->send(alert(AlertEvent::MinerExited, "later"), {slack});
  EXPECT_EQ(reports.wait_for(6, 200ms).size(), 5u);
  EXPECT_EQ(reports.count(Kind::PingFailed), 1u);
  EXPECT_EQ(sender->alerts_waiting(), 0u);
  EXPECT_TRUE(recorder->requests().empty());
  platform::disarm_faults();
}

TEST_F(SenderFixture, HeartbeatPingsAreGetsAndSayWhetherTheyWorked) {
  START_RECORDER(recorder, "200,299,503,close,300");  // any 2xx status is a ping that worked
  auto sender = make_sender();
  for (int i = 0; i < 5; ++i) {
    sender->ping(recorder->url("/ping/uuid-secret"));
    ASSERT_EQ(reports.wait_for(i + 1).size(), static_cast<std::size_t>(i + 1));
  }
  const auto got = recorder->requests();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].method, "GET");
  EXPECT_EQ(got[0].path, "/ping/uuid-secret");
  const auto& done = reports.wait_for(5);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(done[i].kind, Kind::PingWorked) << i;
    EXPECT_EQ(done[i].error, "") << i;
  }
  for (int i = 2; i < 5; ++i) EXPECT_EQ(done[i].kind, Kind::PingFailed) << i;
  EXPECT_EQ(done[2].error, "HTTP status 503");
  // A connection closed without an answer: the client's own reason.
  EXPECT_NE(done[3].error, "");
  EXPECT_EQ(done[3].error.find("HTTP status"), std::string::npos) << done[3].error;
  EXPECT_EQ(done[4].error, "HTTP status 300");
}

}  // namespace
}  // namespace vorn
