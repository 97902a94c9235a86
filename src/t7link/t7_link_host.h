#pragma once
// What the T7 link needs of the rest of the driver: its indicator, its close path, the
// serial port's device name, and where it tells what happened (failures, clock records,
// reports sent). The driver core implements it; tests record the calls.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/day_count.h"
#include "common/failure.h"

namespace orvelgate {

// What one clock record from the message server did to the computer's clock.
struct ClockRecordOutcome {
  DayCount before = 0;                     // the local time when it came
  std::optional<CalendarTime> requested;   // none: its time stamp is no date and time
  bool set = false;                        // the system took the new time
  std::optional<Failure> refusal;          // why the system refused it, when it did
};

class T7LinkHost {
 public:
  virtual ~T7LinkHost() = default;

  // Redraws the T7 indicator from the T7 connected flag and the received-record
  // counter (0..16).
  virtual void DrawT7Indicator(bool connected, int counter) = 0;

  // The message server ordered the close: set the close-without-code flag and ask the
  // main window to close once control is back in the event loop (a queued call), so
  // that the rest of the received chunk is still handled.
  virtual void RequestCloseWithoutCode() = 0;

  // The serial port's device name as the servers are told it ("\\.\COM3"), for the
  // port-number notice of each connection.
  virtual std::string SerialDeviceName() const = 0;

  // A failure that the application's general error report shows to the operator (one
  // that escaped a handler of the client).
  virtual void ShowHandlerError(const std::string& text) = 0;

  // A connection attempt or a connection failed (the client closed it; the retry tick
  // tries again), with the socket layer's reason; and a connection made.
  virtual void ReportLinkFailure(const std::string& /*cause*/) {}
  // A clock record was obeyed, refused by the system or ignored: the host tells the
  // systemd journal and the operator, since it changes the whole computer's time.
  virtual void ReportClockRecord(const ClockRecordOutcome& /*outcome*/) {}
  virtual void ReportLinkUp() {}
  // The socket took a whole event report (a live one or one from the spool).
  virtual void EventReportSent() {}
};

}  // namespace orvelgate
