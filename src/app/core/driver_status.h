#pragma once
// What the driver is doing, read off its parts on the user-interface thread, for those
// who watch it without the window: the service manager's status line and the metrics.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/day_count.h"
#include "events/spool_store.h"

namespace orvelgate {

struct DriverStatus {
  std::string portName;  // the configured serial port; empty when none
  bool portOpen = false;
  bool stationOnline = false;
  bool t8Used = false;  // SendT8
  bool t8Up = false;    // logged in at the T8 server
  bool t7Used = false;  // SendT7
  bool t7Connected = false;
  SpoolBacklog t8Spool;  // .dd8 files waiting
  SpoolBacklog t7Spool;  // .ddk files waiting
  std::size_t journalLive = 0;        // event journal entries not yet retired
  std::optional<DayCount> lastEvent;  // local time of the last event from the station
  int64_t takenNs = 0;                // when it was read: ns since 1970 (the spool ages)
};

// The current wall time in ns since 1970, as the spool files' times are kept.
int64_t WallNowNs();

}  // namespace orvelgate
