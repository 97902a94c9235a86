#include "framecodec/frame_codec.h"

#include <algorithm>
#include <cstring>

#include "common/wrap_int.h"

namespace orvelgate {
namespace {

constexpr std::string_view kGbOpen = "$GBBE$";
constexpr std::string_view kGbClose = "$GBEE$";
constexpr std::size_t kGbOpenAt = 5;
constexpr std::size_t kGbCloseAt = 29;
constexpr std::size_t kGbCheckByte = 16;  // payload positions
constexpr std::size_t kGbKeyByte = 17;

constexpr std::string_view kGbAckOpen = "$GBSBEA$";
constexpr std::string_view kGbAckClose = "$GBSEEA$";
constexpr std::size_t kGbAckFirstScrambled = 8;
constexpr std::size_t kGbAckSumByte = 20;
constexpr std::size_t kGbAckKeyByte = 21;
constexpr std::size_t kGbAckCloseAt = 22;
static_assert(kGbAckCloseAt + kGbAckClose.size() == kGbAckSize);

constexpr std::string_view kCnOpen = "$CNORD$";
static_assert(kCnOpen.size() == kCnKeyByte);

constexpr uint8_t kKeyLimit = 254;  // acknowledgement keys are drawn from 0..254

bool HasText(std::span<const uint8_t> bytes, std::size_t at, std::string_view text) {
  return at + text.size() <= bytes.size() &&
         std::memcmp(bytes.data() + at, text.data(), text.size()) == 0;
}

template <std::size_t N>
void PutText(std::array<uint8_t, N>& bytes, std::size_t at, std::string_view text) {
  std::memcpy(bytes.data() + at, text.data(), text.size());
}

uint8_t Sum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum);
}

uint8_t Xor(std::span<const uint8_t> bytes) {
  uint8_t x = 0;
  for (uint8_t b : bytes) x ^= b;
  return x;
}

uint8_t Byte(int v) { return static_cast<uint8_t>(v); }

// A BCD byte's value, or `fallback` when a nibble is above 9.
int BcdOr(uint8_t b, int fallback) {
  const int high = b >> 4;
  const int low = b & 0x0F;
  return high > 9 || low > 9 ? fallback : high * 10 + low;
}

DayCount TimeOr(const CalendarTime& t, DayCount fallback) {
  return EncodeDateTime(t).value_or(fallback);
}

}  // namespace

FrameKind FrameKindOf(std::size_t length) {
  switch (length) {
    case kGbFrameSize: return FrameKind::Gb;
    case kCnFrameSize: return FrameKind::Cn;
    case kAsciiFrameSize: return FrameKind::Ascii;
    default: return FrameKind::Other;
  }
}

bool IsCompleteShortFrame(std::span<const uint8_t> bytes) {
  return bytes.size() == kCnFrameSize && CheckCnFrame(bytes).has_value();
}

// ---- GB ----------------------------------------------------------------------------

std::optional<GbPayload> CheckGbFrame(std::span<const uint8_t> packet) {
  if (packet.size() != kGbFrameSize || !HasText(packet, kGbOpenAt, kGbOpen) ||
      !HasText(packet, kGbCloseAt, kGbClose))
    return std::nullopt;
  GbPayload payload;
  std::copy_n(packet.begin() + kGbPayloadOffset, kGbPayloadSize, payload.begin());
  const uint8_t key = payload[kGbKeyByte];
  for (std::size_t i = 0; i < kGbKeyByte; ++i) payload[i] ^= key;
  if (Sum(std::span(payload).first(kGbCheckByte)) != payload[kGbCheckByte]) return std::nullopt;
  return payload;
}

GbFields GbFieldsFromPayload(const GbPayload& p) {
  GbFields f;
  std::copy_n(p.begin(), f.echo.size(), f.echo.begin());
  f.object = static_cast<uint16_t>(p[4] << 8 | p[5]);
  f.group = p[6];
  f.code = std::string{static_cast<char>(p[7]), static_cast<char>(p[8])};
  f.time.year = p[9] | p[10] << 8;
  f.time.month = p[11];
  f.time.day = p[12];
  f.time.hour = p[13];
  f.time.minute = p[14];
  f.time.second = p[15];
  return f;
}

EventRecord GbEvent(const GbFields& f, int32_t firstNumber, DayCount receivedAt) {
  EventRecord r;
  r.Account = AccountWithOffset(f.object, firstNumber);
  r.Group = f.group;
  r.Code = f.code.substr(0, 2);
  CalendarTime t = f.time;
  t.millisecond = 0;
  r.EventTime = TimeOr(t, receivedAt);
  return r;
}

