#include "t7link/t7_records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <vector>

#include "common/day_count.h"

namespace orvelgate {
namespace {

std::vector<uint8_t> Bytes(std::span<const uint8_t> r, std::size_t from, std::size_t count) {
  return {r.begin() + static_cast<std::ptrdiff_t>(from),
          r.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

bool ZeroFrom(std::span<const uint8_t> r, std::size_t from, std::size_t skip = 0) {
  for (std::size_t i = from; i < r.size(); ++i)
    if (i != skip && r[i] != 0) return false;
  return true;
}

TEST(T7Records, GreetingStartsFFFF1401) {
  const T7Record r = BuildGreetingRecord();
  EXPECT_EQ(Bytes(r, 0, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0x14, 0x01}));
  EXPECT_TRUE(ZeroFrom(r, 4));
}

struct PortCase {
  const char* deviceName;
  std::optional<uint8_t> portByte;
};

void PrintTo(const PortCase& c, std::ostream* os) { *os << '"' << c.deviceName << '"'; }

class PortNumberNotice : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortNumberNotice, TakesTheLowEightBitsOfTheNumberAfterTheSevenCharacterPrefix) {
  const auto& c = GetParam();
  const auto r = BuildPortNumberNotice(c.deviceName);
  ASSERT_EQ(r.has_value(), c.portByte.has_value()) << c.deviceName;
  if (!r) return;
  EXPECT_EQ(Bytes(*r, 0, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0x32, *c.portByte}));
  EXPECT_TRUE(ZeroFrom(*r, 4));
}

// The notice each connection sends is always built: 0 where the name has no number.
TEST_P(PortNumberNotice, OrZeroIsAlwaysBuiltWithZeroWhereTheNameHasNoNumber) {
  const auto& c = GetParam();
  const T7Record r = BuildPortNumberNoticeOrZero(c.deviceName);
  EXPECT_EQ(Bytes(r, 0, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0x32, c.portByte.value_or(0)}));
  EXPECT_TRUE(ZeroFrom(r, 4));
}

INSTANTIATE_TEST_SUITE_P(
    DeviceNames, PortNumberNotice,
    ::testing::Values(PortCase{"\\\\.\\COM3", 3}, PortCase{"\\\\.\\COM12", 12},
                      PortCase{"\\\\.\\COM300", 44}, PortCase{"\\\\.\\COM256", 0},
                      PortCase{"\\\\.\\COM007", 7}, PortCase{"\\\\.\\COM-3", 253},
                      PortCase{"\\\\.\\COM", std::nullopt}, PortCase{"", std::nullopt},
                      PortCase{"COM3", std::nullopt}, PortCase{"\\\\.\\COMx", std::nullopt},
                      PortCase{"\\\\.\\COM3a", std::nullopt}, PortCase{"\\\\.\\COM 3", std::nullopt},
                      PortCase{"\\\\.\\COM-", std::nullopt},
                      PortCase{"\\\\.\\COM99999999999", std::nullopt}));

TEST(T7Records, EventReportForAccount41234HasEveryByteOfItsTable) {
  const DayCount when = *EncodeDateTime({2010, 9, 8, 12, 34, 56, 789});
  const T7Record r = BuildEventReport(41234, "01", 1, when);
  std::vector<uint8_t> expected(kT7RecordSize, 0);
  const uint8_t head[] = {0xFF, 0xFF, 21, 1, 1, 0x12, 0xA1, 0x00, 0x00};
  std::memcpy(expected.data(), head, sizeof head);
  const uint8_t code[] = {2, '0', '1', 0, 0};
  std::memcpy(expected.data() + 13, code, sizeof code);
  expected[19] = 1;
  const uint8_t zeros[] = {0x03, 0x30, 0x30, 0x30, 0x03, 0x30, 0x30, 0x30};
  std::memcpy(expected.data() + 22, zeros, sizeof zeros);
  std::memcpy(expected.data() + 30, &when, 8);  // little-endian host
  expected[38] = 1;
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.end()), expected);
}

TEST(T7Records, EventReportNegativeAccountLongCodeAndParse) {
  const T7Record r = BuildEventReport(-2, "ABCDEF", 9, 40000.25);
  EXPECT_EQ(Bytes(r, 5, 4), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(r, 13, 5), (std::vector<uint8_t>{4, 'A', 'B', 'C', 'D'}));
  const auto fields = ParseEventReport(r);
  ASSERT_TRUE(fields);
  EXPECT_EQ(*fields, (T7EventReportFields{-2, "ABCD", 9, 40000.25}));
  EXPECT_FALSE(ParseEventReport(std::span(r).first(38)));
}

TEST(T7Records, StationNoticesCarryTheLetterAndTheValueOne) {
  for (const auto& [letter, type] : {std::pair{'H', 0x48}, std::pair{'I', 0x49}}) {
    const auto r = BuildStationNotice(letter);
    ASSERT_TRUE(r) << letter;
    EXPECT_EQ(Bytes(*r, 0, 3), (std::vector<uint8_t>{0xFF, 0xFF, static_cast<uint8_t>(type)}));
    EXPECT_EQ(Bytes(*r, 5, 4), (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(StationNoticeValue(*r), 1);
    EXPECT_TRUE(ZeroFrom(*r, 3, 5));
  }
  for (char other : {'h', 'G', 'J', '\0'}) EXPECT_FALSE(BuildStationNotice(other)) << other;
}

TEST(T7Records, ThirtyNineSpooledBytesGiveBackTheWholeEventReport) {
  const T7Record live = BuildEventReport(41234, "01", 1, 40429.5);
  const T7Record resent = T7RecordFromSpool(std::span(live).first(kT7EventSpoolSize));
  EXPECT_EQ(resent, live);
  // A notice spooled whole comes back unchanged; a longer file gives its first record.
  const T7Record notice = *BuildStationNotice('H');
  EXPECT_EQ(T7RecordFromSpool(notice), notice);
  std::vector<uint8_t> longer(notice.begin(), notice.end());
  longer.resize(700, 0xAB);
  EXPECT_EQ(T7RecordFromSpool(longer), notice);
  EXPECT_EQ(T7RecordFromSpool({}), T7Record{});
}

TEST(T7Records, ReadingMarkerTypeAndClockTime) {
  const T7Record clock = BuildClockRecord(40000.5);
  EXPECT_TRUE(HasT7Marker(clock));
  EXPECT_EQ(T7TypeOf(clock), 4);
  EXPECT_EQ(ClockRecordTime(clock), 40000.5);
  EXPECT_EQ(T7TypeOf(BuildCloseRecord()), 17);
  T7Record bad = clock;
  bad[0] = 0xFE;
  EXPECT_FALSE(HasT7Marker(bad));
  bad = clock;
  bad[1] = 0xFE;
  EXPECT_FALSE(HasT7Marker(bad));
  EXPECT_FALSE(HasT7Marker(std::span(clock).first(1)));
  EXPECT_FALSE(ClockRecordTime(std::span(clock).first(37)));
}

TEST(T7Records, TypeNames) {
  EXPECT_EQ(T7TypeName(4), "clock");
  EXPECT_EQ(T7TypeName(17), "close");
  EXPECT_EQ(T7TypeName(20), "greeting");
  EXPECT_EQ(T7TypeName(21), "event-report");
  EXPECT_EQ(T7TypeName(50), "port-notice");
  EXPECT_EQ(T7TypeName(72), "station-lost");
  EXPECT_EQ(T7TypeName(73), "station-heard");
  EXPECT_EQ(T7TypeName(99), "type-99");
}

}  // namespace
}  // namespace orvelgate
