#pragma once
// The packet handler: every packet the serial port delivers is appended to the packet
// log, recognised by its length, checked, acknowledged (GB, CN) and turned into the
// current event, which goes to the routing (T8) and, for ASCII frames, to the T7 link.
//
// It owns the current event, the last-frame time and the activity counter; the
// application core reads them (the station supervision and the indicator) and sets the
// last-frame time at start-up. Runs on the user-interface thread, one packet at a time.
// The packet log is moved to "<log>.1" once it has reached LogMaxSize() (log_rotation.h).

#include <cstdint>
#include <string>

#include "common/clock.h"
#include "common/random_source.h"
#include "common/day_count.h"
#include "events/event_record.h"
#include "station/packet_handler_host.h"

namespace orvelgate {

struct StationSettings {
  int32_t FirstNumber = 4;  // FirstNumber * 10000 is added to every object number
  bool SendT8 = true;       // events go to RouteEvent
  bool SendT7 = false;      // ASCII frames also give a T7 event report
};

class PacketHandler {
 public:
  static constexpr const char* kDefaultPacketLog = "orvelgate.log";
  static constexpr int32_t kActivitySteps = 16;

  // The collaborators must outlive the handler.
  PacketHandler(PacketHandlerHost& host, Clock& clock, RandomSource& random,
                std::string packetLogPath = kDefaultPacketLog);

  // The serial port's OnReceivePacket. The bytes are only read during the call.
  void HandlePacket(const uint8_t* packet, uint32_t dataSize);

  const StationSettings& Settings() const { return settings_; }
  void SetSettings(const StationSettings& settings) { settings_ = settings; }

  const EventRecord& CurrentEvent() const { return current_; }
  DayCount LastFrameTime() const { return lastFrameTime_; }
  void SetLastFrameTime(DayCount time) { lastFrameTime_ = time; }
  int32_t ActivityCounter() const { return activityCounter_; }
  const std::string& PacketLogPath() const { return packetLogPath_; }

 private:
  FrameResult HandleOnePacket(std::span<const uint8_t> bytes);
  FrameResult HandleGb(std::span<const uint8_t> packet);
  FrameResult HandleCn(std::span<const uint8_t> packet);
  FrameResult HandleAscii(std::span<const uint8_t> packet);
  bool AppendToLog(std::span<const uint8_t> bytes);
  uint8_t DrawKey();

  PacketHandlerHost& host_;
  Clock& clock_;
  RandomSource& random_;
  std::string packetLogPath_;
  StationSettings settings_;
  EventRecord current_;
  DayCount lastFrameTime_ = 0.0;
  int32_t activityCounter_ = 0;
};

}  // namespace orvelgate
