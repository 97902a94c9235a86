#pragma once
// The station's end of the serial line for the core tests: a pseudo-terminal that
// [ports] maps as COM3, on which the test writes frames as the station would and waits
// until the core has taken each one (every packet goes to the packet log first).

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "support/pty.h"

namespace orvelgate::testing {

class StationLine {
 public:
  // `folder` is the core's working folder, where its packet log is written.
  explicit StationLine(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // The [ports] section that maps COM3 to this line.
  std::string PortsSection() const { return "[ports]\nCOM3=" + pty_.SlavePath() + "\n"; }
  Pty& Line() { return pty_; }

  // Writes `bytes` as one packet and handles events until the core has logged it;
  // false when it has not within a few seconds.
  bool Send(std::span<const uint8_t> bytes);
  bool Send(const std::string& bytes);

 private:
  std::size_t PacketsLogged() const;

  std::filesystem::path folder_;
  Pty pty_;
};

}  // namespace orvelgate::testing
