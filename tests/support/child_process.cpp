#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace orvelgate::testing {
namespace {

// The child's environment: the test's own, with the options' variables set.
std::vector<std::string> ChildEnvironment(const ChildOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [k, v] : options.env) replaced = replaced || k == name;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [k, v] : options.env) env.push_back(k + "=" + v);
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (const auto& s : strings) p.push_back(const_cast<char*>(s.c_str()));
  p.push_back(nullptr);
  return p;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, ChildOptions options)
    : grace_(options.grace) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  // Everything the child needs is built before the fork: between fork and exec only
  // async-signal-safe calls (the test has threads, one may hold the allocator's lock).
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
  const std::vector<std::string> envStrings = ChildEnvironment(options);
  const std::vector<char*> argv = Pointers(argStrings);
  const std::vector<char*> envp = Pointers(envStrings);
  const int errFd = options.stderrFile.empty()
                        ? -1
                        : open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (options.stdoutReaderGone) {
    close(out[0]);
    out[0] = -1;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // The test ignores SIGPIPE (below), and an ignored signal stays ignored across exec.
    if (options.stdoutReaderGone) signal(SIGPIPE, SIG_DFL);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (errFd >= 0) dup2(errFd, STDERR_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (errFd >= 0) close(errFd);
  if (pid_ < 0) {
    close(in[1]);
    if (out[0] >= 0) close(out[0]);
    throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  }
  stdin_ = in[1];
  signal(SIGPIPE, SIG_IGN);  // a child that went away must not end the test
  if (out[0] < 0) {
    outputEnded_ = true;
    return;
  }
  reader_ = std::thread([this, fd = out[0]] { ReadOutput(fd); });
}

ChildProcess::~ChildProcess() { Stop(); }

void ChildProcess::ReadOutput(int fd) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    // A grandchild may keep the pipe open after the child has gone: look at the stop
    // request between reads instead of blocking in read for good.
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 50);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (stopReading_) break;
      continue;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back(std::move(line));
      pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard lock(mutex_);
  if (!pending.empty()) lines_.push_back(pending);
  outputEnded_ = true;
  changed_.notify_all();
}

bool ChildProcess::Write(const std::string& text) {
  if (stdin_ < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

std::vector<std::string> ChildProcess::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t ChildProcess::LineCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::optional<std::string> ChildProcess::FindLine(const LineMatch& match, std::size_t from) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (match(lines_[i])) return lines_[i];
  }
  return std::nullopt;
}

std::optional<std::string> ChildProcess::WaitForLine(const LineMatch& match,
                                                     std::chrono::milliseconds timeout,
                                                     std::size_t from) const {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  std::size_t looked = from;
  changed_.wait_for(lock, timeout, [&] {
    for (; looked < lines_.size(); ++looked) {
      if (match(lines_[looked])) {
        found = lines_[looked];
        return true;
      }
    }
    return outputEnded_;
  });
  return found;
}

std::optional<std::string> ChildProcess::WaitForPrefix(const std::string& prefix,
                                                       std::chrono::milliseconds timeout,
                                                       std::size_t from) const {
  return WaitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, timeout, from);
}

std::optional<std::string> ChildProcess::WaitReady(std::chrono::milliseconds timeout) const {
  const auto line = WaitForPrefix("READY ", timeout);
  if (!line) return std::nullopt;
  return line->substr(6);
}

std::vector<std::string> ChildProcess::LinesStartingWith(const std::string& prefix,
                                                         std::size_t from) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> found;
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (lines_[i].rfind(prefix, 0) == 0) found.push_back(lines_[i]);
  }
  return found;
}

std::size_t ChildProcess::CountLinesStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& line : lines_) count += line.starts_with(prefix);
  return count;
}

bool ChildProcess::WaitForCount(const std::string& prefix, std::size_t count,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::size_t seen = 0, looked = 0;
  changed_.wait_for(lock, timeout, [&] {
    for (; looked < lines_.size(); ++looked) seen += lines_[looked].starts_with(prefix);
    return seen >= count || outputEnded_;
  });
  return seen >= count;
}

bool ChildProcess::Signal(int signalNumber) {
  if (!Running()) return false;
  return kill(pid_, signalNumber) == 0;
}

bool ChildProcess::Reap(bool block) {
  if (status_) return true;
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  // The child's last lines: the pipe ends when it does (unless a grandchild holds it).
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, 1s, [&] { return outputEnded_; });
  return status_;
}

int ChildProcess::Stop() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGTERM);
    if (!WaitExit(grace_)) {
      kill(pid_, SIGKILL);
      Reap(true);
    }
  }
  CloseStdin();
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 1s, [&] { return outputEnded_; });
  }
  stopReading_ = true;
  if (reader_.joinable()) reader_.join();
  return status_.value_or(-1);
}

std::unique_ptr<ChildProcess> LaunchWithoutClockRight(const std::string& program,
                                                      ChildOptions options) {
  if (geteuid() != 0) return std::make_unique<ChildProcess>(program, std::move(options));
  options.args.insert(options.args.begin(),
                      {"--inh-caps=-sys_time", "--bounding-set=-sys_time", "--", program});
  return std::make_unique<ChildProcess>("/usr/bin/setpriv", std::move(options));
}

bool MaySetClock(pid_t pid) {
  constexpr uint64_t kSysTime = uint64_t{1} << 25;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapPrm:", 0) != 0) continue;
    return (std::stoull(line.substr(7), nullptr, 16) & kSysTime) != 0;
  }
  return false;
}

}  // namespace orvelgate::testing
