#pragma once
// The driver's state in one line for the service manager (systemd's STATUS=, shown by
// `systemctl status`), read by an administrator:
//
//   port COM3 open, station online, T8 up, T7 connected, spool 0 waiting,
//   last event 2026-12-10 20:41:07
//
// and with a backlog "spool 12 T8 files (oldest 3 min), 2 T7 files (oldest 40 s)". A
// link switched off in the configuration reads "T8 off" / "T7 off". Pure: no I/O, no
// clock (the spool ages are taken at status.takenNs).

#include <cstdint>
#include <string>

#include "app/core/driver_status.h"

namespace orvelgate {

std::string ServiceStatusLine(const DriverStatus& status);

// A span of time as the line gives it, cut off below: "0 s", "59 s", "3 min", "5 h", "2 d".
std::string WaitedText(int64_t ms);

}  // namespace orvelgate
