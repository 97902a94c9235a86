#include "framecodec/frame_codec.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "common/day_count.h"
#include "support/sample_frames.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;

template <typename Array>
Bytes ToBytes(const Array& a) {
  return Bytes(a.begin(), a.end());
}

constexpr DayCount kReceivedAt = 40500.25;  // the reception time the tests pass in

// Vectors written out by hand from the layout tables, so that neither the encoder nor
// the decoder is checked only against the other.

// GB: echo 11 22 33 44, object 0x0123, Group 3, Code "BA", 2010-09-08 12:34:56, K = 0x5A.
const Bytes kGbFrame{0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x47, 0x42, 0x42, 0x45, 0x24, 0x4B,
                     0x78, 0x69, 0x1E, 0x5B, 0x79, 0x59, 0x18, 0x1B, 0x80, 0x5D, 0x53, 0x52,
                     0x56, 0x78, 0x62, 0xF6, 0x5A, 0x24, 0x47, 0x42, 0x45, 0x45, 0x24};
// GB acknowledgement of that frame at 2010-09-08 12:34:56 with K' = 0xA5.
const Bytes kGbAck{0x24, 0x47, 0x42, 0x53, 0x42, 0x45, 0x41, 0x24, 0xA4, 0xB4,
                   0x87, 0x96, 0xE1, 0x7F, 0xA2, 0xAC, 0xAD, 0xA9, 0x87, 0x9D,
                   0xA6, 0xA5, 0x24, 0x47, 0x42, 0x53, 0x45, 0x45, 0x41, 0x24};
// CN: K = 0x37, 2010-09-08 12:34 (BCD), object 12 34, code value 0x0001, filler 0.
const Bytes kCnFrame{0x24, 0x43, 0x4E, 0x4F, 0x52, 0x44, 0x24, 0x37, 0x36, 0x02, 0x24,
                     0x3E, 0x3F, 0x26, 0x24, 0x02, 0x36, 0x37, 0x36, 0x36, 0x36, 0x36,
                     0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x36, 0x27};
// CN acknowledgement with K' = 0x5A, R = 0x33.
const Bytes kCnAck{0x5A, 0x69, 0x76, 0x77, 0x5F, 0x6E, 0x77, 0x7E, 0x0A};

using testing::SampleCnFields;
using testing::SampleGbFields;

const GbEcho kEcho = SampleGbFields().echo;

TEST(FrameKind, IsTheLengthAlone) {
  const std::vector<std::pair<std::size_t, FrameKind>> table{
      {35, FrameKind::Gb},    {31, FrameKind::Cn},    {13, FrameKind::Ascii},
      {34, FrameKind::Other}, {36, FrameKind::Other}, {20, FrameKind::Other},
      {0, FrameKind::Other},  {1, FrameKind::Other},  {30, FrameKind::Other}};
  for (const auto& [length, kind] : table) EXPECT_EQ(FrameKindOf(length), kind) << length;
}

// ---- GB frames -----------------------------------------------------------------------

TEST(GbFrame, DecodesTheHandWrittenVector) {
  const auto payload = CheckGbFrame(kGbFrame);
  ASSERT_TRUE(payload);
  EXPECT_EQ((*payload)[17], 0x5A);
  EXPECT_TRUE(GbCarriesEvent(*payload));
  EXPECT_EQ(GbFieldsFromPayload(*payload), SampleGbFields());
}

TEST(GbFrame, EncodesTheHandWrittenVector) {
  EXPECT_EQ(ToBytes(EncodeGbFrame(SampleGbFields(), 0x5A)), kGbFrame);
}

TEST(GbFrame, AllZeroFrameIsValidAndCarriesNoEvent) {
  Bytes frame(35, 0x00);
  const std::string open = "$GBBE$", close = "$GBEE$";
  std::copy(open.begin(), open.end(), frame.begin() + 5);
  std::copy(close.begin(), close.end(), frame.begin() + 29);
  const auto payload = CheckGbFrame(frame);
  ASSERT_TRUE(payload);
  EXPECT_FALSE(GbCarriesEvent(*payload));
}

