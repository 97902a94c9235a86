#include "app/metrics/metrics_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/promtool.h"

namespace orvelgate {
namespace {

constexpr int64_t kNowNs = 1'700'000'000'000'000'000;
constexpr int64_t kSecondNs = 1'000'000'000;

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);)
    if (l == line) return true;
  return false;
}

bool HasLineStarting(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);)
    if (l.starts_with(prefix)) return true;
  return false;
}

DriverStatus SampleStatus() {
  DriverStatus s;
  s.portName = "COM3";
  s.portOpen = true;
  s.stationOnline = true;
  s.t8Used = true;
  s.t8Up = true;
  s.t7Used = true;
  s.t7Connected = false;
  s.t8Spool = {3, kNowNs - 92 * kSecondNs};  // 90.5 s old when the status was taken
  s.journalLive = 12;
  s.takenNs = kNowNs - 3 * kSecondNs / 2;
  return s;
}

struct RenderCase {
  const char* name;
  std::function<void(MetricsInput&)> arrange;
  std::vector<std::string> lines;    // each present, exactly
  std::vector<std::string> absent;   // no line starts with any of these
};

class MetricsText : public ::testing::TestWithParam<RenderCase> {};

TEST_P(MetricsText, ShowsWhatTheDriverCounted) {
  MetricsInput input;
  input.nowNs = kNowNs;
  GetParam().arrange(input);
  const std::string text = RenderMetrics(input);
  for (const std::string& line : GetParam().lines) EXPECT_TRUE(HasLine(text, line)) << line << "\n" << text;
  for (const std::string& prefix : GetParam().absent)
    EXPECT_FALSE(HasLineStarting(text, prefix)) << prefix << "\n" << text;
}

