#include "station/serial_port.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <tuple>

#include "station/fake_serial_device.h"
#include "framecodec/frame_codec.h"
#include "station/qt_app.h"
#include "station/recording_port_waking.h"
#include "station/serial_settings.h"
#include "support/pty.h"

namespace orvelgate {
namespace {

using testing::FakeLine;
using testing::FakeSerialDevice;
using Bytes = std::vector<uint8_t>;

Bytes Sequence(std::size_t count, uint8_t first = 0) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// A port with the driver's design values and a fake clock, over a scripted device or
// over a real pseudo-terminal (the test then writes the station's bytes to its master
// and waits until they are waiting on the slave side before it ticks).
enum class LineKind { kScripted, kPty };
void PrintTo(LineKind kind, std::ostream* os) { *os << (kind == LineKind::kPty ? "pty" : "scripted"); }

class PortFixture {
 protected:
  explicit PortFixture(LineKind kind)
      : pty_(kind == LineKind::kPty ? std::make_unique<testing::Pty>() : nullptr),
        port_(Environment()) {
    testing::EnsureCoreApplication();
    port_.SetPortName(PortNameFor("COM3"));
    port_.OnReceivePacket = [this](const uint8_t* p, uint32_t n) { packets_.emplace_back(p, p + n); };
  }

  SerialPortEnvironment Environment() {
    SerialPortEnvironment env;
    env.clock = &clock_;
    env.wake = testing::RecordingPortWaking(waking_);
    if (pty_) {
      env.resolvePort = MakePortResolver([path = pty_->SlavePath()](const std::string&) {
        return std::optional<std::string>(path);
      });
      return env;
    }
    env.openDevice = [this](const std::string& path) -> std::unique_ptr<SerialDevice> {
      opened_.push_back(path);
      if (refuseOpen_) return nullptr;
      return std::make_unique<FakeSerialDevice>(line_, clock_);
    };
    env.resolvePort = MakePortResolver(nullptr);
    return env;
  }

  void Open() {
    ASSERT_TRUE(port_.OpenPort());
    line_->purges.clear();
  }
  // Bytes from the station, waiting for the port when this returns.
  void Arrive(const Bytes& bytes) {
    if (!pty_) {
      line_->Arrive(bytes);
      return;
    }
    const std::size_t before = pty_->SlaveWaiting();
    ASSERT_TRUE(pty_->Write(bytes));
    ASSERT_TRUE(pty_->WaitSlaveWaiting(before + bytes.size(), std::chrono::seconds(5)));
  }
  // Bytes the port has not read yet.
  std::size_t Waiting() const { return pty_ ? pty_->SlaveWaiting() : line_->input.size(); }
  void Tick(uint32_t ms = 5) {
    clock_.Advance(ms);
    port_.PollTick();
  }
  // Ticks every 5 ms until a packet comes or limitMs passes; the time it took.
  uint32_t TicksUntilPacket(uint32_t limitMs) {
    const std::size_t before = packets_.size();
    uint32_t waited = 0;
    while (packets_.size() == before && waited < limitMs) {
      Tick();
      waited += 5;
    }
    return waited;
  }

