#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "common/counted_string.h"
#include "common/cp1251.h"
#include "common/hex_text.h"
#include "common/le_bytes.h"
#include "common/wrap_int.h"
#include "support/fake_clock.h"
#include "support/scripted_random.h"

namespace orvelgate {
namespace {

TEST(LeBytes, WritesAndReadsLittleEndian) {
  std::array<uint8_t, 16> buf{};
  LeWriter out(buf);
  ASSERT_TRUE(out.I32(0, -2));
  ASSERT_TRUE(out.U16(4, 0x0017));
  ASSERT_TRUE(out.F64(8, 40429.5));
  EXPECT_EQ((std::vector<uint8_t>(buf.begin(), buf.begin() + 6)),
            (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0x17, 0x00}));
  LeReader in(buf);
  EXPECT_EQ(*in.I32(0), -2);
  EXPECT_EQ(*in.U32(0), 0xFFFFFFFEu);
  EXPECT_EQ(*in.U16(4), 0x17);
  EXPECT_EQ(*in.F64(8), 40429.5);
}

TEST(LeBytes, RefusesAccessOutsideTheBuffer) {
  std::array<uint8_t, 4> buf{1, 2, 3, 4};
  LeReader in(buf);
  EXPECT_FALSE(in.U32(1));
  EXPECT_FALSE(in.U8(4));
  EXPECT_FALSE(in.Bytes(2, 3));
  EXPECT_FALSE(in.Bytes(SIZE_MAX, 2));
  EXPECT_TRUE(in.Bytes(4, 0));
  LeWriter out(buf);
  EXPECT_FALSE(out.U16(3, 0xFFFF));
  EXPECT_FALSE(out.F64(0, 1.0));
  EXPECT_EQ(buf, (std::array<uint8_t, 4>{1, 2, 3, 4}));
}

TEST(CountedString, PadsCutsAndReadsBack) {
  std::array<uint8_t, 6> buf;
  buf.fill(0xAA);
  LeWriter out(buf);
  ASSERT_TRUE(PutCountedString(out, 1, 4, "BA"));
  EXPECT_EQ(buf, (std::array<uint8_t, 6>{0xAA, 2, 'B', 'A', 0, 0}));
  ASSERT_TRUE(PutCountedString(out, 1, 4, "COM1234"));
  EXPECT_EQ(buf, (std::array<uint8_t, 6>{0xAA, 4, 'C', 'O', 'M', '1'}));
  EXPECT_FALSE(PutCountedString(out, 2, 4, "x"));
  LeReader in(buf);
  EXPECT_EQ(*GetCountedString(in, 1, 4), "COM1");
  buf[1] = 200;  // a length above the capacity is cut to the capacity
  EXPECT_EQ(*GetCountedString(in, 1, 4), "COM1");
}

TEST(Cp1251, ConvertsRussianTextBothWays) {
  const std::string utf8 = "ошибка №";
  const std::string cp = Utf8ToCp1251(utf8);
  EXPECT_EQ(cp, "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9");
  EXPECT_EQ(Cp1251ToUtf8(cp), utf8);
  EXPECT_EQ(Utf8ToCp1251("abc"), "abc");
  EXPECT_EQ(Utf8ToCp1251("a\xE2\x82\xAC" "b"), "a\x88" "b");  // the euro sign exists in 1251
  EXPECT_EQ(Utf8ToCp1251("a\xF0\x9F\x98\x80" "b").front(), 'a');
}

TEST(HexText, WritesUpperCasePairsAndReadsThemBack) {
  const std::vector<uint8_t> bytes{0x00, 0x1F, 0xA5, 0xFF};
  EXPECT_EQ(Hex(bytes), "001FA5FF");
  EXPECT_EQ(Hex(bytes, ' '), "00 1F A5 FF");
  EXPECT_EQ(Hex({}), "");
  EXPECT_EQ(ParseHex("001fA5FF"), bytes);
  EXPECT_EQ(ParseHex("00:1F-a5.ff", ":-."), bytes);
  EXPECT_EQ(ParseHex(""), std::vector<uint8_t>{});
}

TEST(HexText, RefusesAnOddCountAndOtherCharacters) {
  EXPECT_FALSE(ParseHex("ABC"));
  EXPECT_FALSE(ParseHex("0G"));
  EXPECT_FALSE(ParseHex("00 11"));
  EXPECT_FALSE(ParseHex("+1"));
}

TEST(WrapInt, AccountArithmeticWrapsLikeSigned32Bit) {
  EXPECT_EQ(AccountWithOffset(123, 4), 40123);
  EXPECT_EQ(AccountWithOffset(65535, 0), 65535);
  EXPECT_EQ(AccountWithOffset(0, 214749), Wrap32(2147490000LL));
  EXPECT_LT(AccountWithOffset(0, 214749), 0);
  EXPECT_EQ(AccountWithOffset(1, -4), -39999);
  EXPECT_EQ(Wrap32(0x1'0000'0005LL), 5);
}

TEST(FakeClock, AdvancesTimeAndTickTogetherAndRecordsClockSets) {
  FakeClock clock(40429.5, 0xFFFFFFF0u);
  clock.Advance(32);
  EXPECT_EQ(clock.TickMs(), 16u);  // wraps at 2^32
  EXPECT_EQ(ElapsedMs(clock.TickMs(), 0xFFFFFFF0u), 32u);
  EXPECT_NEAR(clock.LocalNow(), 40429.5 + 32 * kOneMillisecond, 1e-9);
  CalendarTime t{2011, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(clock.SetLocalClock(t));
  ASSERT_EQ(clock.ClockSets().size(), 1u);
  EXPECT_EQ(clock.ClockSets()[0], t);
}

TEST(SystemClock, LocalNowIsAPlausibleDate) {
  SystemClock clock;
  auto now = DecodeDateTime(clock.LocalNow());
  ASSERT_TRUE(now);
  EXPECT_GE(now->year, 2020);
  const uint32_t a = clock.TickMs();
  EXPECT_LE(ElapsedMs(clock.TickMs(), a), 1000u);
}

TEST(RandomSource, StaysInRange) {
  SystemRandom random;
  for (int i = 0; i < 2000; ++i) {
    const int v = random.Below(255);
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 254);
  }
  ScriptedRandom scripted({7, 300, -1});
  EXPECT_EQ(scripted.Below(255), 7);
  EXPECT_EQ(scripted.Below(255), 45);
  EXPECT_EQ(scripted.Below(255), 254);
  EXPECT_EQ(scripted.Below(255), 7);
}

}  // namespace
}  // namespace orvelgate
