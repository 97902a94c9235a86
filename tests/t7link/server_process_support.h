#pragma once
// The reference t7-server run as a child process while the test's event loop keeps
// running (the link under test lives on the same thread): its stdin takes commands,
// its stdout lines are handed out in order. The child is ended when the object goes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace orvelgate::testing {

class T7ServerProcess {
 public:
  // Starts the server with these arguments; throws when it cannot be started.
  explicit T7ServerProcess(const std::vector<std::string>& args);

  // Waits (pumping the event loop) for "READY <port>"; nullopt on time-out.
  std::optional<uint16_t> WaitReady(int timeoutMs = 5000);
  // Waits for a line that starts with `prefix`, after those already returned; returns
  // it, or nullopt on time-out.
  std::optional<std::string> WaitLine(const std::string& prefix, int timeoutMs = 5000);
  void Command(const std::string& line);
  // Waits for the child to end; its exit status, or nullopt on time-out.
  std::optional<int> WaitExit(int timeoutMs = 5000);

  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    return child_.LinesStartingWith(prefix);
  }

 private:
  ChildProcess child_;
  std::size_t consumed_ = 0;  // lines already looked at by WaitLine
};

// Runs the server to completion with these arguments and no input: its exit status
// and what it printed.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult RunT7Server(const std::vector<std::string>& args);

}  // namespace orvelgate::testing