TEST(GbFrame, RejectsBrokenFrames) {
  struct Case {
    const char* name;
    Bytes frame;
  };
  auto with = [](std::size_t at, uint8_t value) {
    Bytes b = kGbFrame;
    b[at] = value;
    return b;
  };
  // The check byte sits at packet byte 27, scrambled with K = 0x5A: one more than the sum.
  const uint8_t checkOneOff = static_cast<uint8_t>(((kGbFrame[27] ^ 0x5A) + 1) ^ 0x5A);
  const std::vector<Case> cases{
      {"check byte one off", with(27, checkOneOff)},
      {"payload byte changed", with(16, kGbFrame[16] ^ 0x01)},
      {"key changed", with(28, 0x5B)},
      {"opening marker", with(5, '#')},
      {"opening marker end", with(10, '#')},
      {"closing marker", with(29, '#')},
      {"closing marker end", with(34, '#')},
      {"34 bytes", Bytes(kGbFrame.begin(), kGbFrame.end() - 1)},
      {"empty", Bytes{}},
  };
  for (const auto& c : cases) EXPECT_FALSE(CheckGbFrame(c.frame)) << c.name;
  Bytes longer = kGbFrame;
  longer.push_back(0);
  EXPECT_FALSE(CheckGbFrame(longer));
}

TEST(GbFrame, UnexaminedLeadingBytesDoNotMatter) {
  Bytes frame = kGbFrame;
  for (std::size_t i = 0; i < 5; ++i) frame[i] = static_cast<uint8_t>(0xF0 + i);
  EXPECT_TRUE(CheckGbFrame(frame));
}

TEST(GbFrame, RoundTripsForEveryKey) {
  GbFields f = SampleGbFields();
  f.object = 0xFFFF;
  f.code = std::string("\xC0\x00", 2);  // any byte values travel
  for (int key = 0; key <= 255; ++key) {
    const auto payload = CheckGbFrame(EncodeGbFrame(f, static_cast<uint8_t>(key)));
    ASSERT_TRUE(payload) << key;
    EXPECT_EQ(GbFieldsFromPayload(*payload), f) << key;
  }
}

struct GbEventCase {
  const char* name;
  CalendarTime time;
  bool valid;
};

class GbEventTime : public ::testing::TestWithParam<GbEventCase> {};

