#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "t8_test_support.h"

extern char** environ;

namespace orvelgate::testing {

// ---- RecordingHost ----

void RecordingHost::LogLine(const std::string& text) {
  std::lock_guard lock(mutex_);
  logs_.push_back(text);
  changed_.notify_all();
}

void RecordingHost::StepT8Indicator() {
  std::lock_guard lock(mutex_);
  ++steps_;
}

void RecordingHost::OnEventAck(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (ackThrows_) throw std::runtime_error("the host failed");
  ++acks_;
  ackedSequences_.push_back(sequence);
  changed_.notify_all();
}

bool RecordingHost::KeepUnanswered(uint64_t sequence, int32_t /*type*/,
                                   std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  unanswered_.emplace_back(sequence, std::vector<uint8_t>(payload.begin(), payload.end()));
  return keeps_;
}

void RecordingHost::SetKeeps(bool keeps) {
  std::lock_guard lock(mutex_);
  keeps_ = keeps;
}

std::vector<uint64_t> RecordingHost::AckedSequences() const {
  std::lock_guard lock(mutex_);
  return ackedSequences_;
}

std::vector<std::pair<uint64_t, std::vector<uint8_t>>> RecordingHost::Unanswered() const {
  std::lock_guard lock(mutex_);
  return unanswered_;
}

void RecordingHost::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  ++established_;
}

void RecordingHost::OnConnectFailed(const std::string& cause) {
  std::lock_guard lock(mutex_);
  connectFailures_.push_back(cause);
  changed_.notify_all();
}

void RecordingHost::OnConnectRecovered() {
  std::lock_guard lock(mutex_);
  ++recoveries_;
}

std::vector<std::string> RecordingHost::ConnectFailures() const {
  std::lock_guard lock(mutex_);
  return connectFailures_;
}

int RecordingHost::Recoveries() const {
  std::lock_guard lock(mutex_);
  return recoveries_;
}

void RecordingHost::SetAckThrows(bool throws) {
  std::lock_guard lock(mutex_);
  ackThrows_ = throws;
}

PortStatus RecordingHost::CurrentPort() {
  std::lock_guard lock(mutex_);
  return port_;
}

void RecordingHost::SetPort(PortStatus port) {
  std::lock_guard lock(mutex_);
  port_ = std::move(port);
}

std::vector<std::string> RecordingHost::Logs() const {
  std::lock_guard lock(mutex_);
  return logs_;
}

int RecordingHost::CountLog(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(logs_.begin(), logs_.end(), text));
}

int RecordingHost::Steps() const {
  std::lock_guard lock(mutex_);
  return steps_;
}

int RecordingHost::Acks() const {
  std::lock_guard lock(mutex_);
  return acks_;
}

int RecordingHost::Established() const {
  std::lock_guard lock(mutex_);
  return established_;
}

bool RecordingHost::WaitForLog(const std::string& text, int count,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::count(logs_.begin(), logs_.end(), text) >= count;
  });
}

bool RecordingHost::WaitForAcks(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return acks_ >= count; });
}

// ---- T8ServerProcess ----

T8ServerProcess::T8ServerProcess(std::vector<std::string> args) {
  const std::string tool = ORVELGATE_BINARY_DIR "/tools/t8-server/t8-server";
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  if (rc != 0) {
    close(stdin_);
    close(stdout_);
    throw std::runtime_error("cannot start " + tool + ": " + std::strerror(rc));
  }
  reader_ = std::thread([this] { ReadOutput(); });
  const auto ready = WaitForLine([](const std::string& l) { return l.rfind("READY ", 0) == 0; }, 0,
                                 std::chrono::seconds(10));
  if (!ready) {
    ADD_FAILURE() << "t8-server did not print READY";
    return;
  }
  port_ = std::stoi(ready->substr(6));
}

T8ServerProcess::~T8ServerProcess() {
  if (stdin_ >= 0) close(stdin_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(10'000);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (reader_.joinable()) reader_.join();
  if (stdout_ >= 0) close(stdout_);
}

void T8ServerProcess::ReadOutput() {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(stdout_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t end;
    std::lock_guard lock(mutex_);
    while ((end = pending.find('\n')) != std::string::npos) {
      lines_.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

std::optional<std::string> T8ServerProcess::WaitForLine(
    const std::function<bool(const std::string&)>& match, std::size_t from,
    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < lines_.size(); ++i) {
      if (match(lines_[i])) {
        found = lines_[i];
        return true;
      }
    }
    return ended_;
  });
  return found;
}

void T8ServerProcess::Command(const std::string& command) {
  std::size_t from;
  {
    std::lock_guard lock(mutex_);
    from = lines_.size();
  }
  const std::string line = command + "\n";
  ASSERT_EQ(write(stdin_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const auto answer = WaitForLine(
      [&](const std::string& l) { return l == "OK " + command || l == "ERROR " + command; }, from,
      std::chrono::seconds(10));
  ASSERT_TRUE(answer.has_value()) << "no answer to " << command;
  ASSERT_EQ(*answer, "OK " + command);
}

std::vector<std::string> T8ServerProcess::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<SeenFrame> T8ServerProcess::Frames() const {
  std::vector<SeenFrame> frames;
  for (const auto& line : Lines()) {
    if (line.rfind("FRAME ", 0) != 0) continue;
    std::istringstream words(line.substr(6));
    SeenFrame f;
    std::string seq, len, payload;
    words >> f.Connection >> f.Type >> seq >> len >> payload;
    if (seq.rfind("seq=", 0) != 0 || payload.rfind("payload=", 0) != 0) continue;
    f.Sequence = std::stoull(seq.substr(4));
    f.Payload = payload.substr(8);
    frames.push_back(f);
  }
  return frames;
}

int T8ServerProcess::CountLinesStartingWith(const std::string& prefix) const {
  const auto lines = Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

bool T8ServerProcess::WaitForLines(const std::string& prefix, int count,
                                   std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    const auto n = std::count_if(lines_.begin(), lines_.end(),
                                 [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
    return n >= count || ended_;
  }) && std::count_if(lines_.begin(), lines_.end(),
                      [&](const auto& l) { return l.rfind(prefix, 0) == 0; }) >= count;
}

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

BlockedListener::BlockedListener() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener_, 0), 0);  // room for one connection that nobody accepts
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

BlockedListener::~BlockedListener() {
  close(filler_);
  close(listener_);
}

}  // namespace orvelgate::testing
