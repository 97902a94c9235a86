#pragma once
// Runs tools/t8-server as a child process for benchmarks and end-to-end harnesses:
// starts it with the given flags, waits for its READY line, keeps reading its output
// (so that it never blocks on a full pipe) and counts the lines by their first word.
// The destructor ends it with SIGTERM and reaps it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace orvelgate {

class T8ServerChild {
 public:
  T8ServerChild(const std::string& tool, std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (rc != 0) {
      close(out_);
      throw std::runtime_error("cannot start " + tool);
    }
    reader_ = std::thread([this] { Read(); });
    bool ready;
    {
      std::unique_lock lock(mutex_);
      ready = changed_.wait_for(lock, std::chrono::seconds(10), [this] { return port_ > 0 || ended_; }) &&
              port_ > 0;
    }
    if (!ready) {
      End();
      throw std::runtime_error(tool + " did not print READY");
    }
  }

  ~T8ServerChild() { End(); }

  T8ServerChild(const T8ServerChild&) = delete;
  T8ServerChild& operator=(const T8ServerChild&) = delete;

  int Port() const { return port_; }

  // How many output lines began with `word` ("EVENT", "FRAME", ...).
  long Count(const std::string& word) const {
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(word);
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  void End() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    reader_.join();
    close(out_);
  }

  void Read() {
    std::string pending;
    char chunk[65536];
    for (;;) {
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<std::size_t>(n));
      std::lock_guard lock(mutex_);
      std::size_t start = 0, end;
      while ((end = pending.find('\n', start)) != std::string::npos) {
        const std::string line = pending.substr(start, end - start);
        const std::string word = line.substr(0, line.find(' '));
        ++counts_[word];
        if (word == "READY") port_ = std::stoi(line.substr(6));
        start = end + 1;
      }
      pending.erase(0, start);
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, long> counts_;
  int port_ = 0;
  bool ended_ = false;
};

}  // namespace orvelgate
