#pragma once
// A program run as a child process by a test: the driver, a station simulator, the
// reference servers. Its stdout is collected line by line on a thread of its own, so a
// test can wait for a line while its own thread does something else (or pumps a Qt
// event loop and looks with FindLine). Its stdin takes commands; its stderr goes to
// the test's stderr. The child is always ended and reaped: SIGTERM, then SIGKILL when
// it has not ended within the grace period.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orvelgate::testing {

using namespace std::chrono_literals;

struct ChildOptions {
  std::vector<std::string> args;  // after the program's own name
  std::string cwd;                // empty: the test's working directory
  std::vector<std::pair<std::string, std::string>> env;  // set in the child's environment
  std::chrono::milliseconds grace = 5s;  // SIGTERM to SIGKILL when ending it
  std::string stderrFile;  // empty: the test's stderr; otherwise appended to this file
  // The child's stdout is a pipe nobody reads from (its reader has gone before the child
  // starts), and the child gets SIGPIPE's default action as a shell would give it: a
  // write to stdout ends the child unless it ignores the signal itself. No lines are
  // collected.
  bool stdoutReaderGone = false;
};

class ChildProcess {
 public:
  using LineMatch = std::function<bool(const std::string&)>;

  // Starts `program`; throws std::runtime_error when it cannot be started.
  ChildProcess(const std::string& program, ChildOptions options = {});
  ~ChildProcess();  // Stop()
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // Writes to the child's stdin (a command line needs its "\n"); false when it failed.
  bool Write(const std::string& text);
  void CloseStdin();

  // The lines printed so far, without their line ends.
  std::vector<std::string> Lines() const;
  std::size_t LineCount() const;
  // The first line at index `from` or later that matches; nullopt when there is none yet.
  std::optional<std::string> FindLine(const LineMatch& match, std::size_t from = 0) const;
  // Waits for such a line; nullopt when the time is up or the output has ended first.
  std::optional<std::string> WaitForLine(const LineMatch& match,
                                         std::chrono::milliseconds timeout = 5s,
                                         std::size_t from = 0) const;
  std::optional<std::string> WaitForPrefix(const std::string& prefix,
                                           std::chrono::milliseconds timeout = 5s,
                                           std::size_t from = 0) const;
  // Waits for "READY <text>" and returns <text> (a port, a device path, a pid).
  std::optional<std::string> WaitReady(std::chrono::milliseconds timeout = 10s) const;
  // Lines at index `from` or later that start with `prefix`, and how many there are.
  std::vector<std::string> LinesStartingWith(const std::string& prefix,
                                             std::size_t from = 0) const;
  std::size_t CountLinesStartingWith(const std::string& prefix) const;
  // Waits until at least `count` lines start with `prefix`; false when the time is up
  // or the output has ended first.
  bool WaitForCount(const std::string& prefix, std::size_t count,
                    std::chrono::milliseconds timeout = 10s) const;

  bool Signal(int signalNumber);
  // Waits for the child to end: its exit status, or 128 + the signal that ended it;
  // nullopt when it is still running after `timeout`.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = 5s);
  // Ends the child (SIGTERM, SIGKILL after the grace period) and reaps it; its status.
  int Stop();
  bool Running() const { return pid_ > 0 && !status_; }

 private:
  void ReadOutput(int fd);
  bool Reap(bool block);

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::chrono::milliseconds grace_;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool outputEnded_ = false;
  std::atomic<bool> stopReading_{false};
};

// The path of a program built in this tree (test programs get ORVELGATE_BINARY_DIR).
#ifdef ORVELGATE_BINARY_DIR
inline std::string BuiltProgram(const std::string& relative) {
  return std::string(ORVELGATE_BINARY_DIR) + "/" + relative;
}
#endif

// The driver must never set this machine's clock from a test (a T7 clock record
// would): as root, `program` runs through setpriv without CAP_SYS_TIME, for good;
// otherwise it runs as it is, without that right anyway.
std::unique_ptr<ChildProcess> LaunchWithoutClockRight(const std::string& program,
                                                      ChildOptions options);
// Whether process `pid` holds CAP_SYS_TIME in its permitted set.
bool MaySetClock(pid_t pid);

}  // namespace orvelgate::testing
