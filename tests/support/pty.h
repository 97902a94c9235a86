#pragma once
// A pseudo-terminal for serial-line tests: the code under test opens the slave path as
// its serial device, the test plays the station on the master side.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvelgate::testing {

class Pty {
 public:
  // Creates the pair with the slave in raw mode. Throws std::runtime_error on failure.
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }
  // Our own descriptor of the slave (kept open so the pair survives the code under test
  // closing and reopening it); -1 once closed.
  int SlaveFd() const { return slave_; }
  // The output speed the line is set to, in bits per second, as whoever configured the
  // slave left it; 0 when it cannot be read.
  uint32_t SlaveSpeed() const;

  // Writes every byte to the master at once; false on failure or after 5 s blocked.
  bool Write(std::span<const uint8_t> bytes);
  // Writes the bytes one at a time at the pace of a line of bitsPerSecond (10 bits a
  // character), on an absolute schedule so that a late wake-up does not slow the rest.
  bool WritePaced(std::span<const uint8_t> bytes, uint32_t bitsPerSecond);

  // Reads from the master until count bytes have come or the deadline has passed.
  std::vector<uint8_t> Read(std::size_t count, std::chrono::milliseconds deadline);
  // Reads whatever comes from the master within wait.
  std::vector<uint8_t> ReadFor(std::chrono::milliseconds wait);

  // Bytes waiting on the slave side, as the code under test will find them.
  std::size_t SlaveWaiting() const;
  // Polls until the slave side has exactly count bytes waiting; false at the deadline.
  bool WaitSlaveWaiting(std::size_t count, std::chrono::milliseconds deadline) const;

  // Closing the master hangs the slave up: that is how a device going away looks.
  void CloseMaster();
  void CloseSlave();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace orvelgate::testing
