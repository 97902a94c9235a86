#include "app/metrics/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "support/loopback_port.h"
#include "support/scrape_client.h"

namespace orvelgate {
namespace {

using testing::Ask;

constexpr const char* kGet = "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n";

class MetricsEndpointTest : public ::testing::Test {
 protected:
  std::vector<std::string> lines_;
  ScopedDiagnosticsSink sink_{[this](Severity, std::string_view text) { lines_.emplace_back(text); }};
  DriverCounters counters_;
};

TEST_F(MetricsEndpointTest, OffUnlessAPortIsConfigured) {
  const MetricsEndpoint endpoint(MetricsConfig{}, counters_);
  EXPECT_FALSE(endpoint.Running());
  EXPECT_TRUE(lines_.empty());
}

TEST_F(MetricsEndpointTest, AScrapeShowsTheLastPublishedStateAndTheCountersOfNow) {
  MetricsEndpoint endpoint({.Port = testing::UnusedPort()}, counters_);
  ASSERT_TRUE(endpoint.Running());
  EXPECT_EQ(lines_, std::vector<std::string>{"metrics: http://127.0.0.1:" +
                                             std::to_string(endpoint.Port()) + "/metrics"});
  EXPECT_EQ(Ask(endpoint.Port(), kGet).body.find("orvelgate_port_open"), std::string::npos)
      << "no state before the first tick";

  DriverStatus status;
  status.portName = "COM7";
  status.portOpen = true;
  status.takenNs = WallNowNs();
  endpoint.Publish(status);
  counters_.CountFrame(FrameKind::Cn, FrameResult::Event);
  const std::string scrape = Ask(endpoint.Port(), kGet).body;
  EXPECT_NE(scrape.find("\norvelgate_port_open{port=\"COM7\"} 1\n"), std::string::npos) << scrape;
  EXPECT_NE(scrape.find("\norvelgate_frames_received_total{kind=\"cn\",result=\"event\"} 1\n"),
            std::string::npos) << scrape;
}

TEST_F(MetricsEndpointTest, APortInUseLeavesItOffWithTheCause) {
  const MetricsEndpoint first({.Port = testing::UnusedPort()}, counters_);
  ASSERT_TRUE(first.Running());
  lines_.clear();
  const MetricsEndpoint second({.Port = first.Port()}, counters_);
  EXPECT_FALSE(second.Running());
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "metrics: listen on 127.0.0.1:" + std::to_string(first.Port()) +
                           ": Address already in use (errno 98); the driver runs without metrics");
}

}  // namespace
}  // namespace orvelgate
