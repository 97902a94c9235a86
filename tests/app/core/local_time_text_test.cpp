#include "app/core/local_time_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvelgate {
namespace {

TEST(LocalTimeText, DateThenTimeInTheRegionalForms) {
  const DayCount t = *EncodeDateTime({.year = 2024, .month = 2, .day = 3, .hour = 14, .minute = 5,
                                       .second = 6});
  const std::string text = LocalTimeText(t);
  // Whatever the region: the date comes first, the time with its seconds after a blank.
  const auto time = text.find("05:06");
  ASSERT_NE(time, std::string::npos) << text;
  EXPECT_NE(text.find("24"), std::string::npos) << text;
  EXPECT_LT(text.find("24"), time) << text;
  EXPECT_NE(text.find(' '), std::string::npos) << text;
}

TEST(LocalTimeText, NoTextForAValueThatIsNoDate) {
  EXPECT_EQ(LocalTimeText(std::nan("")), "");
  EXPECT_EQ(LocalTimeText(1e9), "");
}

}  // namespace
}  // namespace orvelgate
