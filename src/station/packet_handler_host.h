#pragma once
// What the packet handler reaches outside itself: the serial port for the
// acknowledgements, the event routing, the station indicator and the T7 event report.
// The application core implements it; tests record the calls.

#include <cstdint>
#include <span>
#include <string>

#include "common/day_count.h"
#include "events/event_record.h"

namespace orvelgate {

// Why a packet was not handled to the end; the driver goes on in every case.
enum class PacketProblem {
  PacketLogNotWritten,  // the packet log could not be written: nothing else was done
  AsciiGroupNotDigit,   // an ASCII frame whose first character is not a digit: no event
};

class PacketHandlerHost {
 public:
  virtual ~PacketHandlerHost() = default;

  // Writes an acknowledgement to the station; the result is not waited for.
  virtual void SendBytes(std::span<const uint8_t> bytes) = 0;
  // Hands the current event to the T8 side; it is copied during the call.
  virtual void RouteEvent(const EventRecord& current) = 0;
  virtual void DrawStationIndicator() = 0;
  // An ASCII frame's event report for the T7 link: sent at once while connected,
  // otherwise spooled. `code` holds the two code characters as received.
  virtual void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                 DayCount time) = 0;
  // How (and whether) the operator hears of it is the host's choice.
  virtual void ReportPacketProblem(PacketProblem /*problem*/) {}
  // The packet's handling has ended: everything it asked for above has been asked.
  virtual void FrameHandled() {}
};

}  // namespace orvelgate
