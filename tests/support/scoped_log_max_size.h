#pragma once
// Sets the process-wide log size limit for a test and puts the old one back.

#include <cstdint>

#include "common/log_rotation.h"

namespace orvelgate::testing {

class ScopedLogMaxSize {
 public:
  explicit ScopedLogMaxSize(uint64_t bytes) : previous_(LogMaxSize()) { SetLogMaxSize(bytes); }
  ~ScopedLogMaxSize() { SetLogMaxSize(previous_); }
  ScopedLogMaxSize(const ScopedLogMaxSize&) = delete;
  ScopedLogMaxSize& operator=(const ScopedLogMaxSize&) = delete;

 private:
  uint64_t previous_;
};

}  // namespace orvelgate::testing
