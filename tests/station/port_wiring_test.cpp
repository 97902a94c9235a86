// The serial port wired to the packet handler over a real pseudo-terminal: frames from
// the station's side are acknowledged on the same line and turned into events.

#include "station/port_wiring.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/random_source.h"
#include "framecodec/frame_codec.h"
#include "station/qt_app.h"
#include "station/serial_settings.h"
#include "support/fake_clock.h"
#include "support/pty.h"
#include "support/temp_dir.h"

extern char** environ;

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using testing::Pty;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

// The driver's journaling stage without its journal: the acknowledgement straight back
// to the port, as the stage writes it once the frame's events are synced; the events
// and indicator draws are noted.
class EventSink : public PacketHandlerHost {
 public:
  explicit EventSink(SerialPort& port) : port_(port) {}
  void SendBytes(std::span<const uint8_t> bytes) override {
    ++acks;
    port_.SendBytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  void RouteEvent(const EventRecord& current) override { events.push_back(current); }
  void DrawStationIndicator() override { ++draws; }
  void SendT7EventReport(int32_t, const std::string&, uint8_t, DayCount) override { ++reports; }

  std::vector<EventRecord> events;
  int draws = 0, reports = 0, acks = 0;

 private:
  SerialPort& port_;
};

PortResolver MapCom3To(const std::string& path) {
  return MakePortResolver([path](const std::string& name) -> std::optional<std::string> {
    if (name == "COM3") return path;
    return std::nullopt;
  });
}

CalendarTime FrameTime() {
  CalendarTime t;
  t.year = 2024;
  t.month = 5;
  t.day = 6;
  t.hour = 7;
  t.minute = 8;
  t.second = 9;
  return t;
}

const GbEcho kEcho{0xDE, 0xAD, 0xBE, 0xEF};

Bytes GbBytes(uint8_t group = 1) {
  GbFields f;
  f.echo = kEcho;
  f.object = 123;
  f.group = group;
  f.code = "E1";
  f.time = FrameTime();
  const GbFrame frame = EncodeGbFrame(f, 0x5C);
  return Bytes(frame.begin(), frame.end());
}

Bytes CnBytes(bool noEvent = false) {
  CnFields f;
  f.minute = 0x08;
  f.hour = 0x07;
  f.day = 0x06;
  f.month = 0x05;
  f.year = 0x24;
  f.objectHigh = 0x01;
  f.objectLow = 0x23;
  f.code = 1;  // AB
  const CnFrame frame = EncodeCnFrame(f, 0x3A, noEvent, 0x77);
  return Bytes(frame.begin(), frame.end());
}

Bytes AsciiBytes() {
  const AsciiFrame frame = EncodeAsciiFrame('1', "0123", "01");
  return Bytes(frame.begin(), frame.end());
}

// The driver's station line: port, handler and its host, as the driver puts them
// together.
struct StationLine {
  StationLine(const std::string& slave, Clock* clock, const std::filesystem::path& log)
      : port(Environment(slave, clock)),
        sink(port),
        handler(sink, clock ? *clock : DefaultClock(), random, log.string()) {
    testing::EnsureCoreApplication();
    LoadDesignValues(port);
    ConnectPacketHandler(port, handler);
  }
  static SerialPortEnvironment Environment(const std::string& slave, Clock* clock) {
    SerialPortEnvironment env;
    env.clock = clock;
    env.resolvePort = MapCom3To(slave);
    return env;
  }
  void Open(const std::string& comBaudRate) {
    ApplyStartupSettings(port, StartupSettings("COM3", comBaudRate));
    ASSERT_TRUE(port.OpenPort());
  }

  SerialPort port;
  EventSink sink;
  SystemRandom random;
  PacketHandler handler;
};

// Every kind of frame, written byte by byte at the pace of the configured speed, with
// the port's time driven in step with the writing.
struct Paced {
  const char* kind;
  uint32_t baud;
};
void PrintTo(const Paced& p, std::ostream* os) { *os << p.kind << " at " << p.baud; }

class PacedFramesAcknowledged : public ::testing::TestWithParam<Paced> {};

TEST_P(PacedFramesAcknowledged, OnTheLine) {
  const Paced c = GetParam();
  TempDir dir;
  Pty pty;
  FakeClock clock(45000.5);
  StationLine line(pty.SlavePath(), &clock, dir / "orvelgate.log");
  line.Open(std::to_string(c.baud));
  std::size_t consumed = 0;
  auto handle = line.port.OnReceivePacket;
  line.port.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    consumed += n;
    handle(p, n);
  };