  FakeClock clock_;
  std::shared_ptr<FakeLine> line_ = std::make_shared<FakeLine>();
  std::unique_ptr<testing::Pty> pty_;
  bool refuseOpen_ = false;
  std::vector<std::string> opened_;
  std::vector<Bytes> packets_;
  testing::WakingState waking_;  // what the port asked of its readiness watch and timer
  SerialPort port_;
};

// Over the scripted device, which can also fail in ways a pseudo-terminal cannot.
class PortTest : public ::testing::Test, protected PortFixture {
 protected:
  PortTest() : PortFixture(LineKind::kScripted) {}
};

// Packet assembly, over both lines.
class PacketAssembly : public ::testing::TestWithParam<LineKind>, protected PortFixture {
 protected:
  PacketAssembly() : PortFixture(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Lines, PacketAssembly,
                         ::testing::Values(LineKind::kScripted, LineKind::kPty),
                         [](const auto& info) {
                           return info.param == LineKind::kPty ? "Pty" : "Scripted";
                         });

// --- properties ---------------------------------------------------------------------

// A port starts from the window's design values: there is no other set to drift from.
// The line (2400 bit/s 8N1, RTS and DTR low, no XON/XOFF) shows on the device when the port opens;
// partial packets passed on, the 200 ms write limit and the unchecked modem lines show in
// what the port does (the fixture's port below is as constructed).
TEST(SerialPortProperties, StartsFromTheDesignValues) {
  SerialPort port;
  EXPECT_EQ(port.PortName(), "\\\\.\\COM1");
  EXPECT_EQ(port.InBufSize(), 2048u);
  EXPECT_EQ(port.OutBufSize(), 2048u);
  EXPECT_EQ(port.PacketSize(), 35);
  EXPECT_EQ(port.PacketTimeout(), 70);
  EXPECT_EQ(port.PollingDelay(), 5);
  EXPECT_FALSE(port.IsOpen());
}

TEST(SerialPortProperties, ClampingRules) {
  SerialPort port;
  struct {
    int16_t set;
    int16_t want;
  } packetSizes[] = {{0, -1}, {-5, -1}, {1, 1}, {35, 35}};
  for (auto c : packetSizes) {
    port.SetPacketSize(c.set);
    EXPECT_EQ(port.PacketSize(), c.want) << c.set;
  }
  struct {
    uint16_t set;
    uint16_t want;
  } delays[] = {{3, 5}, {0, 5}, {5, 5}, {6, 6}, {1000, 1000}};
  for (auto c : delays) {
    port.SetPollingDelay(c.set);
    EXPECT_EQ(port.PollingDelay(), c.want) << c.set;
  }
  struct {
    uint32_t set;
    uint32_t want;
  } sizes[] = {{100000, 8192}, {10, 128}, {128, 128}, {4000, 4000}};
  for (auto c : sizes) {
    port.SetInBufSize(c.set);
    EXPECT_EQ(port.InBufSize(), c.want) << c.set;
    port.SetOutBufSize(c.set);
    EXPECT_EQ(port.OutBufSize(), c.want) << c.set;
  }
  struct {
    int32_t set;
    int32_t want;
  } timeouts[] = {{0, -1}, {-7, -1}, {1, 1}, {70, 70}};
  for (auto c : timeouts) {
    port.SetPacketTimeout(c.set);
    EXPECT_EQ(port.PacketTimeout(), c.want) << c.set;
  }
}

TEST(SerialPortProperties, PacketSizeAndInBufSizeKeepEachOtherInStep) {
  SerialPort port;
  port.SetInBufSize(128);
  port.SetPacketSize(300);  // above the buffer: the buffer grows to it
  EXPECT_EQ(port.InBufSize(), 300u);
  EXPECT_EQ(port.PacketSize(), 300);
  port.SetInBufSize(200);   // below the packet: setting the packet again raises it back
  EXPECT_EQ(port.InBufSize(), 300u);
  port.SetPacketSize(10000);  // the buffer stops at 8192, and so does the packet
  EXPECT_EQ(port.InBufSize(), 8192u);
  EXPECT_EQ(port.PacketSize(), 8192);
}

TEST(SerialPortProperties, TransmitTime) {
  SerialPort port;
  struct {
    uint32_t baud, count, ms;
  } cases[] = {{2400, 35, 146}, {9600, 35, 36}, {9600, 31, 32}, {2400, 13, 54},
               {115200, 1, 0},  {110, 1, 91},   {300, 3, 100},  {0, 35, 0}};
  for (auto c : cases) {
    port.SetBaudRate(c.baud);
    EXPECT_EQ(port.TransmitTimeMs(c.count), c.ms) << c.count << " at " << c.baud;
  }
}

TEST_F(PortTest, PropertiesFixedWhileOpen) {
  Open();
  port_.SetPortName(PortNameFor("COM9"));
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM3");
  port_.SetInBufSize(4096);
  EXPECT_EQ(port_.InBufSize(), 2048u);
  port_.SetOutBufSize(4096);
  EXPECT_EQ(port_.OutBufSize(), 2048u);
  port_.SetPacketSize(4000);  // cannot grow the buffer while open: held to it
  EXPECT_EQ(port_.PacketSize(), 2048);
  port_.ClosePort();
  port_.SetPortName(PortNameFor("COM9"));
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM9");
}

TEST_F(PortTest, LineSettingsReappliedWhileOpen) {
  Open();
  ASSERT_EQ(line_->configured.size(), 1u);
  port_.SetBaudRate(9600);
  port_.SetDataBits(7);
  port_.SetParity(LineParity::kEven);
  port_.SetStopBits(LineStopBits::kTwo);
  port_.SetRts(LineRts::kHandshake);
  port_.SetXonXoff(true);
  ASSERT_EQ(line_->configured.size(), 7u);
  const LineSettings& s = line_->configured.back();
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_EQ(s.parity, LineParity::kEven);
  EXPECT_EQ(s.stopBits, LineStopBits::kTwo);
  EXPECT_EQ(s.rts, LineRts::kHandshake);
  EXPECT_TRUE(s.xonXoff);
  EXPECT_EQ(s.xonChar, 0x11);
  EXPECT_EQ(s.xoffChar, 0x13);
  EXPECT_EQ(line_->purges.size(), 6u);  // every re-apply purges both queues
}

// --- open and close -----------------------------------------------------------------

// The fixture's port is as constructed: this is the line it starts with.
TEST_F(PortTest, OpenAppliesTheDesignLineAndWatchesReadiness) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(opened_, std::vector<std::string>{"/dev/ttyS2"});
  ASSERT_EQ(line_->configured.size(), 1u);
  const LineSettings& s = line_->configured[0];
  EXPECT_EQ(s.baud, 2400u);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.parity, LineParity::kNone);
  EXPECT_EQ(s.stopBits, LineStopBits::kOne);
  EXPECT_FALSE(s.dtr);
  EXPECT_EQ(s.rts, LineRts::kOff);
  EXPECT_FALSE(s.xonXoff);
  EXPECT_EQ(line_->purges, (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(waking_.watching);
  EXPECT_FALSE(waking_.timerActive);  // idle: nothing runs
  EXPECT_TRUE(port_.OpenPort());  // already open: true at once
  EXPECT_EQ(opened_.size(), 1u);
  port_.ClosePort();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(waking_.watching);
  EXPECT_FALSE(waking_.timerActive);
  EXPECT_TRUE(line_->closed);
}

TEST_F(PortTest, DeviceWithoutReadinessIsPolled) {
  line_->withReadiness = false;
  Open();
  EXPECT_FALSE(waking_.watching);
  EXPECT_TRUE(waking_.timerActive);
  EXPECT_EQ(waking_.interval, 5);
  port_.SetPollingDelay(20);
  EXPECT_TRUE(waking_.timerActive);
  EXPECT_EQ(waking_.interval, 20);
  line_->Arrive(Sequence(35));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !packets_.empty(); }, 5000));
  EXPECT_EQ(packets_[0], Sequence(35));
  EXPECT_TRUE(waking_.timerActive);  // the poll goes on
  port_.ClosePort();
  EXPECT_FALSE(waking_.timerActive);
}

