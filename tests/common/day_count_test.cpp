#include "common/day_count.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvelgate {
namespace {

struct EncodeCase {
  CalendarTime t;
  double expected;
};

class EncodeDateTimeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeDateTimeTest, MatchesDayCount) {
  auto v = EncodeDateTime(GetParam().t);
  ASSERT_TRUE(v.has_value());
  EXPECT_DOUBLE_EQ(*v, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, EncodeDateTimeTest,
    ::testing::Values(EncodeCase{{1899, 12, 30, 0, 0, 0, 0}, 0.0},
                      EncodeCase{{1900, 1, 1, 0, 0, 0, 0}, 2.0},
                      EncodeCase{{2010, 9, 8, 12, 0, 0, 0}, 40429.5},
                      EncodeCase{{2000, 2, 29, 6, 0, 0, 0}, 36585.25},
                      EncodeCase{{1899, 12, 29, 12, 0, 0, 0}, -1.5},
                      EncodeCase{{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
                      EncodeCase{{1, 1, 1, 0, 0, 0, 0}, -693593.0}));

TEST(EncodeDateTime, RejectsFieldsOutsideTheCalendar) {
  const CalendarTime bad[] = {
      {2010, 2, 30, 0, 0, 0, 0},  {2011, 2, 29, 0, 0, 0, 0}, {1900, 2, 29, 0, 0, 0, 0},
      {2010, 13, 1, 0, 0, 0, 0},  {2010, 0, 1, 0, 0, 0, 0},  {2010, 1, 0, 0, 0, 0, 0},
      {2010, 1, 1, 24, 0, 0, 0},  {2010, 1, 1, 0, 60, 0, 0}, {2010, 1, 1, 0, 0, 60, 0},
      {0, 1, 1, 0, 0, 0, 0},      {10000, 1, 1, 0, 0, 0, 0}, {2010, 1, 1, 0, 0, 0, 1000},
      {2010, 4, 31, 0, 0, 0, 0},
  };
  for (const auto& t : bad) EXPECT_FALSE(EncodeDateTime(t).has_value()) << t.year << "-" << t.month << "-" << t.day;
  EXPECT_TRUE(EncodeDateTime({2000, 2, 29, 0, 0, 0, 0}).has_value());
}

TEST(DecodeDateTime, RoundTripsEveryFieldIncludingMilliseconds) {
  const CalendarTime samples[] = {{2026, 12, 10, 4, 15, 38, 123},
                                  {1899, 12, 29, 23, 59, 59, 999},
                                  {1, 1, 1, 0, 0, 0, 0},
                                  {9999, 12, 31, 23, 59, 59, 999},
                                  {2010, 2, 28, 13, 7, 1, 500}};
  for (CalendarTime t : samples) {
    auto v = EncodeDateTime(t);
    ASSERT_TRUE(v);
    auto back = DecodeDateTime(*v);
    ASSERT_TRUE(back);
    t.dayOfWeek = back->dayOfWeek;
    EXPECT_EQ(*back, t) << *v;
  }
}

TEST(DecodeDateTime, GivesTheDayOfWeek) {
  EXPECT_EQ(DecodeDateTime(40429.5)->dayOfWeek, 3);  // 2010-09-08 was a Wednesday
  EXPECT_EQ(DecodeDateTime(0.0)->dayOfWeek, 6);      // 1899-12-30 was a Saturday
}

TEST(DecodeDateTime, RejectsValuesThatAreNotADate) {
  EXPECT_FALSE(DecodeDateTime(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(DecodeDateTime(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(DecodeDateTime(-std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(DecodeDateTime(2958466.0));
  EXPECT_FALSE(DecodeDateTime(-693594.5));
  EXPECT_FALSE(DecodeDateTime(1e300));
}

TEST(DecodeDateTime, RoundsTheLastMillisecondIntoTheNextDay) {
  auto t = DecodeDateTime(1.0 - 1e-12);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->day, 31);
  EXPECT_EQ(t->month, 12);
  EXPECT_EQ(t->hour, 0);
}

}  // namespace
}  // namespace orvelgate
