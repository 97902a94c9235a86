#pragma once
// Station frames: the three kinds the receiving station sends (GB, CN, ASCII), told apart
// by their length alone, and the acknowledgements that answer GB and CN frames.
//
// A pure codec: no I/O, no clock, no randomness. The caller passes the local time and the
// acknowledgement keys. Both directions live here: the driver checks frames and builds
// acknowledgements; the station simulator and the tests encode frames and check the
// acknowledgements, so both sides share one description of every byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/day_count.h"
#include "events/event_record.h"

namespace orvelgate {

enum class FrameKind { Gb, Cn, Ascii, Other };

inline constexpr std::size_t kGbFrameSize = 35;
inline constexpr std::size_t kCnFrameSize = 31;
inline constexpr std::size_t kAsciiFrameSize = 13;

// The station's frames are recognised by length only: 35 GB, 31 CN, 13 ASCII.
FrameKind FrameKindOf(std::size_t length);

// True when the bytes are exactly one whole, valid CN frame (31 bytes, marker and check),
// which a reader may hand over before its packet time-out instead of waiting for a
// 35-byte packet. No valid GB frame begins with one: byte 5 is '$' in a GB frame and 'D'
// in the CN marker. An ASCII frame never qualifies: it has no marker and no check, and
// bytes 5-8 and 11-12 are not examined, so 13 bytes that read as one may as well be the
// first 13 bytes of a GB frame split across reads (bytes 0-4 of a GB frame are not
// examined either); nothing waits for it anyway, since it is not acknowledged.
bool IsCompleteShortFrame(std::span<const uint8_t> bytes);

// ---------------------------------------------------------------------------------------
// GB frame, 35 bytes:
//
//   bytes   content
//   0-4     not examined (the encoder writes zeros)
//   5-10    "$GBBE$"
//   11-28   payload, 18 bytes; payload bytes 0-16 are XORed with the key K
//   29-34   "$GBEE$"
//
// GB payload after descrambling (payload byte i is packet byte 11 + i):
//
//   byte    content
//   0-3     echoed in the acknowledgement, otherwise unused
//   4       object number, high byte
//   5       object number, low byte
//   6       Group; 0 means the frame carries no event
//   7-8     the two Code characters, in order
//   9-10    year, unsigned 16-bit little-endian (full year)
//   11      month 1-12
//   12      day 1-31
//   13      hour 0-23
//   14      minute 0-59
//   15      second 0-59
//   16      check byte: sum of payload bytes 0-15 modulo 256
//   17      key K, in the clear
inline constexpr std::size_t kGbPayloadOffset = 11;
inline constexpr std::size_t kGbPayloadSize = 18;
static_assert(5 + 6 == kGbPayloadOffset);
static_assert(kGbPayloadOffset + kGbPayloadSize + 6 == kGbFrameSize);

using GbFrame = std::array<uint8_t, kGbFrameSize>;
using GbPayload = std::array<uint8_t, kGbPayloadSize>;  // descrambled
using GbEcho = std::array<uint8_t, 4>;                  // payload bytes 0-3

struct GbFields {
  GbEcho echo{};
  uint16_t object = 0;
  uint8_t group = 0;
  std::string code;   // two characters; the encoder pads a shorter text with zero bytes
  CalendarTime time;  // as carried, not validated; the encoder truncates each field to its bytes

  bool operator==(const GbFields&) const = default;
};

// Markers, descrambling and check byte. The descrambled payload, or nullopt when the
// packet is not a valid GB frame (wrong length, wrong marker, wrong check byte).
std::optional<GbPayload> CheckGbFrame(std::span<const uint8_t> packet);
GbFields GbFieldsFromPayload(const GbPayload& payload);
inline bool GbCarriesEvent(const GbPayload& payload) { return payload[6] != 0; }
// Account = object + firstNumber * 10000 (signed 32-bit, wrapping); EventTime from the
// frame with milliseconds 0, or `receivedAt` when the fields are not a valid date and time.
EventRecord GbEvent(const GbFields& fields, int32_t firstNumber, DayCount receivedAt);
// A valid frame carrying `fields`, scrambled with `key`.
GbFrame EncodeGbFrame(const GbFields& fields, uint8_t key);

// GB acknowledgement, 30 bytes, driver to station; K' is a fresh key 0-254:
//
//   byte    content
//   0-7     "$GBSBEA$"
//   8       0x01 ^ K'
//   9-12    payload bytes 0-3 ^ K'
//   13      low byte of the current year ^ K'
//   14      high byte of the current year ^ K'
//   15-19   current month, day, hour, minute, second, each ^ K'
//   20      S ^ K', S = sum of the plain bytes 8-19 modulo 256
//   21      K'
//   22-29   "$GBSEEA$"
inline constexpr std::size_t kGbAckSize = 30;
using GbAck = std::array<uint8_t, kGbAckSize>;

// `now` is the driver's local clock at the moment of the reply.
GbAck BuildGbAck(const GbEcho& echo, const CalendarTime& now, uint8_t ackKey);
// The station's view: checks markers, the 0x01 byte, the echo, the sum and K' <= 254, and
// gives the clock fields the driver sent (year to second; not validated as a date).
std::optional<CalendarTime> VerifyGbAck(std::span<const uint8_t> ack, const GbEcho& expectedEcho);

// ---------------------------------------------------------------------------------------
// CN frame, 31 bytes:
//
//   bytes   content
//   0-6     "$CNORD$"
//   7       key K
//   8-30    23 scrambled bytes: plain = received ^ K ^ 0x01
//
// CN bytes after descrambling (packet positions):
//
//   byte    content
//   8       not used
//   9       minute, BCD
//   10      hour, BCD
//   11      day, BCD
//   12      month, BCD
//   13      year within the century, BCD (2000 is added)
//   14      object number, first two digits, BCD
//   15      object number, last two digits, BCD
//   16      code value, high byte
//   17      code value, low byte
//   18-28   not used
//   29      no-event marker: the frame carries no event when this byte, as received, equals K
//   30      not used; the XOR of the received bytes 7-30 must be 0
inline constexpr std::size_t kCnKeyByte = 7;
inline constexpr std::size_t kCnNoEventByte = 29;
static_assert(kCnNoEventByte + 2 == kCnFrameSize);

using CnFrame = std::array<uint8_t, kCnFrameSize>;  // as received

struct CnFields {
  // BCD bytes as carried; a nibble above 9 selects the field's default.
  uint8_t minute = 0;
  uint8_t hour = 0;
  uint8_t day = 0x01;
  uint8_t month = 0x01;
  uint8_t year = 0;
  uint8_t objectHigh = 0;
  uint8_t objectLow = 0;
  uint16_t code = 0;