TEST_P(GbEventTime, FallsBackToTheReceptionTimeForAnInvalidDate) {
  GbFields f = SampleGbFields();
  f.time = GetParam().time;
  const auto payload = CheckGbFrame(EncodeGbFrame(f, 0x21));
  ASSERT_TRUE(payload);
  const EventRecord r = GbEvent(GbFieldsFromPayload(*payload), 4, kReceivedAt);
  EXPECT_EQ(r.Account, 40291);
  EXPECT_EQ(r.Group, 3);
  EXPECT_EQ(r.Code, "BA");
  if (GetParam().valid)
    EXPECT_EQ(r.EventTime, *EncodeDateTime(GetParam().time));
  else
    EXPECT_EQ(r.EventTime, kReceivedAt);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, GbEventTime,
    ::testing::Values(GbEventCase{"ordinary", {2010, 9, 8, 12, 34, 56, 0}, true},
                      GbEventCase{"leap day", {2012, 2, 29, 0, 0, 0, 0}, true},
                      GbEventCase{"last second", {9999, 12, 31, 23, 59, 59, 0}, true},
                      GbEventCase{"first day", {1, 1, 1, 0, 0, 0, 0}, true},
                      GbEventCase{"February 30", {2010, 2, 30, 10, 0, 0, 0}, false},
                      GbEventCase{"February 29 of 2010", {2010, 2, 29, 10, 0, 0, 0}, false},
                      GbEventCase{"month 0", {2010, 0, 1, 0, 0, 0, 0}, false},
                      GbEventCase{"month 13", {2010, 13, 1, 0, 0, 0, 0}, false},
                      GbEventCase{"day 0", {2010, 1, 0, 0, 0, 0, 0}, false},
                      GbEventCase{"hour 24", {2010, 1, 1, 24, 0, 0, 0}, false},
                      GbEventCase{"minute 60", {2010, 1, 1, 0, 60, 0, 0}, false},
                      GbEventCase{"second 60", {2010, 1, 1, 0, 0, 60, 0}, false},
                      GbEventCase{"year 0", {0, 1, 1, 0, 0, 0, 0}, false},
                      GbEventCase{"year 10000", {10000, 1, 1, 0, 0, 0, 0}, false},
                      GbEventCase{"all 0xFF", {0xFFFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}, false}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(GbEvent, AccountIsTheObjectPlusTheOffsetWrappingAt32Bits) {
  struct Case {
    uint16_t object;
    int32_t firstNumber;
    int32_t account;
  };
  const std::vector<Case> cases{
      {123, 4, 40123},
      {0, 4, 40000},
      {0xFFFF, 4, 105535},
      {0xFFFF, 0, 65535},
      {5, -1, -9995},
      // 214749 * 10000 = 2147490000 does not fit: it wraps to -2147477296.
      {0, 214749, -2147477296},
      {0xFFFF, 214748, 2147545535 - 4294967296LL},
      {0, INT32_MIN, 0},  // INT32_MIN * 10000 is 0 modulo 2^32
  };
  for (const auto& c : cases) {
    GbFields f = SampleGbFields();
    f.object = c.object;
    EXPECT_EQ(GbEvent(f, c.firstNumber, kReceivedAt).Account, c.account)
        << c.object << " " << c.firstNumber;
  }
}

// ---- GB acknowledgement --------------------------------------------------------------

TEST(GbAck, MatchesTheHandWrittenVector) {
  const CalendarTime now{2010, 9, 8, 12, 34, 56, 789};
  EXPECT_EQ(ToBytes(BuildGbAck(kEcho, now, 0xA5)), kGbAck);
  const auto clock = VerifyGbAck(kGbAck, kEcho);
  ASSERT_TRUE(clock);
  EXPECT_EQ(*clock, (CalendarTime{2010, 9, 8, 12, 34, 56, 0}));
}

TEST(GbAck, HasItsStructureForEveryKey) {
  const CalendarTime now{2026, 12, 31, 23, 59, 58, 0};
  const GbEcho echo{0x00, 0xFF, 0x80, 0x7F};
  for (int k = 0; k <= 254; ++k) {
    const auto key = static_cast<uint8_t>(k);
    const GbAck ack = BuildGbAck(echo, now, key);
    ASSERT_EQ(ack[21], key);
    GbAck plain = ack;
    for (std::size_t i = 8; i <= 20; ++i) plain[i] ^= ack[21];
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + 8), "$GBSBEA$");
    EXPECT_EQ(plain[8], 0x01);
    EXPECT_EQ(ToBytes(std::span(plain).subspan(9, 4)), ToBytes(echo));
    EXPECT_EQ(plain[13] | plain[14] << 8, 2026);
    EXPECT_EQ(ToBytes(std::span(plain).subspan(15, 5)), (Bytes{12, 31, 23, 59, 58}));
    unsigned sum = 0;
    for (std::size_t i = 8; i <= 19; ++i) sum += plain[i];
    EXPECT_EQ(plain[20], sum % 256);
    EXPECT_EQ(std::string(ack.begin() + 22, ack.end()), "$GBSEEA$");
    EXPECT_TRUE(VerifyGbAck(ack, echo)) << k;
  }
}

TEST(GbAck, StationRefusesBrokenAcknowledgements) {
  auto with = [](std::size_t at, uint8_t value) {
    Bytes b = kGbAck;
    b[at] = value;
    return b;
  };
  const std::vector<std::pair<const char*, Bytes>> cases{
      {"opening marker", with(0, '#')},
      {"closing marker", with(29, '#')},
      {"first byte not 0x01", with(8, kGbAck[8] ^ 0x02)},
      {"echo changed", with(10, kGbAck[10] ^ 0x01)},
      {"sum changed", with(20, kGbAck[20] ^ 0x01)},
      {"clock changed, sum not", with(19, kGbAck[19] ^ 0x01)},
      {"29 bytes", Bytes(kGbAck.begin(), kGbAck.end() - 1)},
  };
  for (const auto& [name, ack] : cases) EXPECT_FALSE(VerifyGbAck(ack, kEcho)) << name;
  EXPECT_FALSE(VerifyGbAck(kGbAck, GbEcho{0x11, 0x22, 0x33, 0x45}));
  // K' = 255 is never drawn.
  EXPECT_FALSE(VerifyGbAck(BuildGbAck(kEcho, {2010, 1, 1, 0, 0, 0, 0}, 0xFF), kEcho));
}

// ---- CN frames -----------------------------------------------------------------------

TEST(CnFrame, DecodesTheHandWrittenVector) {
  const auto frame = CheckCnFrame(kCnFrame);
  ASSERT_TRUE(frame);
  EXPECT_TRUE(CnCarriesEvent(*frame));
  EXPECT_EQ(DescrambleCnFrame(*frame), SampleCnFields());
  const EventRecord r = CnEvent(DescrambleCnFrame(*frame), 4, kReceivedAt);
  EXPECT_EQ(r.Account, 41234);
  EXPECT_EQ(r.Group, 0);
  EXPECT_EQ(r.Code, "AB");
  EXPECT_EQ(r.EventTime, *EncodeDateTime({2010, 9, 8, 12, 34, 0, 0}));
}

