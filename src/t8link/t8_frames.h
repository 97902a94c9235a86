#pragma once
// The T8 wire format: every frame is a 21-byte transport header followed by one T8
// message, which is an 18-byte message header and a payload. Pure codec, no I/O.
//
// Transport header (21 bytes, in front of every message in both directions):
//   offset size field
//   0      1    marker       0xFF when the driver writes; a reply may carry 0xFF or 0xF0
//   1      4    reserved     zero when written, not interpreted
//   5      4    length       signed 32-bit: bytes after this header = 18 + payload length
//   9      8    reserved     zero when written, not interpreted
//   17     4    length copy  the same as offset 5 when written, not interpreted
//
// Message header (18 bytes, the first bytes of every message):
//   offset size field
//   0      1    start marker    0xFF
//   1      4    type            signed 32-bit message type (T8Type)
//   5      4    payload length  signed 32-bit
//   9      8    sequence        64-bit, low half at 9, high half at 13
//   17     1    end marker      0xFE

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/wire_constants.h"

namespace orvelgate {

namespace T8Transport {
constexpr std::size_t kMarker = 0;
constexpr std::size_t kLength = 5;
constexpr std::size_t kLengthCopy = 17;
constexpr std::size_t kSize = 21;
constexpr uint8_t kMarkerWritten = 0xFF;
constexpr uint8_t kMarkerAlternative = 0xF0;
}  // namespace T8Transport
static_assert(T8Transport::kLengthCopy + 4 == T8Transport::kSize);

namespace T8Header {
constexpr std::size_t kStart = 0;
constexpr std::size_t kType = 1;
constexpr std::size_t kPayloadLength = 5;
constexpr std::size_t kSequence = 9;
constexpr std::size_t kEnd = 17;
constexpr std::size_t kSize = 18;
constexpr uint8_t kStartMarker = 0xFF;
constexpr uint8_t kEndMarker = 0xFE;
}  // namespace T8Header
static_assert(T8Header::kEnd + 1 == T8Header::kSize);
static_assert(T8Header::kSequence + 8 == T8Header::kEnd);

// Message types. Client = the driver, server = the monitoring server.
namespace T8Type {
constexpr int32_t Poll = 0x02000000;               // both ways: keep-alive and its answer
constexpr int32_t Hello = 0x02000001;              // client, first greeting
constexpr int32_t PortNotice = 0x02200062;         // client, second greeting / port change
constexpr int32_t FirstNumberNotice = 0x02200065;  // client, third greeting
constexpr int32_t DriverVersion = 0x02200063;      // client, fourth greeting
constexpr int32_t EventMessage = kT8EventMessageType;  // client, one EventRecord
constexpr int32_t QueryAnswer = 0x02ffffff;        // client, answers ServerQuery
constexpr int32_t LoginAccepted = kT8LoginAcceptedType;  // server
constexpr int32_t ServerQuery = 0x02000004;        // server
constexpr int32_t AccessDenied = 0x02000005;       // server
constexpr int32_t DisconnectOrder = 0x02fffffd;    // server
constexpr int32_t DropLink = 0x02fffffe;           // server
constexpr int32_t EventAck = 0x03000019;           // server
}  // namespace T8Type

// The name of a known type ("EventAck"), or nullptr.
const char* T8TypeName(int32_t type);
// The type for a name of the table, or nullopt.
std::optional<int32_t> T8TypeFromName(std::string_view name);

// The largest message a frame may announce (18 + payload). Replies above it, and
// messages the driver would build above it, are refused: nobody sends that much in
// one T8 message, and an unbounded length would let a peer make us allocate at will.
constexpr int32_t kT8MaxMessageLength = 16 * 1024 * 1024;

// Header + payload. nullopt when the message would exceed kT8MaxMessageLength.
std::optional<std::vector<uint8_t>> BuildMessage(int32_t type, uint64_t sequence,
                                                 std::span<const uint8_t> payload);
// The keep-alive: type Poll, no payload, sequence 0.
std::vector<uint8_t> BuildPoll();
// Transport header + message in one buffer, ready for a single write.
std::vector<uint8_t> FrameMessage(std::span<const uint8_t> message);

// Whether a reply's transport marker is one the driver reads on.
bool IsReplyMarker(uint8_t marker);
// The length field of a transport header (exactly 21 bytes).
int32_t TransportLength(std::span<const uint8_t, T8Transport::kSize> header);

struct T8MessageHeader {
  int32_t Type = 0;
  int32_t PayloadLength = 0;
  uint64_t Sequence = 0;
};
// The header of a message whose markers are right; nullopt for fewer than 18 bytes or
// wrong markers.
std::optional<T8MessageHeader> ParseMessageHeader(std::span<const uint8_t> message);

// A valid reply: at least a message header with 0xFF at byte 0 and 0xFE at byte 17.
// The payload is the rest of the buffer; the header's payload length sizes nothing.
struct T8Reply {
  int32_t Type = 0;
  std::span<const uint8_t> Payload;
};
std::optional<T8Reply> CheckReply(std::span<const uint8_t> buffer);

// Greeting payloads.
std::vector<uint8_t> HelloPayload();  // 17 00
// Counted string of at most 6 characters (Windows-1251 bytes), then 1 when open.
std::vector<uint8_t> PortNoticePayload(std::string_view portName, bool portOpen);
std::vector<uint8_t> FirstNumberNoticePayload(int32_t firstNumber);  // low byte
// Four 16-bit numbers parsed from a.b.c.d.
std::array<int16_t, 4> ParseVersionText(std::string_view text);
std::vector<uint8_t> DriverVersionPayload(std::string_view versionText);

}  // namespace orvelgate
