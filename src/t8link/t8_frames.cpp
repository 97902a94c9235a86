#include "t8link/t8_frames.h"

#include <charconv>
#include <limits>

#include "common/counted_string.h"
#include "common/le_bytes.h"

namespace orvelgate {

namespace {

struct TypeEntry {
  int32_t type;
  const char* name;
};

// Poll is listed once: the same type travels both ways.
constexpr TypeEntry kTypes[] = {
    {T8Type::Poll, "Poll"},
    {T8Type::Hello, "Hello"},
    {T8Type::PortNotice, "PortNotice"},
    {T8Type::FirstNumberNotice, "FirstNumberNotice"},
    {T8Type::DriverVersion, "DriverVersion"},
    {T8Type::EventMessage, "EventMessage"},
    {T8Type::QueryAnswer, "QueryAnswer"},
    {T8Type::LoginAccepted, "LoginAccepted"},
    {T8Type::ServerQuery, "ServerQuery"},
    {T8Type::AccessDenied, "AccessDenied"},
    {T8Type::DisconnectOrder, "DisconnectOrder"},
    {T8Type::DropLink, "DropLink"},
    {T8Type::EventAck, "EventAck"},
};

// A decimal integer that fits in 32 bits, with an optional sign; 0 otherwise.
int32_t IntegerOrZero(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return 0;
  return value;
}

}  // namespace

const char* T8TypeName(int32_t type) {
  for (const auto& entry : kTypes) {
    if (entry.type == type) return entry.name;
  }
  return nullptr;
}

std::optional<int32_t> T8TypeFromName(std::string_view name) {
  for (const auto& entry : kTypes) {
    if (name == entry.name) return entry.type;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> BuildMessage(int32_t type, uint64_t sequence,
                                                 std::span<const uint8_t> payload) {
  if (payload.size() > static_cast<std::size_t>(kT8MaxMessageLength) - T8Header::kSize) {
    return std::nullopt;
  }
  std::vector<uint8_t> message(T8Header::kSize + payload.size());
  LeWriter out(message);
  out.U8(T8Header::kStart, T8Header::kStartMarker);
  out.I32(T8Header::kType, type);
  out.I32(T8Header::kPayloadLength, static_cast<int32_t>(payload.size()));
  out.U64(T8Header::kSequence, sequence);
  out.U8(T8Header::kEnd, T8Header::kEndMarker);
  out.Bytes(T8Header::kSize, payload);
  return message;
}

std::vector<uint8_t> BuildPoll() { return *BuildMessage(T8Type::Poll, 0, {}); }

std::vector<uint8_t> FrameMessage(std::span<const uint8_t> message) {
  std::vector<uint8_t> frame(T8Transport::kSize + message.size());
  const auto length = static_cast<int32_t>(message.size());
  LeWriter out(frame);
  out.U8(T8Transport::kMarker, T8Transport::kMarkerWritten);
  out.I32(T8Transport::kLength, length);
  out.I32(T8Transport::kLengthCopy, length);
  out.Bytes(T8Transport::kSize, message);
  return frame;
}

bool IsReplyMarker(uint8_t marker) {
  return marker == T8Transport::kMarkerWritten || marker == T8Transport::kMarkerAlternative;
}

int32_t TransportLength(std::span<const uint8_t, T8Transport::kSize> header) {
  return *LeReader(header).I32(T8Transport::kLength);
}

std::optional<T8MessageHeader> ParseMessageHeader(std::span<const uint8_t> message) {
  const LeReader in(message);
  if (!in.Has(0, T8Header::kSize)) return std::nullopt;
  if (*in.U8(T8Header::kStart) != T8Header::kStartMarker ||
      *in.U8(T8Header::kEnd) != T8Header::kEndMarker) {
    return std::nullopt;
  }
  return T8MessageHeader{*in.I32(T8Header::kType), *in.I32(T8Header::kPayloadLength),
                         *in.U64(T8Header::kSequence)};
}

std::optional<T8Reply> CheckReply(std::span<const uint8_t> buffer) {
  const auto header = ParseMessageHeader(buffer);
  if (!header) return std::nullopt;
  return T8Reply{header->Type, buffer.subspan(T8Header::kSize)};
}

std::vector<uint8_t> HelloPayload() { return {0x17, 0x00}; }

std::vector<uint8_t> PortNoticePayload(std::string_view portName, bool portOpen) {
  constexpr std::size_t kNameCapacity = 6;
  std::vector<uint8_t> payload(1 + kNameCapacity + 1, 0);
  LeWriter out(payload);
  PutCountedString(out, 0, kNameCapacity, portName);
  out.U8(1 + kNameCapacity, portOpen ? 1 : 0);
  return payload;
}

std::vector<uint8_t> FirstNumberNoticePayload(int32_t firstNumber) {
  // The low byte of the value is what "modulo 256" leaves in a byte, for either sign.
  return {static_cast<uint8_t>(static_cast<uint32_t>(firstNumber) & 0xFFu)};
}

std::array<int16_t, 4> ParseVersionText(std::string_view text) {
  std::array<int16_t, 4> numbers{};
  if (text.find('.') == std::string_view::npos) return numbers;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) continue;  // stays 0, nothing removed
    numbers[i] = static_cast<int16_t>(static_cast<uint16_t>(IntegerOrZero(text.substr(0, dot))));
    text.remove_prefix(dot + 1);
  }
  numbers[3] = static_cast<int16_t>(static_cast<uint16_t>(IntegerOrZero(text)));
  return numbers;
}

std::vector<uint8_t> DriverVersionPayload(std::string_view versionText) {
  const auto numbers = ParseVersionText(versionText);
  std::vector<uint8_t> payload(numbers.size() * 2);
  LeWriter out(payload);
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    out.U16(i * 2, static_cast<uint16_t>(numbers[i]));
  }
  return payload;
}

}  // namespace orvelgate
