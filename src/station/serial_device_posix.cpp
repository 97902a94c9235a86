#include "station/serial_device_posix.h"

// termios2 comes from the kernel headers, which clash with <termios.h>: this file uses
// the ioctls only.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "common/failure.h"

namespace orvelgate {
namespace {

// Rates with a classic Bnnn constant; any other rate goes through BOTHER.
struct StandardRate {
  uint32_t baud;
  tcflag_t code;
};
constexpr StandardRate kStandardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

tcflag_t SpeedCode(uint32_t baud) {
  for (const auto& rate : kStandardRates) {
    if (rate.baud == baud) return rate.code;
  }
  return BOTHER;
}

tcflag_t SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

tcflag_t ParityFlags(LineParity parity) {
  switch (parity) {
    case LineParity::kOdd: return PARENB | PARODD;
    case LineParity::kEven: return PARENB;
    case LineParity::kMark: return PARENB | PARODD | CMSPAR;
    case LineParity::kSpace: return PARENB | CMSPAR;
    case LineParity::kNone: break;
  }
  return 0;
}

// A line a device does not have (DTR or RTS on a pseudo-terminal) is not a failure.
bool LineAbsent(int error) { return error == ENOTTY || error == EINVAL; }

// What a hung-up or unplugged terminal answers.
bool DeviceGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

bool SetModemLine(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return LineAbsent(errno);
}

// An epoll set holding the terminal edge-triggered: it turns readable once per arrival
// (and once on hang-up), not for as long as bytes wait. -1 on failure, errno set.
int EdgeReadiness(int fd) {
  const int set = epoll_create1(EPOLL_CLOEXEC);
  if (set < 0) return -1;
  epoll_event watch{};
  watch.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  if (epoll_ctl(set, EPOLL_CTL_ADD, fd, &watch) != 0) {
    const int error = errno;
    close(set);
    errno = error;
    return -1;
  }
  return set;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, int readiness) : fd_(fd), readiness_(readiness) {}
  ~PosixSerialDevice() override { Close(); }

  int ReadinessDescriptor() override { return readiness_; }

  Readiness TakeReadiness() override {
    epoll_event got{};
    if (epoll_wait(readiness_, &got, 1, 0) != 1) return Readiness::kNone;
    if (got.events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) return Readiness::kHangUp;
    return Readiness::kInput;
  }

  bool Configure(const LineSettings& s) override {
    if (fd_ < 0 || s.baud == 0 || s.dataBits < 5 || s.dataBits > 8) return false;
    // 1.5 stop bits exist only with 5 data bits (CSTOPB then gives 1.5 on a UART).
    if (s.stopBits == LineStopBits::kOneAndHalf && s.dataBits != 5) return false;
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) return false;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CREAD | CLOCAL | SizeFlag(s.dataBits) | ParityFlags(s.parity);
    if (s.stopBits != LineStopBits::kOne) t.c_cflag |= CSTOPB;
    if (s.rts == LineRts::kHandshake) t.c_cflag |= CRTSCTS;
    const tcflag_t code = SpeedCode(s.baud);
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ispeed = s.baud;
    t.c_ospeed = s.baud;
    if (s.xonXoff) {
      t.c_iflag |= IXON | IXOFF;
      t.c_cc[VSTART] = s.xonChar;
      t.c_cc[VSTOP] = s.xoffChar;
    }
    t.c_cc[VMIN] = 0;  // reads return what is waiting at once
    t.c_cc[VTIME] = 0;
    if (ioctl(fd_, TCSETS2, &t) != 0) return false;
    if (!SetDtr(s.dtr)) return false;
    return ApplyRts(s.rts);
  }