// Each says why, without an errno where the device gave none.
TEST_F(PortTest, OpenFailuresLeaveNothingHalfOpen) {
  const auto lastError = [this] {
    return port_.LastOpenError() ? port_.LastOpenError()->Describe() : "(none)";
  };
  port_.SetPortName(PortNameFor("LPT1"));  // no mapping and not COMn
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(lastError(), "\\\\.\\LPT1: no device for this port name");

  port_.SetPortName(PortNameFor("COM3"));
  refuseOpen_ = true;  // missing or in use
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(lastError(), "/dev/ttyS2: cannot open (cause not known)");

  refuseOpen_ = false;
  line_->configureFails = true;  // settings refused
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(lastError(), "/dev/ttyS2: the device refused the line settings");
  ASSERT_TRUE(port_.LastOpenError());
  EXPECT_EQ(port_.LastOpenError()->Errno(), 0);
  EXPECT_FALSE(waking_.timerActive);
  EXPECT_FALSE(waking_.watching);
  EXPECT_TRUE(line_->closed);
}

// An open that throws leaves no cause behind: the one before would be taken for its own.
TEST(SerialPortOpenError, IsNotLeftOverFromAnEarlierOpen) {
  bool throwing = false;
  SerialPortEnvironment env;
  env.resolvePort = [&](const std::string&) -> std::optional<std::string> {
    if (throwing) throw std::runtime_error("the [ports] section cannot be read");
    return std::nullopt;
  };
  SerialPort port(env);
  EXPECT_FALSE(port.OpenPort());
  ASSERT_TRUE(port.LastOpenError());
  throwing = true;
  EXPECT_THROW(port.OpenPort(), std::runtime_error);
  EXPECT_FALSE(port.LastOpenError());
}

TEST_F(PortTest, ClosedPortAnswersEmpty) {
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(port_.OutputRoom(), -1);
  EXPECT_EQ(port_.ModemLines(), 0);
  EXPECT_EQ(port_.SendBytes(data, 3), 0u);
  EXPECT_FALSE(port_.PurgeBuffers(true, true));
  EXPECT_FALSE(port_.ApplySettings());
  port_.SetDTR(true);
  port_.PollTick();
  EXPECT_TRUE(line_->dtr.empty());
  EXPECT_TRUE(packets_.empty());
}

TEST_F(PortTest, DtrModemLinesAndRoom) {
  Open();
  port_.SetDTR(true);
  EXPECT_EQ(line_->dtr.back(), true);
  line_->modemLines = kModemCts | kModemCd;
  EXPECT_EQ(port_.ModemLines(), kModemCts | kModemCd);
  line_->outputQueued = 48;
  EXPECT_EQ(port_.OutputRoom(), 2000);
  line_->outputQueued = 5000;
  EXPECT_EQ(port_.OutputRoom(), 2048 - 5000);
}

// --- PollTick -----------------------------------------------------------------------

TEST_P(PacketAssembly, BurstOf35IsOnePacket) {
  Open();
  Arrive(Sequence(35));
  Tick();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], Sequence(35));
  Tick(200);
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_P(PacketAssembly, BurstOf70IsTwoPacketsInOneTick) {
  Open();
  Arrive(Sequence(70));
  Tick();
  ASSERT_EQ(packets_.size(), 2u);
  EXPECT_EQ(packets_[0], Sequence(35));
  EXPECT_EQ(packets_[1], Sequence(35, 35));
}

