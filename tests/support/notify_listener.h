#pragma once
// A fake service manager: the AF_UNIX datagram socket that NOTIFY_SOCKET names, in a
// temporary folder. A thread of its own receives what sd_notify sends and keeps every
// assignment ("READY=1", "STATUS=...", "WATCHDOG=1") in the order it came, so a test can
// count pings while the thread that sends them is blocked. A mark, sent by the test
// itself, tells what arrived before it: the socket keeps its datagrams in order.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace orvelgate::testing {

class NotifyListener {
 public:
  struct Assignment {
    std::string text;      // "STATUS=port COM3 open, ..."
    std::size_t datagram;  // which datagram carried it, from 0
  };

  NotifyListener();  // throws std::runtime_error when the socket cannot be made
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  // The value for NOTIFY_SOCKET.
  std::string Path() const { return path_; }

  std::vector<Assignment> Assignments() const;
  // The texts of the assignments that start with `prefix`, in arrival order.
  std::vector<std::string> Starting(const std::string& prefix) const;
  // How many assignments at index `from` or later, before index `to`, equal `text`.
  std::size_t Count(const std::string& text, std::size_t from = 0,
                    std::size_t to = static_cast<std::size_t>(-1)) const;
  // Sends "MARK=<n>" to the socket and waits until it is received, so that everything
  // sent before this call has been received too; returns the mark's index.
  std::size_t Mark();
  // Waits until `done` holds for the assignments received; returns done().
  bool WaitFor(const std::function<bool(const std::vector<Assignment>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits for an assignment starting with `prefix` at index `from` or later; its text.
  std::optional<std::string> WaitForPrefix(
      const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10),
      std::size_t from = 0) const;

 private:
  void Receive();

  TempDir dir_;
  std::string path_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Assignment> received_;
  std::size_t datagrams_ = 0;
  int marks_ = 0;
};

// Sets an environment variable for its lifetime (unset: nullopt) and puts back what
// was there before.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace orvelgate::testing
