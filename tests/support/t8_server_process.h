#pragma once
// The reference server tools/t8-server as a child process, for the T8 tests and the T8
// benchmarks. It has printed READY when the constructor returns; commands go to its
// stdin and are confirmed by its "OK" lines.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace orvelgate::testing {

// One FRAME line of the server: a message the driver sent.
struct SeenFrame {
  int Connection = 0;
  std::string Type;
  uint64_t Sequence = 0;
  std::string Payload;  // hex, upper case
};

class T8ServerProcess {
 public:
  // Throws std::runtime_error when the server does not start.
  explicit T8ServerProcess(std::vector<std::string> args = {});

  int Port() const { return port_; }
  // Sends one command and waits for its OK (fails the test on ERROR or silence).
  void Command(const std::string& command);
  // After Sync, every line printed before it has been collected.
  void Sync() { Command("sync"); }
  std::vector<std::string> Lines() const { return child_.Lines(); }
  std::vector<SeenFrame> Frames() const;
  int CountLinesStartingWith(const std::string& prefix) const {
    return static_cast<int>(child_.CountLinesStartingWith(prefix));
  }
  // Waits until at least `count` lines start with `prefix`.
  bool WaitForLines(const std::string& prefix, int count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return child_.WaitForCount(prefix, static_cast<std::size_t>(count), timeout);
  }

 private:
  ChildProcess child_;
  int port_ = 0;
};

}  // namespace orvelgate::testing
