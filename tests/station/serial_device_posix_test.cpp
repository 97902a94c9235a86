#include "station/serial_device_posix.h"

// termios2, to read back what the device set on the line (clashes with <termios.h>).
#include <asm/termbits.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "support/pty.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::Pty;

termios2 LineOf(int fd) {
  termios2 t{};
  EXPECT_EQ(ioctl(fd, TCGETS2, &t), 0);
  return t;
}

TEST(PosixSerialDevice, RefusesWhatIsNotAUsableTerminal) {
  testing::TempDir dir;
  testing::WriteFileText(dir / "plain", "not a terminal");
  const std::pair<std::string, int> cases[] = {
      {(dir / "missing").string(), ENOENT},
      {(dir / "plain").string(), ENOTTY},
      {"/dev/null", ENOTTY},
  };
  for (const auto& [path, error] : cases) {
    int got = 0;
    EXPECT_EQ(OpenPosixSerialDevice(path, &got), nullptr) << path;
    EXPECT_EQ(got, error) << path;
  }
}

TEST(PosixSerialDevice, SecondOpenerFails) {
  Pty pty;
  int error = -1;
  auto first = OpenPosixSerialDevice(pty.SlavePath(), &error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(error, 0);
  auto second = OpenPosixSerialDevice(pty.SlavePath(), &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(error == EWOULDBLOCK || error == EBUSY) << error;
  first->Close();
  EXPECT_NE(OpenPosixSerialDevice(pty.SlavePath()), nullptr);  // free again
}

TEST(PosixSerialDevice, LockHoldsWithoutExclusiveMode) {
  // TIOCEXCL does not stop root; the lock does, for anyone.
  Pty pty;
  const int other = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  int error = 0;
  EXPECT_EQ(OpenPosixSerialDevice(pty.SlavePath(), &error), nullptr);
  EXPECT_EQ(error, EWOULDBLOCK);
  close(other);
}

TEST(PosixSerialDevice, ExclusiveModeWhileOpen) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  device->Close();
  ASSERT_EQ(ioctl(pty.SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST(PosixSerialDevice, ConfiguresARawLine) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  LineSettings s;
  s.baud = 2400;
  s.rts = LineRts::kOff;
  s.dtr = false;
  ASSERT_TRUE(device->Configure(s));
  termios2 t = LineOf(pty.SlaveFd());
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B2400));
  EXPECT_EQ(t.c_ospeed, 2400u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(PosixSerialDevice, SpeedsOutsideTheClassicSetGoThroughBother) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  for (uint32_t baud : {14400u, 56000u, 128000u, 256000u}) {
    LineSettings s;
    s.baud = baud;
    ASSERT_TRUE(device->Configure(s)) << baud;
    termios2 t = LineOf(pty.SlaveFd());
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << baud;
    EXPECT_EQ(t.c_ospeed, baud);
    EXPECT_EQ(t.c_ispeed, baud);
  }
}

TEST(PosixSerialDevice, FrameFormatAndFlowControl) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  struct {
    int dataBits;
    LineParity parity;
    LineStopBits stop;
    tcflag_t parityFlags, stopFlag;
  } cases[] = {
      {7, LineParity::kEven, LineStopBits::kTwo, PARENB, CSTOPB},
      {8, LineParity::kOdd, LineStopBits::kOne, PARENB | PARODD, 0},
      {6, LineParity::kMark, LineStopBits::kOne, PARENB | PARODD | CMSPAR, 0},
      {5, LineParity::kSpace, LineStopBits::kOneAndHalf, PARENB | CMSPAR, CSTOPB},
  };
  for (const auto& c : cases) {
    LineSettings s;
    s.dataBits = c.dataBits;
    s.parity = c.parity;
    s.stopBits = c.stop;
    s.rts = LineRts::kHandshake;
    s.xonXoff = true;
    ASSERT_TRUE(device->Configure(s)) << c.dataBits;
    termios2 t = LineOf(pty.SlaveFd());
    // A pseudo-terminal forces CS8 and clears PARENB whatever it is given; the other
    // bits show what was asked for.
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityFlags & (PARODD | CMSPAR));
    EXPECT_EQ(t.c_cflag & CSTOPB, c.stopFlag);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  }
}

TEST(PosixSerialDevice, RefusesImpossibleSettings) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  LineSettings zeroSpeed;
  zeroSpeed.baud = 0;  // B0 would hang the line up
  LineSettings nineBits;
  nineBits.dataBits = 9;
  LineSettings oneAndHalf;
  oneAndHalf.stopBits = LineStopBits::kOneAndHalf;  // only with 5 data bits
  LineSettings toggle;
  toggle.rts = LineRts::kToggle;  // a pseudo-terminal has no RS-485 mode
  for (const auto& s : {zeroSpeed, nineBits, oneAndHalf, toggle}) EXPECT_FALSE(device->Configure(s));
}

TEST(PosixSerialDevice, ReadsWritesAndPurges) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->Configure(LineSettings{}));
  EXPECT_EQ(device->BytesWaiting(), 0u);
  uint8_t buffer[16] = {};
  EXPECT_EQ(device->Read(buffer, sizeof buffer), 0);  // nothing waiting: no wait either

  const std::vector<uint8_t> in = {0x24, 0x0D, 0x0A, 0x00, 0xFF, 0x11, 0x13};  // raw: no translation
  ASSERT_TRUE(pty.Write(in));
  ASSERT_TRUE(pty.WaitSlaveWaiting(in.size(), 5s));
  EXPECT_EQ(device->BytesWaiting(), in.size());
  ASSERT_EQ(device->Read(buffer, sizeof buffer), static_cast<long>(in.size()));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + in.size()), in);

  const std::vector<uint8_t> out = {0x0A, 0x0D, 0x00, 0x7F};
  EXPECT_EQ(device->Write(out.data(), out.size()), 4);
  EXPECT_EQ(pty.Read(4, 5s), out);
  EXPECT_EQ(device->OutputQueued(), 0u);

  ASSERT_TRUE(pty.Write(in));
  ASSERT_TRUE(pty.WaitSlaveWaiting(in.size(), 5s));
  EXPECT_TRUE(device->Purge(true, true));
  EXPECT_EQ(device->BytesWaiting(), 0u);
}

