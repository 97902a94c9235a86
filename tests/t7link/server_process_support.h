#pragma once
// The reference t7-server run as a child process: its stdin takes commands, its stdout
// lines are collected while the test's event loop keeps running (the link under test
// lives on the same thread). The child is ended when the object goes.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvelgate::testing {

std::string T7ServerPath();

class T7ServerProcess {
 public:
  // Starts the server with these arguments; throws when it cannot be started.
  explicit T7ServerProcess(const std::vector<std::string>& args);
  ~T7ServerProcess();
  T7ServerProcess(const T7ServerProcess&) = delete;
  T7ServerProcess& operator=(const T7ServerProcess&) = delete;

  // Waits (pumping the event loop) for "READY <port>"; nullopt on time-out.
  std::optional<uint16_t> WaitReady(int timeoutMs = 5000);
  // Waits for a line that starts with `prefix`, after those already returned; returns
  // it, or nullopt on time-out.
  std::optional<std::string> WaitLine(const std::string& prefix, int timeoutMs = 5000);
  void Command(const std::string& line);
  // Waits for the child to end; its exit status, or nullopt on time-out.
  std::optional<int> WaitExit(int timeoutMs = 5000);

  const std::vector<std::string>& lines() const { return lines_; }
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

 private:
  void ReadOutput();

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  std::size_t consumed_ = 0;  // lines already handed out by WaitLine
  std::optional<int> exitStatus_;
};

// Runs the server to completion with these arguments and stdin text; its output and
// exit status.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult RunT7Server(const std::vector<std::string>& args);

}  // namespace orvelgate::testing