  std::optional<uint32_t> BytesWaiting() override {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) {
      if (DeviceGone(errno)) return std::nullopt;
      return 0u;
    }
    return count > 0 ? static_cast<uint32_t>(count) : 0u;
  }

  long Read(uint8_t* buffer, std::size_t size) override {
    const ssize_t n = read(fd_, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  }

  long Write(const uint8_t* data, std::size_t size) override {
    const ssize_t n = write(fd_, data, size);
    if (n >= 0) return static_cast<long>(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  }

  void WaitWritable(int timeoutMs) override {
    if (timeoutMs <= 0) return;
    pollfd p{fd_, POLLOUT, 0};
    const int ready = poll(&p, 1, timeoutMs);
    // Writable at once while the caller found no room (the transmitter is still
    // draining a full queue): pause a millisecond so that the caller does not spin.
    if (ready != 0) {
      timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
  }

  uint32_t OutputQueued() override {
    int count = 0;
    if (ioctl(fd_, TIOCOUTQ, &count) != 0 || count < 0) return 0;
    return static_cast<uint32_t>(count);
  }

  bool Purge(bool input, bool output) override {
    if (!input && !output) return true;
    const int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return ioctl(fd_, TCFLSH, which) == 0;
  }

  bool SetDtr(bool on) override { return SetModemLine(fd_, TIOCM_DTR, on); }

  uint8_t ModemLines() override {
    int bits = 0;
    if (ioctl(fd_, TIOCMGET, &bits) != 0) return 0;
    uint8_t lines = 0;
    if (bits & TIOCM_CTS) lines |= kModemCts;
    if (bits & TIOCM_DSR) lines |= kModemDsr;
    if (bits & TIOCM_RNG) lines |= kModemRing;
    if (bits & TIOCM_CAR) lines |= kModemCd;
    return lines;
  }

  void Close() override {
    if (fd_ < 0) return;
    close(readiness_);
    readiness_ = -1;
    ioctl(fd_, TIOCNXCL);  // the flag outlives our descriptor on some terminals
    close(fd_);            // also releases the flock
    fd_ = -1;
  }

 private:
  bool ApplyRts(LineRts rts) {
    switch (rts) {
      case LineRts::kOff: return SetModemLine(fd_, TIOCM_RTS, false);
      case LineRts::kOn: return SetModemLine(fd_, TIOCM_RTS, true);
      case LineRts::kHandshake: return true;  // CRTSCTS drives it
      case LineRts::kToggle: {
        // RTS raised only while sending: the kernel's RS-485 mode. A device without it
        // refuses the setting rather than running without the direction control.
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        return ioctl(fd_, TIOCSRS485, &rs485) == 0;
      }
    }
    return false;
  }

  int fd_;
  int readiness_;
};

// What mends an open failure, where one is known.
const char* OpenErrorHint(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return "no such device; is it plugged in, and is the [ports] line right?";
    case EACCES:
    case EPERM: return "add the user to the dialout group";
    case EBUSY:
    case EWOULDBLOCK: return "another program holds the port";
    case ENOTTY:
    case EISDIR: return "not a serial device";
    default: return nullptr;
  }
}

}  // namespace

std::unique_ptr<SerialDevice> OpenPosixSerialDevice(const std::string& path, int* errorNumber) {
  auto fail = [&](int fd) -> std::unique_ptr<SerialDevice> {
    const int error = errno;
    if (fd >= 0) close(fd);
    if (errorNumber) *errorNumber = error;
    return nullptr;
  };
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(fd);
  if (!isatty(fd)) {
    errno = ENOTTY;
    return fail(fd);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd);
  if (ioctl(fd, TIOCEXCL) != 0) return fail(fd);
  const int readiness = EdgeReadiness(fd);
  if (readiness < 0) return fail(fd);
  if (errorNumber) *errorNumber = 0;
  return std::make_unique<PosixSerialDevice>(fd, readiness);
}

SerialDeviceFactory PosixSerialDeviceFactory() {
  return [](const std::string& path) {
    int error = 0;
    auto device = OpenPosixSerialDevice(path, &error);
    return device ? OpenedDevice(std::move(device)) : OpenedDevice::Failed(error);
  };
}

Failure OpenFailure(const std::string& path, int errorNumber) {
  if (errorNumber == 0) return Failure::FromText(path + ": cannot open (cause not known)");
  Failure failure = Failure::FromErrno(errorNumber, path);
  if (const char* hint = OpenErrorHint(errorNumber)) failure.remedy = hint;
  return failure;
}

}  // namespace orvelgate