TEST(CnFrame, EncodesTheHandWrittenVector) {
  EXPECT_EQ(ToBytes(EncodeCnFrame(SampleCnFields(), 0x37, false, 0x00)), kCnFrame);
}

TEST(CnFrame, RejectsBrokenFrames) {
  auto with = [](std::size_t at, uint8_t value) {
    Bytes b = kCnFrame;
    b[at] = value;
    return b;
  };
  const std::vector<std::pair<const char*, Bytes>> cases{
      {"marker first byte", with(0, '#')},
      {"marker last byte", with(6, '#')},
      {"key changed", with(7, 0x38)},
      {"scrambled byte changed", with(12, kCnFrame[12] ^ 0x40)},
      {"last byte changed", with(30, kCnFrame[30] ^ 0x01)},
      {"30 bytes", Bytes(kCnFrame.begin(), kCnFrame.end() - 1)},
      {"empty", Bytes{}},
  };
  for (const auto& [name, frame] : cases) EXPECT_FALSE(CheckCnFrame(frame)) << name;
}

TEST(CnFrame, NoEventMarkerIsByte29EqualToTheKey) {
  for (int key : {0x00, 0x01, 0x37, 0xFE, 0xFF}) {
    for (uint8_t filler : {0x00, 0x01, 0xFF}) {
      const CnFrame none = EncodeCnFrame(SampleCnFields(), static_cast<uint8_t>(key), true, filler);
      ASSERT_TRUE(CheckCnFrame(none)) << key;
      EXPECT_EQ(none[29], none[7]);
      EXPECT_FALSE(CnCarriesEvent(none)) << key;
      const CnFrame some = EncodeCnFrame(SampleCnFields(), static_cast<uint8_t>(key), false, filler);
      ASSERT_TRUE(CheckCnFrame(some)) << key;
      EXPECT_TRUE(CnCarriesEvent(some)) << key << " " << int{filler};
      EXPECT_EQ(DescrambleCnFrame(some), SampleCnFields());
    }
  }
}

TEST(CnFrame, AccountRule) {
  struct Case {
    uint8_t high, low;
    int32_t firstNumber;
    int32_t account;
  };
  const std::vector<Case> cases{
      {0x12, 0x34, 4, 41234}, {0x1A, 0x00, 4, 40000}, {0x00, 0x0A, 4, 40000},
      {0xA0, 0x00, 4, 40000}, {0x00, 0xF0, 4, 40000}, {0x99, 0x99, 4, 49999},
      {0x00, 0x00, 4, 40000}, {0x12, 0x34, 0, 1234},  {0x1A, 0x00, 0, 0},
      {0x00, 0x07, -1, -9993}, {0x99, 0x99, 214748, -2147477297},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CnAccount(c.high, c.low, c.firstNumber), c.account)
        << std::hex << int{c.high} << " " << int{c.low} << std::dec << " " << c.firstNumber;
}

TEST(CnFrame, CodeRule) {
  const std::vector<std::pair<uint16_t, std::string>> cases{
      {0, "AA"},
      {1, "AB"},
      {25, "AZ"},
      {26, "BA"},
      {27, "BB"},
      {675, "ZZ"},
      {676, "[A"},
      // 65535 div 26 = 2520; (0x41 + 2520) mod 256 = 0x19; 65535 mod 26 = 15 gives P.
      {65535, "\x19P"},
      // 190 * 26 = 4940: (0x41 + 190) mod 256 = 0xFF.
      {4940, "\xFF" "A"},
      {4966, std::string("\x00" "A", 2)},
  };
  for (const auto& [value, code] : cases) EXPECT_EQ(CnCode(value), code) << value;
}

struct CnDateCase {
  const char* name;
  uint8_t year, month, day, hour, minute;
  CalendarTime expected;
  bool valid;
};

class CnEventTime : public ::testing::TestWithParam<CnDateCase> {};