TEST_P(PacketAssembly, ShortFrameComesAfterTheTimeoutFromTheTickThatSawIt) {
  for (int32_t timeout : {70, 53, 28, 300}) {
    packets_.clear();
    port_.SetPacketTimeout(timeout);
    Open();
    Arrive(Sequence(13));
    Tick();  // this tick sees the first byte
    uint32_t since = 0;
    while (packets_.empty() && since < 1000) {
      Tick();
      since += 5;
    }
    ASSERT_EQ(packets_.size(), 1u) << timeout;
    EXPECT_EQ(packets_[0], Sequence(13));
    // The first 5 ms tick past the time-out.
    EXPECT_EQ(since, (static_cast<uint32_t>(timeout) / 5 + 1) * 5) << timeout;
    port_.ClosePort();
  }
}

TEST_P(PacketAssembly, FortyBytesGiveAPacketAndFivePending) {
  Open();
  Arrive(Sequence(40));
  Tick();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0].size(), 35u);
  EXPECT_EQ(Waiting(), 5u);
  EXPECT_EQ(TicksUntilPacket(1000), 75u);  // counted from the tick that took the packet
  ASSERT_EQ(packets_.size(), 2u);
  EXPECT_EQ(packets_[1], Sequence(5, 35));
}

TEST_P(PacketAssembly, PendingBytesCompletedToAFullPacket) {
  Open();
  Arrive(Sequence(5));
  Tick();
  Tick();
  Arrive(Sequence(30, 5));
  Tick();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], Sequence(35));
}

TEST_P(PacketAssembly, DiscardModeDropsAPartialPacket) {
  port_.SetPartialPackets(PartialPacket::kDiscard);
  Open();
  Arrive(Sequence(13));
  Tick();
  Tick(100);
  EXPECT_TRUE(packets_.empty());
  EXPECT_TRUE(Waiting() == 0);  // read and thrown away
  Arrive(Sequence(35));        // full packets still pass
  Tick();
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_P(PacketAssembly, NoTimeoutKeepsAPartialPacketWaiting) {
  port_.SetPacketTimeout(0);
  Open();
  Arrive(Sequence(13));
  for (int i = 0; i < 100; ++i) Tick();
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(Waiting(), 13u);
}

// Bytes arriving at the pace of a line, one millisecond at a time, with a tick every
// 5 ms: every frame must reach the handler whole, although at the slower speeds it
// takes longer to arrive than the packet time-out.
struct PacedCase {
  std::size_t frameSize;
  uint32_t baud;
  int32_t timeout;
};
void PrintTo(const PacedCase& c, std::ostream* os) {
  *os << c.frameSize << " bytes at " << c.baud << " bit/s, time-out " << c.timeout;
}

class PacedArrival : public PortTest, public ::testing::WithParamInterface<PacedCase> {};

TEST_P(PacedArrival, FrameArrivesWhole) {
  const PacedCase c = GetParam();
  port_.SetBaudRate(c.baud);
  port_.SetPacketTimeout(c.timeout);
  Open();
  const Bytes frame = Sequence(c.frameSize, 0x40);
  const double perByteMs = 10000.0 / c.baud;
  std::size_t sent = 0;
  for (uint32_t ms = 1; ms <= 2000 && packets_.empty(); ++ms) {
    clock_.Advance(1);
    while (sent < frame.size() && sent * perByteMs <= ms) line_->Arrive({frame[sent++]});
    if (ms % 5 == 0) port_.PollTick();
  }
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], frame);
}

INSTANTIATE_TEST_SUITE_P(
    LineSpeeds, PacedArrival,
    ::testing::Values(PacedCase{35, 2400, 53}, PacedCase{31, 2400, 53}, PacedCase{13, 2400, 53},
                      PacedCase{35, 9600, 28}, PacedCase{31, 9600, 28}, PacedCase{13, 9600, 28},
                      PacedCase{35, 115200, 300}, PacedCase{31, 115200, 300},
                      PacedCase{13, 115200, 300}, PacedCase{31, 2400, 70},
                      PacedCase{13, 110, 747}, PacedCase{31, 1200, 86}),
    [](const auto& info) {
      return std::to_string(info.param.frameSize) + "bytesAt" + std::to_string(info.param.baud) +
             "timeout" + std::to_string(info.param.timeout);
    });

TEST_P(PacketAssembly, PartialPacketWaitsForTheLineToGoQuiet) {
  port_.SetBaudRate(9600);
  port_.SetPacketTimeout(28);
  Open();
  Arrive(Sequence(1));
  Tick();  // first byte seen
  for (int i = 0; i < 10; ++i) {  // 50 ms, well past 28, with a byte every tick
    Arrive(Sequence(1, static_cast<uint8_t>(i + 1)));
    Tick();
  }
  EXPECT_TRUE(packets_.empty());
  Tick();  // a tick without a new byte: quiet for one polling period
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], Sequence(11));
}

