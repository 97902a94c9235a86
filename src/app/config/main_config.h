#pragma once
// The driver's settings from orvelgate.ini: section [main], read once at start-up, and
// section [ServerHost], which the T8 worker reads at its start and before every
// connection attempt, and section [metrics], read once at start-up. Absent values and values out of range take their defaults
// (config_check.h); a missing, unreadable or non-text file gives all the defaults
// (config_reading.h).

#include <cstdint>
#include <string>

#include "common/attention_time.h"
#include "common/day_count.h"
#include "common/log_rotation.h"
#include "t8link/t8_worker_host.h"

namespace orvelgate {

inline constexpr const char* kConfigFileName = "orvelgate.ini";

// [main], in the order the start-up reads the keys.
struct MainConfig {
  std::string ComPort = "COM255";    // "COM255" (exact, case kept) means no port
  std::string ComBaudRate = "9600";  // speed and, from it, the packet time-out
  int32_t NoticeFileNumber = -1;     // goes into the names of notice spool files
  int32_t Name = -1;                 // kept, not used
  int32_t FirstNumber = 4;           // FirstNumber * 10000 is added to object numbers
  std::string SpoolPrefix;           // prefix of every spool file name
  std::string T7Host = "localhost";  // the T7 message server ([main] host)
  bool DropUndeliveredT8 = false;    // drop, rather than spool, what the T8 link can't take
  DayCount Attention = kDefaultAttention;  // silence before the station counts as lost
  bool Log = false;                  // kept, not used
  bool SendT7 = false;
  bool SendT8 = true;
  uint64_t LogMaxSize = kDefaultLogMaxSize;  // size at which each log starts afresh

  bool operator==(const MainConfig&) const = default;
};

// [ServerHost] is the T8 link's ServerHostSettings.

// [metrics]: the Prometheus scrape endpoint, off unless Port names one. A bad value in
// the section leaves it off.
struct MetricsConfig {
  int32_t Port = 0;                  // 0: no metrics
  std::string Address = "127.0.0.1";  // a numeric IPv4 or IPv6 address to listen on

  bool On() const { return Port != 0; }
  bool operator==(const MetricsConfig&) const = default;
};

}  // namespace orvelgate
