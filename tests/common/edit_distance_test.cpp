#include "common/edit_distance.h"

#include <gtest/gtest.h>

namespace orvelgate {
namespace {

TEST(EditDistance, CountsSingleCharacterEdits) {
  const struct {
    const char* a;
    const char* b;
    std::size_t distance;
  } cases[] = {
      {"", "", 0},           {"", "Port", 4},          {"Port", "", 4},
      {"Port", "port", 0},   {"Prot", "Port", 2},      {"Ports", "Port", 1},
      {"Prt", "Port", 1},    {"Pert", "Port", 1},      {"kitten", "sitting", 3},
      {"LogMaxSise", "LogMaxSize", 1}, {"SENDT9", "SendT8", 1}, {"abc", "xyz", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EditDistance(c.a, c.b), c.distance) << c.a << " / " << c.b;
    EXPECT_EQ(EditDistance(c.b, c.a), c.distance) << "symmetric: " << c.b << " / " << c.a;
  }
}

}  // namespace
}  // namespace orvelgate