TEST_P(PacketAssembly, QuietGapIsTwoCharactersOnASlowLine) {
  port_.SetBaudRate(1200);  // a character takes 8.3 ms: quiet means 17 ms
  port_.SetPacketTimeout(20);
  Open();
  Arrive(Sequence(3));
  Tick();
  Tick(20);
  Arrive(Sequence(1, 3));
  Tick();   // 25 ms after the first byte, but a byte just came
  EXPECT_TRUE(packets_.empty());
  Tick(10);  // 10 ms quiet: not yet two characters
  EXPECT_TRUE(packets_.empty());
  Tick(10);  // 20 ms quiet
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], Sequence(4));
}

TEST_P(PacketAssembly, FullPacketsAfterAPendingStartDoNotExpireTheRemainder) {
  // First byte seen, then a fast burst: taking the packet moves the first-byte time one
  // packet time (146 ms at 2400 bit/s) on, which must not be read as a time long past.
  Open();
  Arrive(Sequence(10));
  Tick();
  Arrive(Sequence(30, 10));
  Tick();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(Waiting(), 5u);
  Tick();
  Tick(30);
  EXPECT_EQ(packets_.size(), 1u);  // 35 ms after: the 5 bytes are still pending
  EXPECT_GT(TicksUntilPacket(1000), 30u);
  EXPECT_EQ(packets_.back(), Sequence(5, 35));
}

TEST_P(PacketAssembly, HandlerExceptionEndsTheTickOnly) {
  Open();
  int calls = 0;
  port_.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    if (++calls == 1) throw std::runtime_error("handler failed");
    packets_.emplace_back(p, p + n);
  };
  Arrive(Sequence(70));
  EXPECT_THROW(Tick(), std::runtime_error);
  EXPECT_TRUE(packets_.empty());
  Tick();  // the second packet is read on the next tick
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], Sequence(35, 35));
}

TEST_F(PortTest, EventLoopDrivesReadingAndContainsHandlerExceptions) {
  Open();
  std::vector<std::string> errors;
  port_.OnTickError = [&](const Failure& failure) { errors.push_back(failure.Describe()); };
  int calls = 0;
  port_.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    if (++calls == 1) throw std::runtime_error("handler failed");
    packets_.emplace_back(p, p + n);
  };
  line_->Arrive(Sequence(70));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !packets_.empty(); }, 5000));
  EXPECT_EQ(errors, std::vector<std::string>{"handler failed"});
  EXPECT_EQ(packets_[0], Sequence(35, 35));  // left in the queue, taken without a new arrival
  EXPECT_TRUE(waking_.watching);
  EXPECT_FALSE(waking_.timerActive);
}

TEST_P(PacketAssembly, HandlerMayCloseThePort) {
  Open();
  port_.OnReceivePacket = [&](const uint8_t* p, uint32_t n) {
    packets_.emplace_back(p, p + n);
    port_.ClosePort();
  };
  Arrive(Sequence(70));
  Tick();
  EXPECT_EQ(packets_.size(), 1u);
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(PortTest, FailedReadGivesNoPacketAndTheLoopGoesOn) {
  Open();
  line_->readFails = true;
  line_->Arrive(Sequence(70));
  Tick();
  EXPECT_TRUE(packets_.empty());
  line_->readFails = false;
  Tick();  // whatever is left in the queue is seen again
  EXPECT_EQ(packets_.size(), 2u);
}

TEST_F(PortTest, DeviceGoneClosesThePortOnce) {
  Open();
  int lost = 0;
  port_.OnDeviceLost = [&] { ++lost; };
  line_->Arrive(Sequence(35));
  Tick();
  line_->gone = true;
  Tick();
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(waking_.timerActive);
  EXPECT_FALSE(waking_.watching);
  EXPECT_TRUE(line_->closed);
  Tick();
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(packets_.size(), 1u);  // what was delivered stays delivered
}

TEST_P(PacketAssembly, PurgeClearsThePendingFirstByte) {
  Open();
  Arrive(Sequence(13));
  Tick();
  Tick(50);
  ASSERT_TRUE(port_.PurgeBuffers(false, true));  // output only: the bytes stay
  Tick();  // seen afresh: the time-out starts again here
  Tick(60);
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(TicksUntilPacket(1000), 15u);
}

TEST_P(PacketAssembly, WithoutPacketModeDataGoesToOnReceiveData) {
  port_.SetPacketSize(-1);
  Bytes data;
  port_.OnReceiveData = [&](const uint8_t* p, uint32_t n) { data.insert(data.end(), p, p + n); };
  Open();
  Arrive(Sequence(7));
  Tick();
  EXPECT_EQ(data, Sequence(7));
  EXPECT_TRUE(packets_.empty());
}

// --- waking -------------------------------------------------------------------------

// The one timer is armed for exactly the moment the partial packet is due (its time-out
// passed and the line quiet), and for nothing else.
struct WakeCase {
  const char* name;
  uint32_t baud;
  int32_t timeout;
  std::vector<std::pair<uint32_t, std::size_t>> arrivals;  // ms after the previous, bytes
  std::optional<int> wakeIn;  // what the timer is armed for after the last arrival
};
void PrintTo(const WakeCase& c, std::ostream* os) { *os << c.name; }

class WakeDeadline : public PortTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakeDeadline, ArmedForTheMomentThePartialPacketIsDue) {
  const WakeCase& c = GetParam();
  port_.SetBaudRate(c.baud);
  port_.SetPacketTimeout(c.timeout);
  Open();
  uint8_t next = 0;
  for (const auto& [ms, count] : c.arrivals) {
    clock_.Advance(ms);
    line_->Arrive(Sequence(count, next));
    next = static_cast<uint8_t>(next + count);
    port_.PollTick();
  }
  ASSERT_EQ(waking_.timerActive, c.wakeIn.has_value());
  if (!c.wakeIn) return;
  EXPECT_EQ(waking_.interval, *c.wakeIn);
  // Not a millisecond early: one before, nothing; at the moment, the packet.
  const std::size_t before = packets_.size();
  clock_.Advance(static_cast<uint32_t>(*c.wakeIn) - 1);
  port_.PollTick();
  EXPECT_EQ(packets_.size(), before);
  EXPECT_EQ(waking_.interval, 1);
  Tick(1);
  ASSERT_EQ(packets_.size(), before + 1);
  EXPECT_EQ(packets_.back().size(), next % 35u);
  EXPECT_FALSE(waking_.timerActive);
}

