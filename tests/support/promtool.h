#pragma once
// Prometheus' own checker (Debian's `prometheus` package) run on a scrape:
// `promtool check metrics`, the text on its stdin.

#include <optional>
#include <string>

namespace orvelgate::testing {

struct PromtoolVerdict {
  int status = -1;     // 0: no problems
  std::string output;  // what it said, stdout and stderr
};

// The path of promtool, or "" when it is not installed.
std::string PromtoolPath();
// nullopt when promtool is not installed.
std::optional<PromtoolVerdict> PromtoolCheckMetrics(const std::string& scrape);

}  // namespace orvelgate::testing
