#include "metrics/scrape_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "support/scrape_client.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::Ask;
using testing::HttpAnswer;
using testing::ScrapeClient;
using testing::SplitAnswer;

constexpr const char* kScrape = "# HELP up_total x\n# TYPE up_total counter\nup_total 1\n";
constexpr const char* kGet = "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n";

// A server on a free loopback port whose scrape counts its calls.
class ScrapeServerTest : public ::testing::Test {
 protected:
  void StartServer(ScrapeServerOptions options = {}) {
    Failure failure;
    server_ = ScrapeServer::Start(options, [this] {
      ++scrapes_;
      return std::string(kScrape);
    }, failure);
    ASSERT_TRUE(server_) << failure.Describe();
    ASSERT_NE(server_->Port(), 0);
    EXPECT_EQ(server_->Url(), "http://127.0.0.1:" + std::to_string(Port()) + "/metrics");
  }
  uint16_t Port() const { return server_->Port(); }

  std::atomic<int> scrapes_{0};
  std::unique_ptr<ScrapeServer> server_;
};

struct RequestCase {
  const char* name;
  std::string request;
  bool answered;  // 200 with the scrape; otherwise 404
};

class ScrapeRequests : public ScrapeServerTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(ScrapeRequests, OnlyGetMetricsIsAnsweredWithTheScrape) {
  StartServer();
  const HttpAnswer answer = Ask(Port(), GetParam().request);
  EXPECT_NE(answer.head.find("\r\nConnection: close\r\n"), std::string::npos) << answer.head;
  if (GetParam().answered) {
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(answer.head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos) << answer.head;
    EXPECT_NE(answer.head.find("\r\nContent-Length: " + std::to_string(std::string(kScrape).size()) + "\r\n"),
              std::string::npos) << answer.head;
    EXPECT_EQ(answer.body, kScrape);
    EXPECT_EQ(scrapes_, 1);
  } else {
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(answer.body, "not found\n");
    EXPECT_EQ(scrapes_, 0) << "no scrape is taken for a request that does not get it";
  }
}

const RequestCase kRequestCases[] = {
    {"get_metrics", kGet, true},
    {"get_metrics_http10_no_headers", "GET /metrics HTTP/1.0\r\n\r\n", true},
    {"get_metrics_with_query", "GET /metrics?name[]=up&x=1 HTTP/1.1\r\nHost: h\r\n\r\n", true},
    {"bare_line_feeds", "GET /metrics HTTP/1.1\nHost: h\n\n", true},
    {"root", "GET / HTTP/1.1\r\n\r\n", false},
    {"longer_path", "GET /metricsx HTTP/1.1\r\n\r\n", false},
    {"trailing_slash", "GET /metrics/ HTTP/1.1\r\n\r\n", false},
    {"other_case_path", "GET /Metrics HTTP/1.1\r\n\r\n", false},
    {"post", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false},
    {"head", "HEAD /metrics HTTP/1.1\r\n\r\n", false},
    {"lower_case_method", "get /metrics HTTP/1.1\r\n\r\n", false},
    {"no_version", "GET /metrics\r\n\r\n", false},
    {"http2_preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", false},
    {"version_with_junk", "GET /metrics HTTP/1.1x\r\n\r\n", false},
    {"two_spaces", "GET  /metrics HTTP/1.1\r\n\r\n", false},
    {"binary", std::string("\x16\x03\x01\x02\x00\x01\r\n\r\n", 10), false},
    {"empty_line", "\r\n\r\n", false},
};

INSTANTIATE_TEST_SUITE_P(Table, ScrapeRequests, ::testing::ValuesIn(kRequestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScrapeServerTest, EveryGetTakesAFreshScrape) {
  StartServer();
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(Ask(Port(), kGet).body, kScrape);
    EXPECT_EQ(scrapes_, i);
  }
}

TEST_F(ScrapeServerTest, AnOversizedRequestGets404AndTheNextOneIsAnswered) {
  StartServer();
  std::string huge = "GET /metrics HTTP/1.1\r\n";
  while (huge.size() < 64 * 1024) huge += "X-Filler: " + std::string(100, 'a') + "\r\n";
  const HttpAnswer answer = Ask(Port(), huge);  // its head never ends within 8 KiB
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(scrapes_, 0);
  EXPECT_EQ(Ask(Port(), kGet).statusLine, "HTTP/1.1 200 OK");
}

// A client that says nothing, or stops in the middle of its head, is dropped at the
// deadline; the one after it is answered.
TEST_F(ScrapeServerTest, AStallingClientIsDroppedAndTheNextOneIsAnswered) {
  StartServer({.deadline = 300ms});
  for (const std::string stall : {"", "GET /metrics HTTP/1.1\r\nHost: h\r\n"}) {
    ScrapeClient stalling(Port());
    ASSERT_TRUE(stalling.Send(stall));
    const HttpAnswer next = Ask(Port(), kGet);
    EXPECT_EQ(next.statusLine, "HTTP/1.1 200 OK") << "after a stall of \"" << stall << "\"";
    EXPECT_EQ(stalling.ReadToEnd(), "") << "closed without an answer";
  }
}

TEST_F(ScrapeServerTest, StopEndsItWhileAClientHangs) {
  StartServer({.deadline = 600s});
  const uint16_t port = Port();
  ScrapeClient hanging(port);
  ASSERT_TRUE(hanging.Send("GET /met"));
  auto stopped = std::async(std::launch::async, [this] { server_->Stop(); });
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready) << "Stop waited for the client";
  EXPECT_EQ(hanging.ReadToEnd(), "");
  server_.reset();
  EXPECT_FALSE(ScrapeClient(port).Connected()) << "nothing listens any more";
}

TEST_F(ScrapeServerTest, ListensOnIpv6Loopback) {
  Failure failure;
  server_ = ScrapeServer::Start({.address = "::1"}, [] { return std::string(kScrape); }, failure);
  if (!server_) GTEST_SKIP() << "no IPv6 loopback here: " << failure.Describe();
  EXPECT_EQ(server_->Url(), "http://[::1]:" + std::to_string(Port()) + "/metrics");
  ScrapeClient client(Port(), "::1");
  ASSERT_TRUE(client.Send(kGet));
  EXPECT_EQ(SplitAnswer(client.ReadToEnd()).body, kScrape);
}

TEST_F(ScrapeServerTest, AnAddressItCannotListenOnIsRefusedWithItsCause) {
  StartServer();
  const struct {
    ScrapeServerOptions options;
    std::string cause;
  } cases[] = {
      {{.address = "127.0.0.1", .port = Port()},
       "listen on 127.0.0.1:" + std::to_string(Port()) + ": Address already in use"},
      {{.address = "192.0.2.1", .port = 9488},
       "listen on 192.0.2.1:9488: Cannot assign requested address"},
      {{.address = "localhost", .port = 9488},
       "listen on localhost:9488: not a numeric IPv4 or IPv6 address"},
  };
  for (const auto& c : cases) {
    Failure failure;
    EXPECT_FALSE(ScrapeServer::Start(c.options, [] { return std::string(); }, failure));
    EXPECT_EQ(failure.Describe().rfind(c.cause, 0), 0u) << failure.Describe();
  }
}

}  // namespace
}  // namespace orvelgate
