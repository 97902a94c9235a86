#pragma once
// Randomness for tests: the values the test chose.

#include <cstddef>
#include <deque>
#include <utility>

#include "common/random_source.h"

namespace orvelgate {

// Hands out the values it was given, in order (each taken modulo the bound); when
// they run out it starts again from the first. With no values it gives 0.
class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::deque<int> values = {}) : values_(std::move(values)) {}
  int Below(int bound) override;

 private:
  std::deque<int> values_;
  std::size_t next_ = 0;
};

}  // namespace orvelgate
