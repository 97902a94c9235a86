#pragma once
// The station's end of the serial line: a pseudo-terminal the simulator creates (the
// driver opens its slave path), or a serial device it opens (a null-modem cable to the
// driver's port).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvelgate::sim {

using SteadyTime = std::chrono::steady_clock::time_point;

class SimLine {
 public:
  // A new pseudo-terminal in raw mode; Path() is the slave to give the driver.
  static std::unique_ptr<SimLine> CreatePty(std::string* error);
  // A serial device in raw mode at `baud` (a rate the device does not know is an error).
  static std::unique_ptr<SimLine> OpenDevice(const std::string& path, uint32_t baud,
                                             std::string* error);
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  const std::string& Path() const { return path_; }
  bool IsPty() const { return slave_ >= 0; }

  // Pseudo-terminal only: true once a program has taken the slave exclusively (as the
  // driver does when it opens its port); false at the deadline.
  bool WaitForExclusiveOpener(std::chrono::milliseconds deadline) const;

  // Writes the bytes paced as a line of `baud` bit/s (10 bits a character, on an absolute
  // schedule), or in one write when baud is 0. The time the last byte went out, or
  // nullopt when the line failed (for a pseudo-terminal: the other side is gone).
  std::optional<SteadyTime> Write(std::span<const uint8_t> bytes, uint32_t baud);
  // Reads until `count` bytes have come or the deadline has passed.
  std::vector<uint8_t> Read(std::size_t count, SteadyTime deadline);
  // Whatever is waiting now.
  std::vector<uint8_t> ReadWaiting();

 private:
  SimLine(int fd, int slave, std::string path) : fd_(fd), slave_(slave), path_(std::move(path)) {}

  int fd_;      // the master of the pseudo-terminal, or the device
  int slave_;   // our own descriptor of the slave, which keeps the pair alive; -1 for a device
  std::string path_;
};

}  // namespace orvelgate::sim
