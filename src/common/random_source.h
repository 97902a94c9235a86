#pragma once
// Randomness seam: the acknowledgement keys and the access code draw from it, so that
// tests can fix the values (tests/support/scripted_random.h).

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

}  // namespace orvelgate
