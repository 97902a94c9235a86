#include "common/attention_time.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ini_file.h"

namespace orvelgate {
namespace {

constexpr double kHour = 1.0 / 24.0;
constexpr double kMinute = kHour / 60.0;
constexpr double kSecond = kMinute / 60.0;

TEST(AttentionTime, ReadsHoursMinutesAndSeconds) {
  const std::vector<std::pair<std::string, double>> cases{
      {"0:30", 30 * kMinute},
      {"10", 10 * kHour},
      {"00:10:00", 10 * kMinute},
      {"01:05", kHour + 5 * kMinute},
      {"1:2:3", kHour + 2 * kMinute + 3 * kSecond},
      {"23:59:59", 23 * kHour + 59 * kMinute + 59 * kSecond},
      {"0:0:1", kSecond},
      {"0", 0.0},
      {"007:08", 7 * kHour + 8 * kMinute},
  };
  for (const auto& [text, value] : cases) {
    const auto parsed = ParseTimeOfDay(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_DOUBLE_EQ(*parsed, value) << text;
    EXPECT_DOUBLE_EQ(ParseAttention(text), value) << text;
  }
}

TEST(AttentionTime, AnythingElseIsTenMinutes) {
  EXPECT_DOUBLE_EQ(kDefaultAttention, 10 * kMinute);
  const std::vector<std::string> cases{
      "24:00:00", "24", "word", "", "1:", ":30", "1::2", "1:60", "1:00:60", "1:2:3:4",
      " 1", "1 ", "-1", "+1", "1.5", "0x10", "12:30 PM", "99999999999999999999", "1:2:",
  };
  for (const auto& text : cases) {
    EXPECT_FALSE(ParseTimeOfDay(text)) << text;
    EXPECT_DOUBLE_EQ(ParseAttention(text), 10 * kMinute) << text;
  }
}

TEST(AttentionTime, FromTheConfigurationFile) {
  const auto ini = IniFile::Parse("[main]\nAttention = \"0:30\"\n[other]\nAttention=\n");
  EXPECT_DOUBLE_EQ(ParseAttention(ini.ReadString("main", "Attention", "00:10:00")), 30 * kMinute);
  EXPECT_DOUBLE_EQ(ParseAttention(ini.ReadString("other", "Attention", "00:10:00")), 10 * kMinute);
  EXPECT_DOUBLE_EQ(ParseAttention(ini.ReadString("none", "Attention", "00:10:00")), 10 * kMinute);
}

}  // namespace
}  // namespace orvelgate