  bool operator==(const CnFields&) const = default;
};

// Marker and XOR check. The frame as received, or nullopt when it is not a valid CN frame.
std::optional<CnFrame> CheckCnFrame(std::span<const uint8_t> packet);
inline bool CnCarriesEvent(const CnFrame& frame) {
  return frame[kCnNoEventByte] != frame[kCnKeyByte];
}
CnFields DescrambleCnFrame(const CnFrame& frame);

// The two object bytes as four BCD digits (0 when any nibble is above 9), plus
// firstNumber * 10000 in either case; signed 32-bit, wrapping.
int32_t CnAccount(uint8_t objectHigh, uint8_t objectLow, int32_t firstNumber);
// Two characters: (0x41 + value / 26) mod 256, then 0x41 + value % 26.
std::string CnCode(uint16_t value);
// Date and time from the BCD bytes with the per-field defaults (year 0, month 1, day 1,
// hour 0, minute 0); seconds 0. Not validated: month 0x13 gives month 13.
CalendarTime CnCalendar(const CnFields& fields);
// Group 0; EventTime is `receivedAt` when the calendar is not a valid date and time.
EventRecord CnEvent(const CnFields& fields, int32_t firstNumber, DayCount receivedAt);

// A frame that passes the check. `filler` goes into the unused plain bytes; with
// `noEvent` byte 29 carries the no-event marker, otherwise it is kept different from K.
CnFrame EncodeCnFrame(const CnFields& fields, uint8_t key, bool noEvent, uint8_t filler = 0);

// CN acknowledgement, 9 bytes, driver to station; K' and R are fresh values 0-254:
//
//   byte    content
//   0       K'
//   1       R ^ K'
//   2-7     0x2C 0x2D 0x05 0x34 0x2D 0x24, each ^ K'
//   8       X ^ K', X = XOR of the plain bytes 0-7
//
// On the wire the nine bytes XOR to 0.
inline constexpr std::size_t kCnAckSize = 9;
using CnAck = std::array<uint8_t, kCnAckSize>;
inline constexpr std::array<uint8_t, 6> kCnAckConstants{0x2C, 0x2D, 0x05, 0x34, 0x2D, 0x24};
static_assert(2 + kCnAckConstants.size() + 1 == kCnAckSize);

CnAck BuildCnAck(uint8_t ackKey, uint8_t r);
// The station's view: length, constants, XOR property, K' and R in 0-254.
bool VerifyCnAck(std::span<const uint8_t> ack);

// ---------------------------------------------------------------------------------------
// ASCII frame, 13 bytes, no signature and no check:
//
//   bytes   content
//   0       Group: one decimal digit
//   1-4     object number, decimal
//   5-8     not examined (the encoder writes "0000")
//   9-10    the two Code characters, in order
//   11-12   not examined (the encoder writes CR LF)
using AsciiFrame = std::array<uint8_t, kAsciiFrameSize>;

struct AsciiFields {
  // The object number, when bytes 1-4 read as a decimal integer (blanks before it and a
  // sign are accepted, nothing else).
  std::optional<int32_t> object;
  // The digit at byte 0; nullopt when it is not a decimal digit (such a frame yields no event).
  std::optional<uint8_t> group;
  std::string code;  // bytes 9 and 10 as they are

  bool operator==(const AsciiFields&) const = default;
};

// nullopt only for a packet that is not 13 bytes long: every 13-byte packet is taken as
// an ASCII frame.
std::optional<AsciiFields> ParseAsciiFrame(std::span<const uint8_t> packet);
// object + firstNumber * 10000 (signed 32-bit, wrapping); 0 with no offset when the
// object number is not a number.
int32_t AsciiAccount(const AsciiFields& fields, int32_t firstNumber);
// `object` gives bytes 1-4 and `code` bytes 9-10; a shorter text is padded with blanks.
AsciiFrame EncodeAsciiFrame(char group, std::string_view object, std::string_view code);

}  // namespace orvelgate