  const std::string kind = c.kind;
  const Bytes frame = kind == "GB" ? GbBytes() : kind == "CN" ? CnBytes() : AsciiBytes();
  const double perByte = 10000.0 / c.baud;
  std::size_t written = 0;
  for (uint32_t ms = 0; ms < 3000 && line.sink.events.empty(); ++ms) {
    while (written < frame.size() && written * perByte <= ms) {
      ASSERT_TRUE(pty.Write(Bytes{frame[written++]}));
    }
    if (ms % 5 == 0) {
      ASSERT_TRUE(pty.WaitSlaveWaiting(written - consumed, 5s));
      line.port.PollTick();
    }
    clock.Advance(1);
  }
  ASSERT_EQ(line.sink.events.size(), 1u);
  const EventRecord& event = line.sink.events[0];
  EXPECT_EQ(event.Account, 40123);

  if (kind == "GB") {
    const Bytes ack = pty.Read(kGbAckSize, 5s);
    const auto sent = VerifyGbAck(ack, kEcho);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->year, DecodeDateTime(clock.LocalNow())->year);
    EXPECT_EQ(event.Code, "E1");
    EXPECT_EQ(event.EventTime, *EncodeDateTime(FrameTime()));
  } else if (kind == "CN") {
    EXPECT_TRUE(VerifyCnAck(pty.Read(kCnAckSize, 5s)));
    EXPECT_EQ(event.Code, "AB");
  } else {
    EXPECT_EQ(event.Code, "01");
    EXPECT_EQ(line.sink.draws, 1);
  }
  EXPECT_TRUE(pty.ReadFor(50ms).empty());  // nothing more, and nothing for an ASCII frame
  EXPECT_EQ(line.sink.acks, kind == "ASCII" ? 0 : 1);

  // The packet log holds the frame whole, with its size line.
  Bytes expected = frame;
  const std::string size = "Packsize " + std::to_string(frame.size()) + "\r\n";
  expected.insert(expected.end(), size.begin(), size.end());
  const Bytes log = testing::ReadFileBytes(dir / "orvelgate.log");
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(Bytes(log.begin(), log.begin() + static_cast<long>(expected.size())), expected);
}

INSTANTIATE_TEST_SUITE_P(LineSpeeds, PacedFramesAcknowledged,
                         ::testing::Values(Paced{"GB", 2400}, Paced{"CN", 2400}, Paced{"ASCII", 2400},
                                           Paced{"GB", 9600}, Paced{"CN", 9600}, Paced{"ASCII", 9600},
                                           Paced{"GB", 115200}, Paced{"CN", 115200},
                                           Paced{"ASCII", 115200}),
                         [](const auto& info) {
                           return std::string(info.param.kind) + "At" + std::to_string(info.param.baud);
                         });

TEST(PortWiring, LineNoiseIsLoggedWholeAndNeverAnswered) {
  TempDir dir;
  Pty pty;
  FakeClock clock(45000.5);
  StationLine line(pty.SlavePath(), &clock, dir / "orvelgate.log");
  line.Open("9600");
  std::vector<Bytes> packets;
  auto handle = line.port.OnReceivePacket;
  line.port.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    packets.emplace_back(p, p + n);
    handle(p, n);
  };

  // Bursts of random bytes of random lengths, some of them the lengths of real frames.
  std::mt19937 rng(2024);
  Bytes noise;
  std::size_t consumed = 0;
  for (int burst = 0; burst < 60; ++burst) {
    const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 90)(rng);
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    noise.insert(noise.end(), bytes.begin(), bytes.end());
    ASSERT_TRUE(pty.Write(bytes));
    for (int tick = 0; tick < 40; ++tick) {  // 200 ms: past the 28 ms time-out
      ASSERT_TRUE(pty.WaitSlaveWaiting(noise.size() - consumed, 5s));
      clock.Advance(5);
      line.port.PollTick();
      consumed = 0;
      for (const Bytes& p : packets) consumed += p.size();
    }
  }
  // Every byte reached the handler, in order, and the packet log holds each packet
  // followed by its size line.
  Bytes delivered, log;
  for (const Bytes& p : packets) {
    delivered.insert(delivered.end(), p.begin(), p.end());
    log.insert(log.end(), p.begin(), p.end());
    const std::string size = "Packsize " + std::to_string(p.size()) + "\r\n";
    log.insert(log.end(), size.begin(), size.end());
  }
  EXPECT_EQ(delivered, noise);
  EXPECT_EQ(testing::ReadFileBytes(dir / "orvelgate.log"), log);
  EXPECT_TRUE(pty.ReadFor(50ms).empty());
  // ASCII frames carry no check: a 13-byte packet that starts with a digit is an event.
  std::size_t asciiEvents = 0;
  for (const Bytes& p : packets) asciiEvents += p.size() == 13 && p[0] >= '0' && p[0] <= '9';
  EXPECT_EQ(line.sink.events.size(), asciiEvents);
}

