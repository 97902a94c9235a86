// The port component over a real pseudo-terminal: the test plays the station on the
// master side.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "station/serial_port.h"
#include "station/serial_device_posix.h"
#include "station/qt_app.h"
#include "station/recording_port_waking.h"
#include "station/serial_settings.h"
#include "support/fake_clock.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::Pty;
using Bytes = std::vector<uint8_t>;

Bytes Frame(std::size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return bytes;
}

// The answer the test's handler sends back for a packet: its size and first byte.
Bytes AnswerFor(const Bytes& packet) {
  return {'A', static_cast<uint8_t>(packet.size()), packet.empty() ? uint8_t{0} : packet[0]};
}

PortResolver MapTo(const std::string& path) {
  return MakePortResolver([path](const std::string& name) -> std::optional<std::string> {
    if (name == "COM3") return path;
    return std::nullopt;
  });
}

class PtyPortTest : public ::testing::Test {
 protected:
  explicit PtyPortTest(Clock* clock = nullptr) : port_(Environment(clock)) {
    testing::EnsureCoreApplication();
    port_.SetPortName(PortNameFor("COM3"));
    port_.OnReceivePacket = [this](const uint8_t* p, uint32_t n) {
      packets_.emplace_back(p, p + n);
      const Bytes answer = AnswerFor(packets_.back());
      port_.SendBytes(answer.data(), static_cast<uint32_t>(answer.size()));
    };
  }

  SerialPortEnvironment Environment(Clock* clock) {
    SerialPortEnvironment env;
    env.clock = clock;
    env.resolvePort = MapTo(pty_.SlavePath());
    env.wake = testing::RecordingPortWaking(waking_);
    // The real device, with every open of it written down.
    env.openDevice = [this](const std::string& path) {
      opens_.push_back(path);
      return PosixSerialDeviceFactory()(path);
    };
    return env;
  }

  Pty pty_;
  std::vector<Bytes> packets_;
  std::vector<std::string> opens_;  // every device path the port asked to open
  testing::WakingState waking_;     // what the port asked of its readiness watch and timer
  SerialPort port_;
};

TEST_F(PtyPortTest, OpensThroughThePortsMapping) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(opens_, std::vector<std::string>{pty_.SlavePath()});
  EXPECT_EQ(port_.OutputRoom(), 2048);
  port_.SetDTR(true);  // a pseudo-terminal has no DTR: quietly nothing
  EXPECT_TRUE(port_.IsOpen());
}

TEST_F(PtyPortTest, SecondOpenerOfTheSamePortFails) {
  ASSERT_TRUE(port_.OpenPort());
  SerialPortEnvironment env;
  env.resolvePort = MapTo(pty_.SlavePath());
  SerialPort second(env);
  second.SetPortName(PortNameFor("COM3"));
  EXPECT_FALSE(second.OpenPort());
  EXPECT_FALSE(second.IsOpen());
  port_.ClosePort();
  EXPECT_TRUE(second.OpenPort());
  EXPECT_FALSE(port_.OpenPort());
}

// Why an open failed stays with the port for the journal; the operator's texts do not
// change. Real paths, opened by the production factory.
TEST(SerialPortOpenError, KeepsTheCauseOfTheLastFailure) {
  testing::TempDir dir;
  testing::WriteFileText(dir / "plain", "not a terminal");
  Pty held, free;
  const int other = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  const std::string missing = (dir / "missing").string();
  const std::string plain = (dir / "plain").string();
  const std::map<std::string, std::string> ports = {
      {"COM3", missing}, {"COM4", plain}, {"COM5", held.SlavePath()}, {"COM6", free.SlavePath()}};
  SerialPortEnvironment env;
  env.resolvePort = MakePortResolver([&](const std::string& name) -> std::optional<std::string> {
    const auto it = ports.find(name);
    if (it == ports.end()) return std::nullopt;
    return it->second;
  });
  SerialPort port(env);
  struct Case {
    const char* name;
    std::string text;  // empty: it opens
    int error;
  };
  const Case cases[] = {
      {"COM3",
       missing + ": No such file or directory (errno 2); no such device; is it plugged in, "
                 "and is the [ports] line right?",
       ENOENT},
      {"COM4", plain + ": Inappropriate ioctl for device (errno 25); not a serial device", ENOTTY},
      {"COM5",
       held.SlavePath() + ": Resource temporarily unavailable (errno 11); another program "
                          "holds the port",
       EWOULDBLOCK},
      {"LPT1", "\\\\.\\LPT1: no device for this port name", 0},
      {"COM6", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.SetPortName(PortNameFor(c.name));
    EXPECT_EQ(port.OpenPort(), c.text.empty());
    ASSERT_EQ(port.LastOpenError().has_value(), !c.text.empty());
    if (!port.LastOpenError()) continue;
    EXPECT_EQ(port.LastOpenError()->Describe(), c.text);
    EXPECT_EQ(port.LastOpenError()->Errno(), c.error);
  }
  close(other);
}

TEST_F(PtyPortTest, TimerDeliversFramesAndAnswersGoBackOnTheLine) {
  port_.SetBaudRate(9600);
  port_.SetPacketTimeout(28);
  ASSERT_TRUE(port_.OpenPort());
  const Bytes frames[] = {Frame(35, 1), Frame(31, 2), Frame(13, 3)};
  for (const Bytes& frame : frames) {
    const std::size_t before = packets_.size();
    ASSERT_TRUE(pty_.WritePaced(frame, 115200));  // 3 ms a frame: well within one quiet gap
    ASSERT_TRUE(testing::RunEventsUntil([&] { return packets_.size() > before; }, 5000));
    EXPECT_EQ(packets_.back(), frame);
    EXPECT_EQ(pty_.Read(3, 5s), AnswerFor(frame));
  }
  EXPECT_EQ(packets_.size(), 3u);
}

TEST_F(PtyPortTest, DeviceGoingAwayClosesThePort) {
  ASSERT_TRUE(port_.OpenPort());
  int lost = 0;
  port_.OnDeviceLost = [&] { ++lost; };
  ASSERT_TRUE(pty_.Write(Frame(35, 9)));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !packets_.empty(); }, 5000));
  pty_.CloseMaster();
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !port_.IsOpen(); }, 5000));
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(waking_.timerActive);
  EXPECT_FALSE(waking_.watching);
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_F(PtyPortTest, HangUpWhileAPartialPacketWaitsClosesThePort) {
  port_.SetPacketTimeout(0);  // the partial packet would wait for ever
  ASSERT_TRUE(port_.OpenPort());
  int lost = 0;
  port_.OnDeviceLost = [&] { ++lost; };
  ASSERT_TRUE(pty_.Write(Frame(5, 9)));
  ASSERT_TRUE(pty_.WaitSlaveWaiting(5, 5s));
  testing::RunEventsUntil([] { return false; }, 50);  // the notifier has its turn
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_FALSE(waking_.timerActive);  // no time-out: nothing to wake for
  pty_.CloseMaster();
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !port_.IsOpen(); }, 5000));
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(waking_.watching);
  EXPECT_TRUE(packets_.empty());
}