GbFrame EncodeGbFrame(const GbFields& f, uint8_t key) {
  GbPayload p{};
  std::copy(f.echo.begin(), f.echo.end(), p.begin());
  p[4] = Byte(f.object >> 8);
  p[5] = Byte(f.object);
  p[6] = f.group;
  p[7] = f.code.size() > 0 ? static_cast<uint8_t>(f.code[0]) : 0;
  p[8] = f.code.size() > 1 ? static_cast<uint8_t>(f.code[1]) : 0;
  p[9] = Byte(f.time.year);
  p[10] = Byte(f.time.year >> 8);
  p[11] = Byte(f.time.month);
  p[12] = Byte(f.time.day);
  p[13] = Byte(f.time.hour);
  p[14] = Byte(f.time.minute);
  p[15] = Byte(f.time.second);
  p[kGbCheckByte] = Sum(std::span(p).first(kGbCheckByte));
  for (std::size_t i = 0; i < kGbKeyByte; ++i) p[i] ^= key;
  p[kGbKeyByte] = key;

  GbFrame frame{};
  PutText(frame, kGbOpenAt, kGbOpen);
  std::copy(p.begin(), p.end(), frame.begin() + kGbPayloadOffset);
  PutText(frame, kGbCloseAt, kGbClose);
  return frame;
}

GbAck BuildGbAck(const GbEcho& echo, const CalendarTime& now, uint8_t ackKey) {
  GbAck ack{};
  PutText(ack, 0, kGbAckOpen);
  ack[8] = 0x01;
  std::copy(echo.begin(), echo.end(), ack.begin() + 9);
  ack[13] = Byte(now.year);
  ack[14] = Byte(now.year >> 8);
  ack[15] = Byte(now.month);
  ack[16] = Byte(now.day);
  ack[17] = Byte(now.hour);
  ack[18] = Byte(now.minute);
  ack[19] = Byte(now.second);
  ack[kGbAckSumByte] = Sum(std::span(ack).subspan(kGbAckFirstScrambled, 12));
  for (std::size_t i = kGbAckFirstScrambled; i <= kGbAckSumByte; ++i) ack[i] ^= ackKey;
  ack[kGbAckKeyByte] = ackKey;
  PutText(ack, kGbAckCloseAt, kGbAckClose);
  return ack;
}

std::optional<CalendarTime> VerifyGbAck(std::span<const uint8_t> ack, const GbEcho& expectedEcho) {
  if (ack.size() != kGbAckSize || !HasText(ack, 0, kGbAckOpen) ||
      !HasText(ack, kGbAckCloseAt, kGbAckClose))
    return std::nullopt;
  const uint8_t key = ack[kGbAckKeyByte];
  if (key > kKeyLimit) return std::nullopt;
  GbAck plain{};
  std::copy(ack.begin(), ack.end(), plain.begin());
  for (std::size_t i = kGbAckFirstScrambled; i <= kGbAckSumByte; ++i) plain[i] ^= key;
  if (plain[8] != 0x01 || !std::equal(expectedEcho.begin(), expectedEcho.end(), plain.begin() + 9) ||
      Sum(std::span(plain).subspan(kGbAckFirstScrambled, 12)) != plain[kGbAckSumByte])
    return std::nullopt;
  CalendarTime t;
  t.year = plain[13] | plain[14] << 8;
  t.month = plain[15];
  t.day = plain[16];
  t.hour = plain[17];
  t.minute = plain[18];
  t.second = plain[19];
  return t;
}

// ---- CN ----------------------------------------------------------------------------

std::optional<CnFrame> CheckCnFrame(std::span<const uint8_t> packet) {
  if (packet.size() != kCnFrameSize || !HasText(packet, 0, kCnOpen)) return std::nullopt;
  if (Xor(packet.subspan(kCnKeyByte)) != 0) return std::nullopt;
  CnFrame frame;
  std::copy(packet.begin(), packet.end(), frame.begin());
  return frame;
}

CnFields DescrambleCnFrame(const CnFrame& frame) {
  const uint8_t mask = frame[kCnKeyByte] ^ 0x01;
  auto at = [&](std::size_t i) { return static_cast<uint8_t>(frame[i] ^ mask); };
  CnFields f;
  f.minute = at(9);
  f.hour = at(10);
  f.day = at(11);
  f.month = at(12);
  f.year = at(13);
  f.objectHigh = at(14);
  f.objectLow = at(15);
  f.code = static_cast<uint16_t>(at(16) << 8 | at(17));
  return f;
}

int32_t CnAccount(uint8_t objectHigh, uint8_t objectLow, int32_t firstNumber) {
  const int high = BcdOr(objectHigh, -1);
  const int low = BcdOr(objectLow, -1);
  const int object = high < 0 || low < 0 ? 0 : high * 100 + low;
  return AccountWithOffset(object, firstNumber);
}

