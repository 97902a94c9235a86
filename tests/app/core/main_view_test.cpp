#include "app/core/main_view.h"

#include <gtest/gtest.h>

namespace orvelgate {
namespace {

TEST(NextT8Counter, CountsUpToSixteenThenStartsAgainAtZero) {
  int counter = 0;
  for (int step = 1; step <= 16; ++step) {
    counter = NextT8Counter(counter);
    EXPECT_EQ(counter, step);
  }
  EXPECT_EQ(NextT8Counter(counter), 0);
}

}  // namespace
}  // namespace orvelgate
