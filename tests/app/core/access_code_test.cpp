#include "app/core/access_code.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace orvelgate {
namespace {

// Remembers the bound it was asked for and answers a fixed value.
class FixedRandom final : public RandomSource {
 public:
  explicit FixedRandom(int value) : value_(value) {}
  int Below(int bound) override {
    bound_ = bound;
    return value_;
  }
  int bound_ = 0;

 private:
  int value_;
};

TEST(AccessCode, DrawsFromNinetyThousandValuesAboveTenThousand) {
  const struct {
    int drawn;
    const char* code;
  } cases[] = {{0, "10000"}, {1, "10001"}, {12345, "22345"}, {89998, "99998"}};
  for (const auto& c : cases) {
    FixedRandom random(c.drawn);
    EXPECT_EQ(DrawAccessCode(random), c.code);
    EXPECT_EQ(random.bound_, 89999) << "0 .. 89998 must be drawn";
  }
}

TEST(AccessCode, SystemDrawsAreFiveDigitsInRange) {
  SystemRandom random;
  for (int i = 0; i < 2000; ++i) {
    const std::string code = DrawAccessCode(random);
    ASSERT_EQ(code.size(), 5u) << code;
    const int value = std::stoi(code);
    ASSERT_GE(value, 10000);
    ASSERT_LE(value, 99998);
  }
}

TEST(AccessCode, ChangesFromOneStartToTheNext) {
  // Each start seeds a fresh generator; a generator seeded the same way every time
  // would give the same code at every start.
  std::set<std::string> codes;
  for (int i = 0; i < 20; ++i) {
    SystemRandom random;
    codes.insert(DrawAccessCode(random));
  }
  EXPECT_GT(codes.size(), 15u);
}

}  // namespace
}  // namespace orvelgate
