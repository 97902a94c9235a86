#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace orvelgate::testing {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Pty::Pty() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath_ = name;
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);  // no echo, no line editing, no CR/LF translation before the code opens it
  tcsetattr(slave_, TCSANOW, &t);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  CloseMaster();
  CloseSlave();
}

bool Pty::Write(std::span<const uint8_t> bytes) {
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{master_, POLLOUT, 0};
    if (RemainingMs(end) == 0) return false;
    poll(&p, 1, RemainingMs(end));
  }
  return true;
}

bool Pty::WritePaced(std::span<const uint8_t> bytes, uint32_t bitsPerSecond) {
  const auto perCharacter = std::chrono::nanoseconds(10'000'000'000LL / bitsPerSecond);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::this_thread::sleep_until(start + perCharacter * static_cast<int64_t>(i));
    if (!Write(bytes.subspan(i, 1))) return false;
  }
  return true;
}

std::vector<uint8_t> Pty::Read(std::size_t count, std::chrono::milliseconds deadline) {
  std::vector<uint8_t> out;
  const auto end = Clock::now() + deadline;
  while (out.size() < count) {
    uint8_t buffer[512];
    const std::size_t want = std::min(sizeof buffer, count - out.size());
    const ssize_t n = read(master_, buffer, want);
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (RemainingMs(end) == 0) break;
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, RemainingMs(end));
  }
  return out;
}

std::vector<uint8_t> Pty::ReadFor(std::chrono::milliseconds wait) {
  return Read(SIZE_MAX, wait);
}

std::size_t Pty::SlaveWaiting() const {
  int count = 0;
  if (slave_ < 0 || ioctl(slave_, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

bool Pty::WaitSlaveWaiting(std::size_t count, std::chrono::milliseconds deadline) const {
  const auto end = Clock::now() + deadline;
  while (SlaveWaiting() != count) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Pty::CloseSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

}  // namespace orvelgate::testing