TEST_F(PtyPortTest, SendGivesUpWhenTheLineTakesNothing) {
  // Nobody reads the master: once the pseudo-terminal's buffers are full, a send ends
  // after the output time-out instead of blocking.
  ASSERT_TRUE(port_.OpenPort());
  const Bytes block(1024, 0x5A);
  uint32_t last = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    last = port_.SendBytes(block.data(), static_cast<uint32_t>(block.size()));
    if (last < block.size()) break;
  }
  EXPECT_LT(last, block.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

// Frames written byte by byte at the pace of a line, with the time of the component
// driven by a fake clock in step with the writing: a tick every 5 ms of line time,
// after the bytes of that time have reached the slave side.
struct PacedFrame {
  const char* kind;
  std::size_t size;
  uint32_t baud;
};
void PrintTo(const PacedFrame& c, std::ostream* os) {
  *os << c.kind << " at " << c.baud << " bit/s";
}

class PacedOverPty : public ::testing::TestWithParam<PacedFrame> {
 protected:
  FakeClock clock_;
  Pty pty_;
};

TEST_P(PacedOverPty, ArrivesWholeAndIsAnswered) {
  const PacedFrame c = GetParam();
  SerialPortEnvironment env;
  env.clock = &clock_;
  env.resolvePort = MapTo(pty_.SlavePath());
  SerialPort port(env);
  ApplyStartupSettings(port, StartupSettings("COM3", std::to_string(c.baud)));
  std::vector<Bytes> packets;
  port.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    packets.emplace_back(p, p + n);
    const Bytes answer = AnswerFor(packets.back());
    port.SendBytes(answer.data(), static_cast<uint32_t>(answer.size()));
  };
  ASSERT_TRUE(port.OpenPort());

  // Two frames with a pause between them, the way a station sends.
  const Bytes first = Frame(c.size, 0x10);
  const Bytes second = Frame(c.size, 0x20);
  const uint32_t pauseMs = static_cast<uint32_t>(port.PacketTimeout()) + 50;
  std::vector<std::pair<double, uint8_t>> schedule;  // line time in ms, byte
  const double perByte = 10000.0 / c.baud;
  for (std::size_t i = 0; i < first.size(); ++i) schedule.emplace_back(i * perByte, first[i]);
  const double secondStart = first.size() * perByte + pauseMs;
  for (std::size_t i = 0; i < second.size(); ++i) {
    schedule.emplace_back(secondStart + i * perByte, second[i]);
  }

  std::size_t written = 0, consumed = 0;
  for (uint32_t ms = 0; ms < 5000 && packets.size() < 2; ++ms) {
    while (written < schedule.size() && schedule[written].first <= ms) {
      ASSERT_TRUE(pty_.Write(Bytes{schedule[written++].second}));
    }
    if (ms % 5 == 0) {
      ASSERT_TRUE(pty_.WaitSlaveWaiting(written - consumed, 5s));
      port.PollTick();
      consumed = 0;
      for (const Bytes& p : packets) consumed += p.size();
    }
    clock_.Advance(1);
  }
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], first);
  EXPECT_EQ(packets[1], second);
  EXPECT_EQ(pty_.Read(6, 5s), (Bytes{'A', static_cast<uint8_t>(c.size), first[0], 'A',
                                     static_cast<uint8_t>(c.size), second[0]}));
}

INSTANTIATE_TEST_SUITE_P(
    LineSpeeds, PacedOverPty,
    ::testing::Values(PacedFrame{"GB", 35, 2400}, PacedFrame{"CN", 31, 2400},
                      PacedFrame{"ASCII", 13, 2400}, PacedFrame{"GB", 35, 9600},
                      PacedFrame{"CN", 31, 9600}, PacedFrame{"ASCII", 13, 9600},
                      PacedFrame{"GB", 35, 115200}, PacedFrame{"CN", 31, 115200},
                      PacedFrame{"ASCII", 13, 115200}),
    [](const auto& info) {
      return std::string(info.param.kind) + "At" + std::to_string(info.param.baud);
    });

}  // namespace
}  // namespace orvelgate