const RenderCase kRenderCases[] = {
    {"nothing_yet", [](MetricsInput&) {},
     {"# TYPE orvelgate_frames_received_total counter",
      "orvelgate_frames_received_total{kind=\"gb\",result=\"event\"} 0",
      "orvelgate_frames_received_total{kind=\"other\",result=\"ignored\"} 0",
      "orvelgate_acknowledgements_total 0",
      "# TYPE orvelgate_acknowledgement_latency_seconds histogram",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"+Inf\"} 0",
      "orvelgate_acknowledgement_latency_seconds_sum 0",
      "orvelgate_acknowledgement_latency_seconds_count 0",
      "orvelgate_events_delivered_total{link=\"t8\"} 0",
      "orvelgate_link_connections_total{link=\"t7\"} 0"},
     // Results a kind cannot have are left out; no state before the first tick.
     {"orvelgate_frames_received_total{kind=\"other\",result=\"event\"}",
      "orvelgate_frames_received_total{kind=\"ascii\",result=\"rejected\"}",
      "orvelgate_frames_received_total{kind=\"gb\",result=\"ignored\"}", "orvelgate_port_open",
      "orvelgate_status_age_seconds", "orvelgate_spool_files"}},
    {"frames_by_kind_and_result",
     [](MetricsInput& in) {
       in.counters.frames[0][0] = 3;  // gb event
       in.counters.frames[1][2] = 5;  // cn rejected
       in.counters.frames[2][1] = 2;  // ascii no_event
       in.counters.frames[2][2] = 1;  // ascii rejected: never expected, shown once it happened
       in.counters.frames[3][3] = 4;  // other not_logged
     },
     {"orvelgate_frames_received_total{kind=\"gb\",result=\"event\"} 3",
      "orvelgate_frames_received_total{kind=\"cn\",result=\"rejected\"} 5",
      "orvelgate_frames_received_total{kind=\"ascii\",result=\"no_event\"} 2",
      "orvelgate_frames_received_total{kind=\"ascii\",result=\"rejected\"} 1",
      "orvelgate_frames_received_total{kind=\"other\",result=\"not_logged\"} 4",
      "orvelgate_frames_received_total{kind=\"cn\",result=\"event\"} 0"},
     {}},
    {"latency_buckets_are_cumulative",
     [](MetricsInput& in) {
       in.counters.ackLatency[0] = 1;   // up to 0.1 ms
       in.counters.ackLatency[3] = 2;   // up to 1 ms
       in.counters.ackLatency[15] = 1;  // above 4 s
       in.counters.ackLatencySumNs = 5'002'100'000;
     },
     {"orvelgate_acknowledgement_latency_seconds_bucket{le=\"0.0001\"} 1",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"0.00025\"} 1",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"0.001\"} 3",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"0.0025\"} 3",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"4\"} 3",
      "orvelgate_acknowledgement_latency_seconds_bucket{le=\"+Inf\"} 4",
      "orvelgate_acknowledgement_latency_seconds_sum 5.0021",
      "orvelgate_acknowledgement_latency_seconds_count 4", "orvelgate_acknowledgements_total 4"},
     {}},
    {"per_link_counts",
     [](MetricsInput& in) {
       in.counters.delivered = {7, 2};
       in.counters.connections = {1, 3};
     },
     {"orvelgate_events_delivered_total{link=\"t8\"} 7",
      "orvelgate_events_delivered_total{link=\"t7\"} 2",
      "orvelgate_link_connections_total{link=\"t8\"} 1",
      "orvelgate_link_connections_total{link=\"t7\"} 3"},
     {}},
    {"state_of_the_last_tick", [](MetricsInput& in) { in.status = SampleStatus(); },
     {"orvelgate_status_age_seconds 1.5", "orvelgate_port_open{port=\"COM3\"} 1",
      "orvelgate_station_online 1", "orvelgate_link_enabled{link=\"t8\"} 1",
      "orvelgate_link_enabled{link=\"t7\"} 1", "orvelgate_link_up{link=\"t8\"} 1",
      "orvelgate_link_up{link=\"t7\"} 0", "orvelgate_spool_files{link=\"t8\"} 3",
      "orvelgate_spool_files{link=\"t7\"} 0", "orvelgate_spool_oldest_age_seconds{link=\"t8\"} 90.5",
      "orvelgate_spool_oldest_age_seconds{link=\"t7\"} 0", "orvelgate_journal_unretired_entries 12"},
     {}},
    {"links_switched_off_and_no_port",
     [](MetricsInput& in) {
       in.status = DriverStatus{};
       in.status->takenNs = kNowNs + kSecondNs;  // a wall clock set back: no negative age
     },
     {"orvelgate_status_age_seconds 0", "orvelgate_port_open{port=\"\"} 0",
      "orvelgate_station_online 0", "orvelgate_link_enabled{link=\"t8\"} 0",
      "orvelgate_link_up{link=\"t7\"} 0", "orvelgate_journal_unretired_entries 0"},
     {}},
    {"port_name_is_escaped",
     [](MetricsInput& in) {
       in.status = SampleStatus();
       in.status->portName = "a\"b\\c\nd";
     },
     {"orvelgate_port_open{port=\"a\\\"b\\\\c\\nd\"} 1"},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Table, MetricsText, ::testing::ValuesIn(kRenderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetricsTextFormat, EveryFamilyHasHelpAndTypeOnceAndAllLinesEnd) {
  MetricsInput input;
  input.status = SampleStatus();
  input.nowNs = kNowNs;
  const std::string text = RenderMetrics(input);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::istringstream lines(text);
  std::vector<std::string> types;
  for (std::string l; std::getline(lines, l);) {
    if (!l.starts_with("# TYPE ")) continue;
    const std::string name = l.substr(7, l.find(' ', 7) - 7);
    for (const std::string& seen : types) EXPECT_NE(seen, name) << "two TYPE lines";
    types.push_back(name);
    EXPECT_TRUE(HasLineStarting(text, "# HELP " + name + " ")) << name;
  }
  EXPECT_EQ(types.size(), 14u);
}

TEST(MetricsTextFormat, PromtoolFindsNothingToCorrect) {
  MetricsInput input;
  input.status = SampleStatus();
  input.status->portName = "a\"b\\c";
  input.nowNs = kNowNs;
  input.counters.frames[0][0] = 3;
  input.counters.ackLatency[2] = 5;
  input.counters.ackLatencySumNs = 2'000'000;
  input.counters.delivered = {3, 1};
  const auto verdict = testing::PromtoolCheckMetrics(RenderMetrics(input));
  if (!verdict) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  EXPECT_EQ(verdict->status, 0) << verdict->output;
  EXPECT_EQ(verdict->output, "");
}

TEST(MetricsTextFormat, PromtoolWouldCatchABrokenScrape) {
  // The check above can fail: promtool does object to a family without help text.
  const auto verdict = testing::PromtoolCheckMetrics("# TYPE a_total counter\na_total 1\n");
  if (!verdict) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
  EXPECT_NE(verdict->status, 0) << verdict->output;
}

}  // namespace
}  // namespace orvelgate
