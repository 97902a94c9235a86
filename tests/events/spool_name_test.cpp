#include "events/spool_name.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "link_fakes.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ErrorLine;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::TempDir;

struct StemCase {
  CalendarTime time;
  const char* stem;
};

void PrintTo(const StemCase& c, std::ostream* os) { *os << c.stem; }

class SpoolStemTest : public ::testing::TestWithParam<StemCase> {};

TEST_P(SpoolStemTest, IsDayOfMonthMillisecondsInUpperCaseHex) {
  const auto value = EncodeDateTime(GetParam().time);
  ASSERT_TRUE(value);
  EXPECT_EQ(SpoolStem(*value), GetParam().stem);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SpoolStemTest,
    ::testing::Values(
        StemCase{{2024, 5, 8, 20, 53, 7, 123}, "2DAE23B3"},
        StemCase{{2024, 5, 1, 0, 0, 0, 0}, "5265C00"},      // smallest, no leading zero
        StemCase{{2024, 5, 31, 23, 59, 59, 999}, "A4CB7FFF"},  // largest
        StemCase{{2024, 5, 24, 20, 31, 23, 647}, "7FFFFFFF"},
        StemCase{{2024, 5, 24, 20, 31, 23, 648}, "80000000"},  // above 2^31 - 1, not negative
        StemCase{{2024, 2, 29, 12, 0, 0, 0}, "97EB9A00"},
        // The month and the year do not count: same day and time, same stem.
        StemCase{{1999, 12, 8, 20, 53, 7, 123}, "2DAE23B3"}),
    [](const ::testing::TestParamInfo<StemCase>& info) {
      const CalendarTime& t = info.param.time;
      return std::to_string(t.year) + "_" + std::to_string(t.month) + "_" + std::to_string(t.day) +
             "_" + std::to_string(t.hour * 10000000 + t.minute * 100000 + t.second * 1000 +
                                   t.millisecond);
    });

TEST(SpoolName, UndecodableTimeLogsError11) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  for (DayCount bad : {std::nan(""), std::numeric_limits<double>::infinity(), 1e12}) {
    EXPECT_EQ(SpoolStem(bad), std::nullopt);
    EXPECT_EQ(SpoolName(bad), std::nullopt);
  }
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(11) + ErrorLine(11) + ErrorLine(11));
  EXPECT_EQ(SpoolName(testing::Day8(20, 53, 7, 123)), "2DAE23B3");
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(11) + ErrorLine(11) + ErrorLine(11));
}

TEST(SpoolLeaf, SuffixSitsBetweenStemAndTailAndParsesBack) {
  struct {
    const char* stem;
    uint32_t k;
    const char* tail;
    const char* leaf;
  } const cases[] = {
      {"2DAE23B3", 0, ".dd8", "2DAE23B3.dd8"},
      {"2DAE23B3", 1, ".dd8", "2DAE23B3-1.dd8"},
      {"2DAE23B3", 0, "_-1.ddk", "2DAE23B3_-1.ddk"},
      {"2DAE23B3", 12, "_-1.ddk", "2DAE23B3-12_-1.ddk"},
      {"5265C00", 3, ".ddk", "5265C00-3.ddk"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ComposeSpoolLeaf(c.stem, c.k, c.tail), c.leaf);
    const SpoolLeafParts parts = ParseSpoolLeaf(c.leaf);
    EXPECT_EQ(parts.stem, c.stem) << c.leaf;
    EXPECT_EQ(parts.k, c.k) << c.leaf;
  }
  // Names of other origin still parse, to an empty or partial stem.
  EXPECT_EQ(ParseSpoolLeaf("notes.dd8").stem, "");
  EXPECT_EQ(ParseSpoolLeaf("x-1.dd8").k, 0u);
  EXPECT_EQ(ParseSpoolLeaf("A-99999999999.dd8").k, UINT32_MAX);
}

}  // namespace
}  // namespace orvelgate
