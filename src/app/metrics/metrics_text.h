#pragma once
// The driver's state and counts as a Prometheus scrape (text exposition format 0.0.4):
// gauges from the last published DriverStatus, counters and the acknowledgement
// latency histogram from DriverCounters. Pure: no I/O, no clock of its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/driver_counters.h"
#include "app/core/driver_status.h"

namespace orvelgate {

struct MetricsInput {
  std::optional<DriverStatus> status;  // none until the first tick published one
  CounterReadings counters;
  int64_t nowNs = 0;  // when the scrape is answered, ns since 1970
};

std::string RenderMetrics(const MetricsInput& input);

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace orvelgate
