#include "sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace orvelgate::sim {
namespace {

int RemainingMs(SteadyTime deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::optional<speed_t> SpeedCode(uint32_t baud) {
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return std::nullopt;
  }
}

bool MakeRaw(int fd, std::optional<speed_t> speed) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (speed) cfsetspeed(&t, *speed);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string ErrorText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<SimLine> SimLine::CreatePty(std::string* error) {
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    if (error) *error = ErrorText("openpty");
    return nullptr;
  }
  MakeRaw(slave, std::nullopt);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  return std::unique_ptr<SimLine>(new SimLine(master, slave, name));
}

std::unique_ptr<SimLine> SimLine::OpenDevice(const std::string& path, uint32_t baud,
                                             std::string* error) {
  const auto speed = SpeedCode(baud);
  if (!speed) {
    if (error) *error = "speed " + std::to_string(baud) + " is not one a device can be set to here";
    return nullptr;
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = ErrorText(path);
    return nullptr;
  }
  if (!isatty(fd) || !MakeRaw(fd, speed)) {
    if (error) *error = path + ": not a serial device";
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<SimLine>(new SimLine(fd, -1, path));
}

SimLine::~SimLine() {
  if (fd_ >= 0) close(fd_);
  if (slave_ >= 0) close(slave_);
}

bool SimLine::WaitForExclusiveOpener(std::chrono::milliseconds deadline) const {
  if (slave_ < 0) return false;
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int exclusive = 0;
    if (ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<SteadyTime> SimLine::Write(std::span<const uint8_t> bytes, uint32_t baud) {
  const auto start = std::chrono::steady_clock::now();
  const auto perCharacter =
      baud == 0 ? std::chrono::nanoseconds(0) : std::chrono::nanoseconds(10'000'000'000LL / baud);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (baud != 0) std::this_thread::sleep_until(start + perCharacter * static_cast<int64_t>(done));
    const std::size_t chunk = baud == 0 ? bytes.size() - done : 1;
    const ssize_t n = write(fd_, bytes.data() + done, chunk);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, 1000) <= 0) return std::nullopt;  // nobody takes the bytes
  }
  return std::chrono::steady_clock::now();
}

std::vector<uint8_t> SimLine::Read(std::size_t count, SteadyTime deadline) {
  std::vector<uint8_t> out;
  while (out.size() < count) {
    uint8_t buffer[256];
    const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
      continue;
    }
    // EIO on the master: no slave is open at the moment (the driver closed its port).
    const int wait = RemainingMs(deadline);
    if (wait == 0) break;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 10)));
      continue;
    }
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, wait);
  }
  return out;
}

std::vector<uint8_t> SimLine::ReadWaiting() {
  return Read(SIZE_MAX, std::chrono::steady_clock::now());
}

}  // namespace orvelgate::sim