std::string CnCode(uint16_t value) {
  return std::string{static_cast<char>(Byte(0x41 + value / 26)),
                     static_cast<char>(Byte(0x41 + value % 26))};
}

CalendarTime CnCalendar(const CnFields& f) {
  CalendarTime t;
  t.year = 2000 + BcdOr(f.year, 0);
  t.month = BcdOr(f.month, 1);
  t.day = BcdOr(f.day, 1);
  t.hour = BcdOr(f.hour, 0);
  t.minute = BcdOr(f.minute, 0);
  return t;
}

EventRecord CnEvent(const CnFields& f, int32_t firstNumber, DayCount receivedAt) {
  EventRecord r;
  r.Account = CnAccount(f.objectHigh, f.objectLow, firstNumber);
  r.Group = 0;
  r.Code = CnCode(f.code);
  r.EventTime = TimeOr(CnCalendar(f), receivedAt);
  return r;
}

CnFrame EncodeCnFrame(const CnFields& f, uint8_t key, bool noEvent, uint8_t filler) {
  CnFrame plain;
  plain.fill(filler);
  plain[9] = f.minute;
  plain[10] = f.hour;
  plain[11] = f.day;
  plain[12] = f.month;
  plain[13] = f.year;
  plain[14] = f.objectHigh;
  plain[15] = f.objectLow;
  plain[16] = Byte(f.code >> 8);
  plain[17] = Byte(f.code);
  // Byte 29 as received equals K exactly when its plain value is 0x01.
  plain[kCnNoEventByte] = noEvent ? 0x01 : (filler == 0x01 ? 0x00 : filler);

  CnFrame frame{};
  PutText(frame, 0, kCnOpen);
  frame[kCnKeyByte] = key;
  const uint8_t mask = key ^ 0x01;
  for (std::size_t i = kCnKeyByte + 1; i < kCnFrameSize - 1; ++i) frame[i] = plain[i] ^ mask;
  // The last byte makes the key and the scrambled bytes XOR to 0.
  frame[kCnFrameSize - 1] = Xor(std::span(frame).subspan(kCnKeyByte, kCnFrameSize - 1 - kCnKeyByte));
  return frame;
}

CnAck BuildCnAck(uint8_t ackKey, uint8_t r) {
  CnAck ack{};
  ack[0] = ackKey;
  ack[1] = r;
  std::copy(kCnAckConstants.begin(), kCnAckConstants.end(), ack.begin() + 2);
  ack[8] = Xor(std::span(ack).first(8));
  for (std::size_t i = 1; i < kCnAckSize; ++i) ack[i] ^= ackKey;
  return ack;
}

bool VerifyCnAck(std::span<const uint8_t> ack) {
  if (ack.size() != kCnAckSize || Xor(ack) != 0) return false;
  const uint8_t key = ack[0];
  if (key > kKeyLimit || (ack[1] ^ key) > kKeyLimit) return false;
  for (std::size_t i = 0; i < kCnAckConstants.size(); ++i)
    if ((ack[2 + i] ^ key) != kCnAckConstants[i]) return false;
  return true;
}

// ---- ASCII -------------------------------------------------------------------------

namespace {

// Decimal integer: blanks before it, an optional sign, then digits up to the end.
std::optional<int32_t> ReadDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return std::nullopt;  // unreachable with four characters
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

std::optional<AsciiFields> ParseAsciiFrame(std::span<const uint8_t> packet) {
  if (packet.size() != kAsciiFrameSize) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
  AsciiFields f;
  f.object = ReadDecimal(text.substr(1, 4));
  if (text[0] >= '0' && text[0] <= '9') f.group = static_cast<uint8_t>(text[0] - '0');
  f.code = std::string(text.substr(9, 2));
  return f;
}

int32_t AsciiAccount(const AsciiFields& f, int32_t firstNumber) {
  return f.object ? AccountWithOffset(*f.object, firstNumber) : 0;
}

AsciiFrame EncodeAsciiFrame(char group, std::string_view object, std::string_view code) {
  AsciiFrame frame;
  frame.fill(' ');
  frame[0] = static_cast<uint8_t>(group);
  for (std::size_t i = 0; i < 4 && i < object.size(); ++i) frame[1 + i] = static_cast<uint8_t>(object[i]);
  PutText(frame, 5, "0000");
  for (std::size_t i = 0; i < 2 && i < code.size(); ++i) frame[9 + i] = static_cast<uint8_t>(code[i]);
  frame[11] = '\r';
  frame[12] = '\n';
  return frame;
}

}  // namespace orvelgate