INSTANTIATE_TEST_SUITE_P(
    Partials, WakeDeadline,
    ::testing::Values(
        WakeCase{"AsciiAt9600", 9600, 28, {{0, 13}}, 29},
        WakeCase{"AsciiAt2400", 2400, 53, {{0, 13}}, 54},
        // A later byte: the quiet gap (17 ms at 1200 bit/s) ends after the time-out.
        WakeCase{"LateByteAt1200", 1200, 20, {{0, 3}, {15, 1}}, 17},
        // A later byte, but the time-out ends later than the quiet gap.
        WakeCase{"EarlyByteAt9600", 9600, 28, {{0, 3}, {10, 1}}, 19},
        // What a full packet leaves behind waits from the step that took the packet.
        WakeCase{"RemainderOfABurst", 2400, 70, {{0, 40}}, 71},
        WakeCase{"FullPacketLeavesNothing", 2400, 70, {{0, 10}, {3, 25}}, std::nullopt},
        WakeCase{"NothingArrived", 2400, 70, {}, std::nullopt},
        WakeCase{"NoTimeoutWaitsForBytes", 9600, 0, {{0, 13}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ReadinessWakesTheStepAndAnIdlePortRunsNothing) {
  Open();
  line_->Arrive(Sequence(35));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !packets_.empty(); }, 5000));
  EXPECT_EQ(packets_[0], Sequence(35));
  EXPECT_FALSE(waking_.timerActive);
  line_->Arrive(Sequence(13));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return waking_.timerActive; }, 5000));
  EXPECT_EQ(waking_.interval, 71);  // the fake clock stands still meanwhile
  clock_.Advance(71);
  ASSERT_TRUE(testing::RunEventsUntil([&] { return packets_.size() == 2; }, 5000));
  EXPECT_EQ(packets_[1], Sequence(13));
  EXPECT_FALSE(waking_.timerActive);
}

TEST_F(PortTest, HangUpSignalledClosesThePortOnce) {
  Open();
  int lost = 0;
  port_.OnDeviceLost = [&] { ++lost; };
  line_->Arrive(Sequence(5));  // a partial packet waits: its timer is running
  ASSERT_TRUE(testing::RunEventsUntil([&] { return waking_.timerActive; }, 5000));
  line_->HangUp();
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !port_.IsOpen(); }, 5000));
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(waking_.timerActive);
  EXPECT_FALSE(waking_.watching);
  EXPECT_TRUE(line_->closed);
}

TEST_F(PortTest, FailedReadIsRetriedWithoutANewArrival) {
  Open();
  line_->readFails = true;
  line_->Arrive(Sequence(35));
  ASSERT_TRUE(testing::RunEventsUntil([&] { return waking_.timerActive; }, 5000));
  EXPECT_TRUE(packets_.empty());
  line_->readFails = false;
  ASSERT_TRUE(testing::RunEventsUntil([&] { return !packets_.empty(); }, 5000));
  EXPECT_EQ(packets_[0], Sequence(35));
}

// --- whole frames before their time-out ----------------------------------------------

