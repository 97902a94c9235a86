#pragma once
// What the packet handler reaches outside itself: the serial port for the
// acknowledgements, the event routing, the station indicator and the T7 event report.
// The application core implements it; tests record the calls.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/day_count.h"
#include "events/event_record.h"
#include "framecodec/frame_codec.h"

namespace orvelgate {

// Why a packet was not handled to the end; the driver goes on in every case.
enum class PacketProblem {
  PacketLogNotWritten,  // the packet log could not be written: nothing else was done
  AsciiGroupNotDigit,   // an ASCII frame whose first character is not a digit: no event
};

// What became of one packet, for the driver's counts.
enum class FrameResult {
  Event,      // checked, and it carried an event
  NoEvent,    // checked (and acknowledged, GB and CN), but it carried no event
  Rejected,   // failed its checks (markers, check value, ASCII layout): dropped
  NotLogged,  // the packet log could not be written: not handled
  Ignored,    // no frame has this length: only logged
};
inline constexpr std::size_t kFrameResults = 5;
inline constexpr std::size_t kFrameKinds = 4;  // FrameKind: GB, CN, ASCII, other

class PacketHandlerHost {
 public:
  virtual ~PacketHandlerHost() = default;

  // The acknowledgement for the station: the host writes it to the line once the
  // frame's events are in the event journal; the result is not waited for.
  virtual void SendBytes(std::span<const uint8_t> bytes) = 0;
  // The frame's event; it is copied during the call. The host puts it in the event
  // journal and routes it once the journal has it on disk.
  virtual void RouteEvent(const EventRecord& current) = 0;
  virtual void DrawStationIndicator() = 0;
  // An ASCII frame's event report for the T7 link, journaled and routed like an event:
  // the router hands it to the T7 link or spools it. `code` holds the two code
  // characters as received.
  virtual void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                 DayCount time) = 0;
  // How (and whether) the operator hears of it is the host's choice.
  virtual void ReportPacketProblem(PacketProblem /*problem*/) {}
  // What became of the packet; `kind` by its length. Before FrameHandled.
  virtual void FrameCounted(FrameKind /*kind*/, FrameResult /*result*/) {}
  // The packet's handling has ended: everything it asked for above has been asked.
  virtual void FrameHandled() {}
};

}  // namespace orvelgate
