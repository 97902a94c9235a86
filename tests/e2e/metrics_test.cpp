// The real driver with [metrics] on: scrapes taken before, while and after events flow
// from the simulated station to the reference servers pass promtool, and their counts
// follow what the peers saw.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver_run.h"
#include "support/promtool.h"
#include "support/scrape_client.h"

namespace orvelgate::testing {
namespace {

using MetricsRun = DriverRun;

constexpr const char* kGet = "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n";

// The driver without the right to set this machine's clock (a T7 clock record would).
std::unique_ptr<ChildProcess> StartWithoutClockRights(const DriverRun& run, const std::string& stderrFile) {
  ChildOptions options = run.DriverOptions();
  options.stderrFile = stderrFile;
  auto driver = DriverRun::LaunchDriver(options);
  EXPECT_TRUE(driver->WaitReady(20s)) << "the driver printed no READY line";
  return driver;
}

std::string Ini(const std::string& pty, int t8Port, const std::string& metrics) {
  return "[main]\nComPort=COM3\nhost=127.0.0.1\nSendT8=1\nSendT7=1\n"
         "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(t8Port) +
         "\n[ports]\nCOM3=" + pty + "\n[metrics]\n" + metrics;
}

// The value of one series ("name{labels}" as written); nullopt when it is not there.
std::optional<double> Value(const std::string& scrape, const std::string& series) {
  std::istringstream lines(scrape);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(series + " ")) return std::strtod(line.c_str() + series.size() + 1, nullptr);
  }
  return std::nullopt;
}

std::string Scrape(uint16_t port) {
  const HttpAnswer answer = Ask(port, kGet);
  EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
  return answer.body;
}

void ExpectPromtoolFindsNothing(const std::string& scrape) {
  const auto verdict = PromtoolCheckMetrics(scrape);
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->status, 0) << verdict->output << "\n" << scrape;
}

TEST_F(MetricsRun, ScrapesWhileEventsFlowPassPromtoolAndCountWhatThePeersSaw) {
  if (PromtoolPath().empty()) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  StartT7Server();
  const int t8Port = StartT8Server();
  std::vector<std::string> script = {"sleep 1500"};
  for (int i = 0; i < 3; ++i) {
    script.push_back("gb,object=" + std::to_string(10 + i) + ",group=1,code=BA");
    script.push_back("cn,object=" + std::to_string(2000 + i) + ",code=AB");
    script.push_back("ascii,group=2,object=0" + std::to_string(300 + i) + ",code=E1");
    script.push_back("sleep 400");
  }
  const std::string pty = StartStation(script);
  const uint16_t port = UnusedPort();
  WriteIni(Ini(pty, t8Port, "Port=" + std::to_string(port) + "\n"));
  const std::string errors = (Folder() / "stderr.txt").string();
  const auto driver = StartWithoutClockRights(*this, errors);

  const std::string before = Scrape(port);
  ExpectPromtoolFindsNothing(before);
  EXPECT_EQ(Value(before, "orvelgate_frames_received_total{kind=\"gb\",result=\"event\"}"), 0);

  ASSERT_TRUE(Station().WaitForPrefix("FRAME 4 ", 20s));
  const std::string during = Scrape(port);
  ExpectPromtoolFindsNothing(during);
  EXPECT_GE(Value(during, "orvelgate_frames_received_total{kind=\"gb\",result=\"event\"}"), 1);

  ASSERT_TRUE(Station().WaitForPrefix("FRAME 9 ", 20s));
  std::string after;
  ASSERT_TRUE(Eventually([&] {
    after = Scrape(port);
    return Value(after, "orvelgate_events_delivered_total{link=\"t8\"}") == 9 &&
           Value(after, "orvelgate_journal_unretired_entries") == 0;
  }, 20s)) << after << ReadFileText(errors) << ::testing::PrintToString(T7().Lines());
  ExpectPromtoolFindsNothing(after);
  EXPECT_EQ(T8().LinesStartingWith("EVENT").size(), 9u);
  const struct {
    std::string series;
    double value;
  } expected[] = {
      {"orvelgate_frames_received_total{kind=\"gb\",result=\"event\"}", 3},
      {"orvelgate_frames_received_total{kind=\"cn\",result=\"event\"}", 3},
      {"orvelgate_frames_received_total{kind=\"ascii\",result=\"event\"}", 3},
      {"orvelgate_frames_received_total{kind=\"gb\",result=\"rejected\"}", 0},
      {"orvelgate_acknowledgements_total", 6},
      {"orvelgate_acknowledgement_latency_seconds_count", 6},
      {"orvelgate_acknowledgement_latency_seconds_bucket{le=\"+Inf\"}", 6},
      {"orvelgate_events_delivered_total{link=\"t7\"}", 3},
      {"orvelgate_link_connections_total{link=\"t8\"}", 1},
      {"orvelgate_link_connections_total{link=\"t7\"}", 1},
      {"orvelgate_link_up{link=\"t8\"}", 1},
      {"orvelgate_link_up{link=\"t7\"}", 1},
      {"orvelgate_port_open{port=\"COM3\"}", 1},
      {"orvelgate_station_online", 1},
      {"orvelgate_spool_files{link=\"t8\"}", 0},
      {"orvelgate_spool_files{link=\"t7\"}", 0},
  };
  for (const auto& e : expected) EXPECT_EQ(Value(after, e.series), e.value) << e.series << "\n" << after;
  EXPECT_GT(Value(after, "orvelgate_acknowledgement_latency_seconds_sum"), 0);
  EXPECT_EQ(Ask(port, "GET / HTTP/1.1\r\n\r\n").statusLine, "HTTP/1.1 404 Not Found");

  ASSERT_TRUE(driver->Signal(SIGTERM));
  EXPECT_EQ(driver->WaitExit(20s), 0);
}

TEST_F(MetricsRun, APortInUseLeavesTheDriverWorkingWithoutMetrics) {
  const int t8Port = StartT8Server();
  const std::string pty = StartStation({"sleep 500", "gb"});
  // The T8 server already listens on its port.
  WriteIni(Ini(pty, t8Port, "Port=" + std::to_string(t8Port) + "\n"));
  const std::string errors = (Folder() / "stderr.txt").string();
  const auto driver = StartWithoutClockRights(*this, errors);
  ASSERT_TRUE(T8().WaitForPrefix("EVENT", 20s)) << "events flow all the same";
  ASSERT_TRUE(driver->Signal(SIGTERM));
  EXPECT_EQ(driver->WaitExit(20s), 0);
  EXPECT_NE(ReadFileText(errors).find("metrics: listen on 127.0.0.1:" + std::to_string(t8Port) +
                                      ": Address already in use (errno 98); the driver runs "
                                      "without metrics"),
            std::string::npos)
      << ReadFileText(errors);
}

}  // namespace
}  // namespace orvelgate::testing
