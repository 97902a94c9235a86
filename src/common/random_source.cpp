#include "common/random_source.h"

#include <chrono>

namespace orvelgate {

SystemRandom::SystemRandom() {
  std::random_device device;
  const auto now = static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::seed_seq seed{device(), device(), now};
  engine_.seed(seed);
}

int SystemRandom::Below(int bound) {
  std::lock_guard lock(mutex_);
  return std::uniform_int_distribution<int>(0, bound - 1)(engine_);
}

}  // namespace orvelgate
