#pragma once
// Account arithmetic is signed 32-bit with wrap-around, as on the station's original
// platform. Signed overflow is undefined in C++, so compute in 64 bits and truncate.

#include <cstdint>

namespace orvelgate {

constexpr int32_t Wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// object + firstNumber * 10000, wrapped to signed 32 bits.
constexpr int32_t AccountWithOffset(int64_t object, int32_t firstNumber) {
  return Wrap32(object + static_cast<int64_t>(Wrap32(static_cast<int64_t>(firstNumber) * 10000)));
}

}  // namespace orvelgate