Bytes Cn(uint8_t key) {
  CnFields f;
  f.objectHigh = 0x12;
  f.objectLow = 0x34;
  f.code = 27;
  const CnFrame frame = EncodeCnFrame(f, key, false, 0x5A);
  return Bytes(frame.begin(), frame.end());
}
Bytes Gb(uint8_t key) {
  GbFields f;
  f.object = 42;
  f.group = 3;
  f.code = "BA";
  f.time = {2026, 12, 10, 5, 49, 9, 0};
  const GbFrame frame = EncodeGbFrame(f, key);
  return Bytes(frame.begin(), frame.end());
}
Bytes Ascii() {
  const AsciiFrame frame = EncodeAsciiFrame('1', "0123", "E1");
  return Bytes(frame.begin(), frame.end());
}
Bytes Part(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}
Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Flipped(Bytes bytes, std::size_t at) {
  bytes[at] ^= 0x01;
  return bytes;
}
Bytes Noise(std::size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

struct Arrival {
  uint32_t atMs;
  Bytes bytes;
};
struct EarlyCase {
  const char* name;
  std::vector<Arrival> arrivals;
  bool early;  // a valid CN frame among them goes earlier; nothing else changes
};
void PrintTo(const EarlyCase& c, std::ostream* os) { *os << c.name; }

// One port that plays the arrivals on a 1 ms step and notes when each packet came.
class TimedRun : public PortFixture {
 public:
  TimedRun(LineKind kind, bool early) : PortFixture(kind) {
    port_.SetBaudRate(9600);
    port_.SetPacketTimeout(28);
    if (early) port_.IsCompleteFrame = IsCompleteShortFrame;
    port_.OnReceivePacket = [this](const uint8_t* p, uint32_t n) {
      packets_.emplace_back(p, p + n);
      times.push_back(clock_.TickMs() - start);
    };
  }
  void Play(const std::vector<Arrival>& arrivals) {
    Open();
    start = clock_.TickMs();
    for (uint32_t ms = 0; ms < 400; ++ms) {
      for (const Arrival& a : arrivals) {
        if (a.atMs == ms) Arrive(a.bytes);
      }
      port_.PollTick();
      clock_.Advance(1);
    }
  }
  const std::vector<Bytes>& Packets() const { return packets_; }
  std::vector<uint32_t> times;
  uint32_t start = 0;
};

class EarlyFrames : public ::testing::TestWithParam<std::tuple<LineKind, EarlyCase>> {};

TEST_P(EarlyFrames, OnlyAValidCnFrameGoesEarlierAndNothingElseChanges) {
  const auto& [kind, c] = GetParam();
  TimedRun today(kind, false), early(kind, true);
  today.Play(c.arrivals);
  early.Play(c.arrivals);
  ASSERT_FALSE(today.Packets().empty());
  Bytes all;
  for (const Arrival& a : c.arrivals) all = Join(all, a.bytes);
  Bytes delivered;
  for (const Bytes& p : today.Packets()) delivered = Join(delivered, p);
  ASSERT_EQ(delivered, all);  // today's rules hand everything over within the run
  ASSERT_EQ(early.Packets(), today.Packets());  // the same packets, cut the same way
  bool wentEarly = false;
  for (std::size_t i = 0; i < today.times.size(); ++i) {
    if (early.times[i] == today.times[i]) continue;
    EXPECT_TRUE(IsCompleteShortFrame(today.Packets()[i])) << "packet " << i;
    EXPECT_LT(early.times[i], today.times[i]) << "packet " << i;
    wentEarly = true;
  }
  EXPECT_EQ(wentEarly, c.early);
}

const EarlyCase kEarlyCases[] = {
    {"CnInOneBurst", {{0, Cn(0x37)}}, true},
    {"CnNoEventKey", {{0, Cn(0x01)}}, true},
    {"CnSplitAcrossReads", {{0, Part(Cn(0x37), 0, 7)}, {2, Part(Cn(0x37), 7, 24)}}, true},
    {"CnLastByteLate", {{0, Part(Cn(0x37), 0, 30)}, {9, Part(Cn(0x37), 30, 1)}}, true},
    {"CnAfterNoiseTimedOut", {{0, Noise(4, 1)}, {100, Cn(0x37)}}, true},
    {"TwoCnApart", {{0, Cn(0x37)}, {150, Cn(0x42)}}, true},
    {"GbInOneBurst", {{0, Gb(0x21)}}, false},
    {"GbSplit31And4", {{0, Part(Gb(0x21), 0, 31)}, {3, Part(Gb(0x21), 31, 4)}}, false},
    {"GbSplit13And22", {{0, Part(Gb(0x21), 0, 13)}, {3, Part(Gb(0x21), 13, 22)}}, false},
    {"GbFirst31Only", {{0, Part(Gb(0x21), 0, 31)}}, false},
    {"CnCheckFails", {{0, Flipped(Cn(0x37), 30)}}, false},
    {"CnMarkerFails", {{0, Flipped(Cn(0x37), 3)}}, false},
    {"CnMarkerAndNoise", {{0, Join(Part(Cn(0x37), 0, 7), Noise(24, 2))}}, false},
    {"CnOneByteTooMany", {{0, Join(Cn(0x37), Noise(1, 3))}}, false},
    {"CnOneByteShort", {{0, Part(Cn(0x37), 0, 30)}}, false},
    {"CnAndFourMoreInOneBurst", {{0, Join(Cn(0x37), Noise(4, 4))}}, false},
    {"NoiseOf31", {{0, Noise(31, 5)}}, false},
    {"NoiseOf13", {{0, Noise(13, 6)}}, false},
    {"NoiseRun", {{0, Noise(50, 7)}, {60, Noise(17, 8)}, {120, Noise(90, 9)}}, false},
    {"Ascii", {{0, Ascii()}}, false},
    {"AsciiSplit", {{0, Part(Ascii(), 0, 5)}, {2, Part(Ascii(), 5, 8)}}, false},
};

INSTANTIATE_TEST_SUITE_P(
    Frames, EarlyFrames,
    ::testing::Combine(::testing::Values(LineKind::kScripted, LineKind::kPty),
                       ::testing::ValuesIn(kEarlyCases)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == LineKind::kPty ? "Pty" : "Scripted") +
             std::get<1>(info.param).name;
    });

