#pragma once
// Randomness seam: the acknowledgement keys and the access code draw from it, so that
// tests can fix the values.

#include <deque>
#include <mutex>
#include <random>

namespace orvelgate {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // A whole number drawn uniformly from 0 .. bound - 1 (bound > 0).
  virtual int Below(int bound) = 0;
};

// Seeded from the system's entropy source and the clock at construction.
class SystemRandom final : public RandomSource {
 public:
  SystemRandom();
  int Below(int bound) override;

 private:
  std::mutex mutex_;
  std::mt19937 engine_;
};

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