TEST_P(CnEventTime, BcdFieldsWithDefaults) {
  const auto& c = GetParam();
  CnFields f = SampleCnFields();
  f.year = c.year;
  f.month = c.month;
  f.day = c.day;
  f.hour = c.hour;
  f.minute = c.minute;
  EXPECT_EQ(CnCalendar(f), c.expected);
  // Through a whole frame, so the descrambling is part of the case.
  const auto frame = CheckCnFrame(EncodeCnFrame(f, 0x9C, false, 0x5A));
  ASSERT_TRUE(frame);
  const EventRecord r = CnEvent(DescrambleCnFrame(*frame), 4, kReceivedAt);
  if (c.valid)
    EXPECT_EQ(r.EventTime, *EncodeDateTime(c.expected));
  else
    EXPECT_EQ(r.EventTime, kReceivedAt);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, CnEventTime,
    ::testing::Values(
        CnDateCase{"ordinary", 0x10, 0x09, 0x08, 0x12, 0x34, {2010, 9, 8, 12, 34, 0, 0}, true},
        CnDateCase{"minute 5A", 0x10, 0x09, 0x08, 0x12, 0x5A, {2010, 9, 8, 12, 0, 0, 0}, true},
        CnDateCase{"hour A0", 0x10, 0x09, 0x08, 0xA0, 0x34, {2010, 9, 8, 0, 34, 0, 0}, true},
        CnDateCase{"day 0F", 0x10, 0x09, 0x0F, 0x12, 0x34, {2010, 9, 1, 12, 34, 0, 0}, true},
        CnDateCase{"month 1B", 0x10, 0x1B, 0x08, 0x12, 0x34, {2010, 1, 8, 12, 34, 0, 0}, true},
        CnDateCase{"year FF", 0xFF, 0x09, 0x08, 0x12, 0x34, {2000, 9, 8, 12, 34, 0, 0}, true},
        CnDateCase{"all bad", 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, {2000, 1, 1, 0, 0, 0, 0}, true},
        CnDateCase{"year 99", 0x99, 0x12, 0x31, 0x23, 0x59, {2099, 12, 31, 23, 59, 0, 0}, true},
        CnDateCase{"month 13", 0x10, 0x13, 0x08, 0x12, 0x34, {2010, 13, 8, 12, 34, 0, 0}, false},
        CnDateCase{"month 00", 0x10, 0x00, 0x08, 0x12, 0x34, {2010, 0, 8, 12, 34, 0, 0}, false},
        CnDateCase{"day 00", 0x10, 0x09, 0x00, 0x12, 0x34, {2010, 9, 0, 12, 34, 0, 0}, false},
        CnDateCase{"February 30", 0x10, 0x02, 0x30, 0x12, 0x34, {2010, 2, 30, 12, 34, 0, 0}, false},
        CnDateCase{"hour 24", 0x10, 0x09, 0x08, 0x24, 0x34, {2010, 9, 8, 24, 34, 0, 0}, false},
        CnDateCase{"minute 60", 0x10, 0x09, 0x08, 0x12, 0x60, {2010, 9, 8, 12, 60, 0, 0}, false}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(CnFrame, RoundTripsForEveryKey) {
  CnFields f = SampleCnFields();
  f.code = 0xBEEF;
  f.objectHigh = 0xFA;
  for (int key = 0; key <= 255; ++key) {
    const auto frame = CheckCnFrame(EncodeCnFrame(f, static_cast<uint8_t>(key), false, 0x77));
    ASSERT_TRUE(frame) << key;
    EXPECT_TRUE(CnCarriesEvent(*frame));
    EXPECT_EQ(DescrambleCnFrame(*frame), f) << key;
  }
}

// ---- CN acknowledgement --------------------------------------------------------------

TEST(CnAck, MatchesTheHandWrittenVector) {
  EXPECT_EQ(ToBytes(BuildCnAck(0x5A, 0x33)), kCnAck);
  EXPECT_TRUE(VerifyCnAck(kCnAck));
}

TEST(CnAck, XorsToZeroAndCarriesTheConstantsForEveryKeyPair) {
  const Bytes constants{0x2C, 0x2D, 0x05, 0x34, 0x2D, 0x24};
  for (int k = 0; k <= 254; ++k) {
    for (int r = 0; r <= 254; ++r) {
      const CnAck ack = BuildCnAck(static_cast<uint8_t>(k), static_cast<uint8_t>(r));
      uint8_t x = 0;
      for (uint8_t b : ack) x ^= b;
      ASSERT_EQ(x, 0) << k << " " << r;
      ASSERT_EQ(ack[0], k);
      ASSERT_EQ(ack[1] ^ ack[0], r);
      Bytes middle;
      for (std::size_t i = 2; i <= 7; ++i) middle.push_back(ack[i] ^ ack[0]);
      ASSERT_EQ(middle, constants) << k << " " << r;
      ASSERT_TRUE(VerifyCnAck(ack));
    }
  }
}

TEST(CnAck, StationRefusesBrokenAcknowledgements) {
  auto with = [](std::size_t at, uint8_t value) {
    Bytes b = kCnAck;
    b[at] = value;
    return b;
  };
  // Changing two bytes by the same mask keeps the XOR at 0 but breaks a constant.
  Bytes twoChanged = kCnAck;
  twoChanged[3] ^= 0x10;
  twoChanged[8] ^= 0x10;
  const std::vector<std::pair<const char*, Bytes>> cases{
      {"last byte", with(8, kCnAck[8] ^ 0x01)},
      {"constant", with(4, kCnAck[4] ^ 0x01)},
      {"constant, XOR kept", twoChanged},
      {"8 bytes", Bytes(kCnAck.begin(), kCnAck.end() - 1)},
      {"K' 255", ToBytes(BuildCnAck(0xFF, 0x10))},
      {"R 255", ToBytes(BuildCnAck(0x10, 0xFF))},
  };
  for (const auto& [name, ack] : cases) EXPECT_FALSE(VerifyCnAck(ack)) << name;
}

// ---- ASCII frames --------------------------------------------------------------------

Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(AsciiFrame, ParsesItsFields) {
  struct Case {
    std::string packet;
    std::optional<int32_t> object;
    std::optional<uint8_t> group;
    std::string code;
    int32_t account;  // FirstNumber 4
  };
  const std::vector<Case> cases{
      {"10123xxxx01\r\n", 123, 1, "01", 40123},
      {"79999    BA  ", 9999, 7, "BA", 49999},
      {"00000....ZZ..", 0, 0, "ZZ", 40000},
      {"2 123....01..", 123, 2, "01", 40123},
      {"3  12....01..", 12, 3, "01", 40012},
      {"4-123....01..", -123, 4, "01", 39877},
      {"5+123....01..", 123, 5, "01", 40123},
      {"612a3....01..", std::nullopt, 6, "01", 0},
      {"6123 ....01..", std::nullopt, 6, "01", 0},
      {"6    ....01..", std::nullopt, 6, "01", 0},
      {"6   -....01..", std::nullopt, 6, "01", 0},
      {"6$123....01..", std::nullopt, 6, "01", 0},
      {"A0123....01..", 123, std::nullopt, "01", 40123},
      {" 0123....01..", 123, std::nullopt, "01", 40123},
  };
  for (const auto& c : cases) {
    const auto f = ParseAsciiFrame(Ascii(c.packet));
    ASSERT_TRUE(f) << c.packet;
    EXPECT_EQ(f->object, c.object) << c.packet;
    EXPECT_EQ(f->group, c.group) << c.packet;
    EXPECT_EQ(f->code, c.code) << c.packet;
    EXPECT_EQ(AsciiAccount(*f, 4), c.account) << c.packet;
  }
}

TEST(AsciiFrame, TakesRawBytesAndOnlyThirteen) {
  Bytes packet = Ascii("10123....01..");
  packet[9] = 0x00;
  packet[10] = 0xC0;
  const auto f = ParseAsciiFrame(packet);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->code, std::string("\x00\xC0", 2));
  EXPECT_FALSE(ParseAsciiFrame(Ascii("10123....01.")));
  EXPECT_FALSE(ParseAsciiFrame(Ascii("10123....01...")));
}

TEST(AsciiFrame, AccountWrapsAt32Bits) {
  AsciiFields f;
  f.object = 9999;
  EXPECT_EQ(AsciiAccount(f, 214748), -2147477297);
  EXPECT_EQ(AsciiAccount(f, 0), 9999);
  f.object.reset();
  EXPECT_EQ(AsciiAccount(f, 214748), 0);
}

TEST(AsciiFrame, EncodesAndRoundTrips) {
  const AsciiFrame frame = EncodeAsciiFrame('1', "0123", "01");
  EXPECT_EQ(std::string(frame.begin(), frame.end()), "101230000" "01\r\n");
  const auto f = ParseAsciiFrame(frame);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (AsciiFields{123, 1, "01"}));
  const AsciiFrame padded = EncodeAsciiFrame('x', "12", "A");
  EXPECT_EQ(std::string(padded.begin(), padded.end()), "x12  0000A \r\n");
}

}  // namespace
}  // namespace orvelgate
