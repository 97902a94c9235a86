#pragma once
// Helpers shared by the fuzz targets: a reader that takes the fuzzer's bytes in order
// (running out is never an error: it gives zeros and empty spans), and a check that
// stops the run with a message, which libFuzzer reports as a crash with the input kept.
//
// Plain C++ with no Qt: the targets build with clang and libFuzzer, and with g++ as
// replay programs that run the committed inputs in the ordinary test suite.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace orvelgate::fuzz {

class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : bytes_(data, size) {}

  bool Empty() const { return bytes_.empty(); }
  std::size_t Remaining() const { return bytes_.size(); }

  uint8_t Byte() {
    if (bytes_.empty()) return 0;
    const uint8_t b = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return b;
  }

  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }

  // Up to `n` bytes; fewer when the input ends first.
  std::span<const uint8_t> Bytes(std::size_t n) {
    const std::size_t take = n < bytes_.size() ? n : bytes_.size();
    const auto taken = bytes_.first(take);
    bytes_ = bytes_.subspan(take);
    return taken;
  }

  std::span<const uint8_t> Rest() { return Bytes(bytes_.size()); }

 private:
  std::span<const uint8_t> bytes_;
};

// Run before a failed check stops the process (which skips atexit handlers), so that a
// target's temporary folder does not stay behind.
inline void (*g_cleanupOnFailure)() = nullptr;

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  if (g_cleanupOnFailure) g_cleanupOnFailure();
  std::abort();
}

}  // namespace orvelgate::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::orvelgate::fuzz::Fail(__FILE__, __LINE__, #condition))