TEST(PosixSerialDevice, ModemLinesAPseudoTerminalLacks) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->SetDtr(true));
  EXPECT_TRUE(device->SetDtr(false));
  EXPECT_EQ(device->ModemLines(), 0);
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// Edge, not level: bytes that merely wait (a partial packet) must not keep the port's
// event loop awake, and a hung-up terminal, which polls readable for ever, is told once.
TEST(PosixSerialDevice, ReadinessSignalsEachArrivalAndTheHangUpOnce) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  const int ready = device->ReadinessDescriptor();
  ASSERT_GE(ready, 0);
  EXPECT_FALSE(Readable(ready));
  EXPECT_EQ(device->TakeReadiness(), Readiness::kNone);

  for (std::size_t count : {5u, 30u}) {
    const std::size_t before = pty.SlaveWaiting();
    ASSERT_TRUE(pty.Write(std::vector<uint8_t>(count, 0x41)));
    ASSERT_TRUE(pty.WaitSlaveWaiting(before + count, 5s));
    EXPECT_TRUE(Readable(ready)) << count;
    EXPECT_EQ(device->TakeReadiness(), Readiness::kInput);
    EXPECT_FALSE(Readable(ready)) << "the bytes still wait, unread";
    EXPECT_EQ(device->TakeReadiness(), Readiness::kNone);
  }
  pty.CloseMaster();
  pollfd p{ready, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(device->TakeReadiness(), Readiness::kHangUp);
  EXPECT_FALSE(Readable(ready));
  EXPECT_EQ(device->BytesWaiting(), std::nullopt);
}

TEST(PosixSerialDevice, OpenFailureSaysWhyAndWhatMendsIt) {
  const std::pair<int, const char*> cases[] = {
      {EACCES, "/dev/ttyUSB0: Permission denied (errno 13); add the user to the dialout group"},
      {EPERM, "/dev/ttyUSB0: Operation not permitted (errno 1); add the user to the dialout group"},
      {ENOENT, "/dev/ttyUSB0: No such file or directory (errno 2); no such device; is it plugged "
               "in, and is the [ports] line right?"},
      {ENODEV, "/dev/ttyUSB0: No such device (errno 19); no such device; is it plugged in, and "
               "is the [ports] line right?"},
      {ENXIO, "/dev/ttyUSB0: No such device or address (errno 6); no such device; is it plugged "
              "in, and is the [ports] line right?"},
      {EBUSY, "/dev/ttyUSB0: Device or resource busy (errno 16); another program holds the port"},
      {EWOULDBLOCK, "/dev/ttyUSB0: Resource temporarily unavailable (errno 11); another program "
                    "holds the port"},
      {ENOTTY, "/dev/ttyUSB0: Inappropriate ioctl for device (errno 25); not a serial device"},
      {EISDIR, "/dev/ttyUSB0: Is a directory (errno 21); not a serial device"},
      {EIO, "/dev/ttyUSB0: Input/output error (errno 5)"},
      {0, "/dev/ttyUSB0: cannot open (cause not known)"},
  };
  for (const auto& [error, text] : cases) {
    const Failure failure = OpenFailure("/dev/ttyUSB0", error);
    EXPECT_EQ(failure.Describe(), text);
    EXPECT_EQ(failure.Errno(), error) << text;
  }
}

// The errno of a factory open, in a child that has given up root (root passes every
// permission check): what an operator outside the dialout group meets.
int OpenErrorAsNobody(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
    _exit(PosixSerialDeviceFactory()(path).error);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PosixSerialDevice, FactoryReportsWhyAnOpenFailed) {
  testing::TempDir dir;
  testing::WriteFileText(dir / "plain", "not a terminal");
  Pty locked;
  const int other = open(locked.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  const std::pair<std::string, int> cases[] = {
      {(dir / "missing").string(), ENOENT},
      {(dir / "plain").string(), ENOTTY},
      {dir.path().string(), EISDIR},
      {locked.SlavePath(), EWOULDBLOCK},
  };
  for (const auto& [path, error] : cases) {
    const OpenedDevice opened = PosixSerialDeviceFactory()(path);
    EXPECT_EQ(opened.device, nullptr) << path;
    EXPECT_EQ(opened.error, error) << path;
  }
  close(other);

  Pty mine;
  ASSERT_EQ(chmod(mine.SlavePath().c_str(), 0600), 0);
  EXPECT_EQ(OpenErrorAsNobody(mine.SlavePath()), EACCES);
  const OpenedDevice opened = PosixSerialDeviceFactory()(mine.SlavePath());
  EXPECT_NE(opened.device, nullptr);
  EXPECT_EQ(opened.error, 0);
}

TEST(PosixSerialDevice, HangUpReadsAsGone) {
  Pty pty;
  auto device = OpenPosixSerialDevice(pty.SlavePath());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->BytesWaiting(), 0u);
  pty.CloseMaster();
  EXPECT_EQ(device->BytesWaiting(), std::nullopt);
  const uint8_t byte = 0x55;
  EXPECT_EQ(device->Write(&byte, 1), -1);
}

}  // namespace
}  // namespace orvelgate