TEST(PortWiring, TimerDrivenLineAnswersEveryValidFrameOnly) {
  TempDir dir;
  Pty pty;
  StationLine line(pty.SlavePath(), nullptr, dir / "orvelgate.log");
  line.Open("9600");
  struct {
    Bytes frame;
    std::size_t ackSize;
    std::size_t events;
  } steps[] = {
      {GbBytes(), kGbAckSize, 1},     {CnBytes(), kCnAckSize, 2},
      {GbBytes(0), kGbAckSize, 2},    {CnBytes(true), kCnAckSize, 2},  // no event
      {[] { Bytes b = GbBytes(); b[27] ^= 1; return b; }(), 0, 2},     // check byte off
      {[] { Bytes b = CnBytes(); b[20] ^= 1; return b; }(), 0, 2},     // XOR check broken
      {AsciiBytes(), 0, 3},
  };
  const auto logSize = [&] { return std::filesystem::file_size(dir / "orvelgate.log"); };
  int step = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(step++);
    const std::uintmax_t logged = std::filesystem::exists(dir / "orvelgate.log") ? logSize() : 0;
    ASSERT_TRUE(pty.Write(s.frame));
    // The handler logs every packet first and answers within the same call.
    ASSERT_TRUE(testing::RunEventsUntil(
        [&] { return std::filesystem::exists(dir / "orvelgate.log") && logSize() > logged; }, 5000));
    const Bytes answer = pty.Read(s.ackSize > 0 ? s.ackSize : 64, s.ackSize > 0 ? 5000ms : 50ms);
    if (s.ackSize == kGbAckSize) {
      EXPECT_TRUE(VerifyGbAck(answer, kEcho).has_value());
    } else if (s.ackSize == kCnAckSize) {
      EXPECT_TRUE(VerifyCnAck(answer));
    } else {
      EXPECT_TRUE(answer.empty()) << answer.size();
    }
    EXPECT_EQ(line.sink.events.size(), s.events);
  }
}

// Runs a program with its standard output on a pipe; kills it if still running at the end.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  bool Started() const { return pid_ > 0; }
  // One line of its output, without the line end; empty at the deadline.
  std::string ReadLine(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return {};
    }
  }
  bool Exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  int ExitCode() const { return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  std::string RestOfOutput() {
    while (Fill(0)) {
    }
    return std::exchange(buffer_, {});
  }

 private:
  bool Fill(int waitMs) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::string buffer_;
};

TEST(PortWiring, StationSimulatorFramesAreAcknowledged) {
  const std::string sim = ORVELGATE_BINARY_DIR "/tools/station-sim/station-sim";
  ASSERT_EQ(access(sim.c_str(), X_OK), 0) << sim << " is not built";
  Child child({sim, "--wait-open", "10000", "--burst", "--seed", "7", "--settle", "300", "gb",
               "cn", "gb:noevent", "gb:corrupt", "ascii,object=0042"});
  ASSERT_TRUE(child.Started());
  const std::string ready = child.ReadLine(10s);
  ASSERT_EQ(ready.rfind("READY /dev/", 0), 0u) << ready;

  TempDir dir;
  StationLine line(ready.substr(6), nullptr, dir / "orvelgate.log");
  line.Open("9600");
  ASSERT_TRUE(testing::RunEventsUntil([&] { return child.Exited(); }, 30000));
  const std::string output = child.RestOfOutput();
  EXPECT_EQ(child.ExitCode(), 0) << output;
  EXPECT_NE(output.find("FRAME 1 gb ok ack"), std::string::npos) << output;
  EXPECT_NE(output.find("FRAME 2 cn ok ack"), std::string::npos) << output;
  EXPECT_NE(output.find("FRAME 4 gb:corrupt ok no-answer"), std::string::npos) << output;
  EXPECT_NE(output.find("SUMMARY frames=5 acked=3 unanswered=2 bad_acks=0 missing_acks=0"),
            std::string::npos)
      << output;
  ASSERT_EQ(line.sink.events.size(), 3u);  // gb, cn, ascii
  EXPECT_EQ(line.sink.events[0].Account, 40123);
  EXPECT_EQ(line.sink.events[2].Account, 40042);
  // The simulator has gone: its line hung up, and the port let it go.
  EXPECT_TRUE(testing::RunEventsUntil([&] { return !line.port.IsOpen(); }, 5000));
}

}  // namespace
}  // namespace orvelgate