TEST_P(PacketAssembly, EarlyFrameIsTakenOnTheStepItsLastByteArrives) {
  port_.IsCompleteFrame = IsCompleteShortFrame;
  Open();
  const Bytes cn = Cn(0x37);
  Arrive(Part(cn, 0, 20));
  Tick();
  EXPECT_TRUE(packets_.empty());
  EXPECT_TRUE(waking_.timerActive);  // the usual deadline, meanwhile
  Arrive(Part(cn, 20, 11));
  Tick();
  ASSERT_EQ(packets_.size(), 1u);
  EXPECT_EQ(packets_[0], cn);
  EXPECT_EQ(Waiting(), 0u);
  EXPECT_FALSE(waking_.timerActive);
}

// --- SendBytesTimed -----------------------------------------------------------------

TEST_F(PortTest, SendWritesEverything) {
  Open();
  const Bytes ack = Sequence(30, 0x80);
  EXPECT_EQ(port_.SendBytes(ack.data(), 30), 30u);
  EXPECT_EQ(line_->written, ack);
  EXPECT_EQ(line_->waits, 0);
}

TEST_F(PortTest, SendLoopsOverShortWritesAndLimitedRoom) {
  Open();
  line_->writeLimit = 4;
  const Bytes data = Sequence(30);
  EXPECT_EQ(port_.SendBytes(data.data(), 30), 30u);
  EXPECT_EQ(line_->written, data);
  EXPECT_EQ(line_->writeCalls, 8);

  line_->written.clear();
  line_->writeCalls = 0;
  line_->writeLimit = -1;
  line_->outputQueued = 2040;  // room for 8
  EXPECT_EQ(port_.SendBytes(data.data(), 30), 30u);
  EXPECT_EQ(line_->writeCalls, 4);
}

TEST_F(PortTest, SendGivesUpAfterTheTimeoutWithoutProgress) {
  Open();
  const Bytes data = Sequence(30);
  for (bool noRoom : {false, true}) {
    line_->writeLimit = noRoom ? -1 : 0;
    line_->outputQueued = noRoom ? 2048 : 0;
    const uint32_t start = clock_.TickMs();
    EXPECT_EQ(port_.SendBytesTimed(data.data(), 30, 200), 0u);
    const uint32_t waited = clock_.TickMs() - start;
    EXPECT_GT(waited, 200u);
    EXPECT_LE(waited, 211u);
    EXPECT_GE(line_->waits, 20);  // waits in steps of at most 10 ms, no spinning
  }
}

TEST_F(PortTest, SendGivesUpAfterTheDesignedOutputTimeout) {
  Open();
  const Bytes data = Sequence(30);
  line_->writeLimit = 0;
  const uint32_t start = clock_.TickMs();
  EXPECT_EQ(port_.SendBytes(data.data(), 30), 0u);
  const uint32_t waited = clock_.TickMs() - start;
  EXPECT_GT(waited, 200u);
  EXPECT_LE(waited, 211u);
}

TEST_F(PortTest, SendKeepsWaitingWhileThereIsProgress) {
  Open();
  line_->writeLimit = 1;
  const Bytes data = Sequence(30);
  const uint32_t start = clock_.TickMs();
  EXPECT_EQ(port_.SendBytesTimed(data.data(), 30, 5), 30u);
  EXPECT_EQ(clock_.TickMs(), start);
}

TEST_F(PortTest, SendStopsOnFailureOrDeadLines) {
  Open();
  const Bytes data = Sequence(9);
  line_->writeFails = true;
  EXPECT_EQ(port_.SendBytes(data.data(), 9), 0u);
  EXPECT_EQ(line_->waits, 0);

  line_->writeFails = false;
  line_->modemLines = 0;  // not looked at until told to
  EXPECT_EQ(port_.SendBytes(data.data(), 9), 9u);
  port_.SetCheckLineStatus(true);
  EXPECT_EQ(port_.SendBytes(data.data(), 9), 0u);
  line_->modemLines = kModemDsr;
  EXPECT_EQ(port_.SendBytes(data.data(), 9), 9u);
}

}  // namespace
}  // namespace orvelgate
