#include "server_process_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "loopback_support.h"

namespace orvelgate::testing {
namespace {

std::vector<char*> Argv(const std::string& path, const std::vector<std::string>& args,
                        std::vector<std::string>& storage) {
  storage = {path};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

std::string T7ServerPath() { return ORVELGATE_BINARY_DIR "/tools/t7-server/t7-server"; }

T7ServerProcess::T7ServerProcess(const std::vector<std::string>& args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> storage;
  auto argv = Argv(T7ServerPath(), args, storage);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
  fcntl(fromChild_, F_SETFL, fcntl(fromChild_, F_GETFL) | O_NONBLOCK);
}

T7ServerProcess::~T7ServerProcess() {
  if (!exitStatus_) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  close(toChild_);
  close(fromChild_);
}

void T7ServerProcess::ReadOutput() {
  char piece[4096];
  for (;;) {
    const ssize_t n = read(fromChild_, piece, sizeof piece);
    if (n <= 0) return;
    partial_.append(piece, static_cast<std::size_t>(n));
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, end));
      partial_.erase(0, end + 1);
    }
  }
}

std::optional<uint16_t> T7ServerProcess::WaitReady(int timeoutMs) {
  const auto line = WaitLine("READY ", timeoutMs);
  if (!line) return std::nullopt;
  return static_cast<uint16_t>(std::stoi(line->substr(6)));
}

std::optional<std::string> T7ServerProcess::WaitLine(const std::string& prefix, int timeoutMs) {
  std::optional<std::string> found;
  PumpUntil(
      [&] {
        ReadOutput();
        for (; consumed_ < lines_.size() && !found; ++consumed_)
          if (lines_[consumed_].rfind(prefix, 0) == 0) found = lines_[consumed_];
        return found.has_value();
      },
      timeoutMs);
  return found;
}

void T7ServerProcess::Command(const std::string& line) {
  const std::string text = line + "\n";
  if (write(toChild_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("cannot write to t7-server");
}

std::optional<int> T7ServerProcess::WaitExit(int timeoutMs) {
  PumpUntil(
      [&] {
        ReadOutput();
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
          exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_.has_value();
      },
      timeoutMs);
  ReadOutput();
  return exitStatus_;
}

std::vector<std::string> T7ServerProcess::LinesStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const auto& l : lines_)
    if (l.rfind(prefix, 0) == 0) found.push_back(l);
  return found;
}

RunResult RunT7Server(const std::vector<std::string>& args) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> storage;
  auto argv = Argv(T7ServerPath(), args, storage);
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  RunResult r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int openPipes = 2;
  while (openPipes > 0 && poll(fds, 2, 5000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char piece[4096];
      const ssize_t n = read(fds[i].fd, piece, sizeof piece);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      } else {
        (i == 0 ? r.out : r.err).append(piece, static_cast<std::size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  if (openPipes > 0) kill(pid, SIGKILL);  // it did not end in time
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

}  // namespace orvelgate::testing
