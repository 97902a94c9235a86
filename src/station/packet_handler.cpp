#include "station/packet_handler.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "common/log_rotation.h"
#include "framecodec/frame_codec.h"

namespace orvelgate {
namespace {

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

CalendarTime CalendarNow(const Clock& clock) {
  return DecodeDateTime(clock.LocalNow()).value_or(CalendarTime{});
}

}  // namespace

PacketHandler::PacketHandler(PacketHandlerHost& host, Clock& clock, RandomSource& random,
                             std::string packetLogPath)
    : host_(host), clock_(clock), random_(random), packetLogPath_(std::move(packetLogPath)) {}

void PacketHandler::HandlePacket(const uint8_t* packet, uint32_t dataSize) {
  if (packet == nullptr) dataSize = 0;
  const std::span<const uint8_t> bytes(packet, dataSize);
  host_.FrameCounted(FrameKindOf(dataSize), HandleOnePacket(bytes));
  host_.FrameHandled();
}

FrameResult PacketHandler::HandleOnePacket(std::span<const uint8_t> bytes) {
  // Every packet is logged first, raw, then its size line. Without the log the packet
  // is not handled: no acknowledgement (a GB or CN station sends it again), no event.
  std::vector<uint8_t> entry(bytes.begin(), bytes.end());
  const std::string sizeLine = "Packsize " + std::to_string(bytes.size()) + "\r\n";
  entry.insert(entry.end(), sizeLine.begin(), sizeLine.end());
  // A full log is moved aside between packets, never between a packet and its lines.
  RotateIfLarger(packetLogPath_, LogMaxSize());
  if (!AppendToLog(entry)) {
    host_.ReportPacketProblem(PacketProblem::PacketLogNotWritten);
    return FrameResult::NotLogged;
  }

  switch (FrameKindOf(bytes.size())) {
    case FrameKind::Gb: return HandleGb(bytes);
    case FrameKind::Cn: return HandleCn(bytes);
    case FrameKind::Ascii: return HandleAscii(bytes);
    case FrameKind::Other: break;
  }
  return FrameResult::Ignored;
}

FrameResult PacketHandler::HandleGb(std::span<const uint8_t> packet) {
  const auto payload = CheckGbFrame(packet);
  if (!payload) return FrameResult::Rejected;
  const GbFields fields = GbFieldsFromPayload(*payload);
  // The acknowledgement goes out before anything else is done with the frame.
  const GbAck ack = BuildGbAck(fields.echo, CalendarNow(clock_), DrawKey());
  host_.SendBytes(ack);
  if (!GbCarriesEvent(*payload)) return FrameResult::NoEvent;
  current_ = GbEvent(fields, settings_.FirstNumber, clock_.LocalNow());
  if (settings_.SendT8) host_.RouteEvent(current_);
  return FrameResult::Event;
}

FrameResult PacketHandler::HandleCn(std::span<const uint8_t> packet) {
  const auto frame = CheckCnFrame(packet);
  if (!frame) return FrameResult::Rejected;
  const uint8_t ackKey = DrawKey();
  const uint8_t r = DrawKey();
  const CnAck ack = BuildCnAck(ackKey, r);
  host_.SendBytes(ack);
  if (!CnCarriesEvent(*frame)) return FrameResult::NoEvent;
  current_ = CnEvent(DescrambleCnFrame(*frame), settings_.FirstNumber, clock_.LocalNow());
  if (settings_.SendT8) host_.RouteEvent(current_);
  return FrameResult::Event;
}

FrameResult PacketHandler::HandleAscii(std::span<const uint8_t> packet) {
  // Any 13-byte packet shows that the station is alive, valid or not.
  const DayCount now = clock_.LocalNow();
  lastFrameTime_ = now;
  activityCounter_ = activityCounter_ >= kActivitySteps ? 1 : activityCounter_ + 1;
  host_.DrawStationIndicator();

  const auto fields = ParseAsciiFrame(packet);
  if (!fields) return FrameResult::Rejected;
  const int32_t account = AsciiAccount(*fields, settings_.FirstNumber);
  if (!fields->group) {
    host_.ReportPacketProblem(PacketProblem::AsciiGroupNotDigit);
    return FrameResult::NoEvent;
  }

  current_.Account = account;
  current_.Group = *fields->group;
  current_.Code = fields->code;
  current_.EventTime = now;

  const std::string flags = std::string(settings_.SendT8 ? "1" : "0") + " " +
                            (settings_.SendT7 ? "1" : "0") + "\r\n";
  if (!AppendToLog(AsBytes(flags))) {
    host_.ReportPacketProblem(PacketProblem::PacketLogNotWritten);
    return FrameResult::NotLogged;
  }
  if (settings_.SendT8) host_.RouteEvent(current_);
  if (settings_.SendT7) host_.SendT7EventReport(account, fields->code, *fields->group, now);
  return FrameResult::Event;
}

// Opened, appended and closed for every write, so the log is complete on disk at any moment.
bool PacketHandler::AppendToLog(std::span<const uint8_t> bytes) {
  std::FILE* f = std::fopen(packetLogPath_.c_str(), "ab");
  if (!f) return false;
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  return written && closed;
}

// Acknowledgement keys are drawn from 0..254: 255 never occurs.
uint8_t PacketHandler::DrawKey() { return static_cast<uint8_t>(random_.Below(255)); }

}  // namespace orvelgate
