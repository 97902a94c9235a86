// Arbitrary arrivals of serial bytes, pauses and polling ticks through the serial port
// component's packet assembly (SerialPort::PollTick, PacketSize 35, the partial
// packet handed over after PacketTimeout), over a scripted device and a fake clock.
//
// Input: a PacketTimeout byte (1..255 ms), a speed byte (its low seven bits choose an
// entry of the speed table; its top bit hands whole CN frames over early, through
// IsCompleteShortFrame), then operations, one byte each, the top two bits saying which:
//   00nnnnnn  n + 1 bytes arrive (they follow in the input)
//   01nnnnnn  the clock moves n ms, then a tick
//   10nnnnnn  the clock moves 16 n ms, then a tick
//   11nnnnnn  the next n reads return fewer bytes than asked (a device that hands back
//             less than it announced), then a tick
//
// Checks: the packets handed over, put end to end, are always a beginning of the bytes
// that arrived (nothing reordered, doubled or made up); no packet is empty or longer than
// PacketSize; and once the line has been quiet long enough every byte has been handed
// over: the port loses nothing.

#include <QCoreApplication>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "framecodec/frame_codec.h"
#include "station/serial_port.h"
#include "support/fake_clock.h"

namespace orvelgate::fuzz {
namespace {

struct Line {
  std::deque<uint8_t> input;
  int shortReads = 0;
};

class ScriptedDevice final : public SerialDevice {
 public:
  explicit ScriptedDevice(Line& line) : line_(line) {}
  bool Configure(const LineSettings&) override { return true; }
  std::optional<uint32_t> BytesWaiting() override { return static_cast<uint32_t>(line_.input.size()); }
  long Read(uint8_t* buffer, std::size_t size) override {
    std::size_t n = std::min(size, line_.input.size());
    if (line_.shortReads > 0 && n > 0) {
      --line_.shortReads;
      n = (n + 1) / 2;
    }
    std::copy_n(line_.input.begin(), n, buffer);
    line_.input.erase(line_.input.begin(), line_.input.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<long>(n);
  }
  long Write(const uint8_t*, std::size_t size) override { return static_cast<long>(size); }
  void WaitWritable(int) override {}
  uint32_t OutputQueued() override { return 0; }
  bool Purge(bool input, bool) override {
    if (input) line_.input.clear();
    return true;
  }
  bool SetDtr(bool) override { return true; }
  uint8_t ModemLines() override { return 0; }
  void Close() override {}

 private:
  Line& line_;
};

// The component owns a QTimer; a core application keeps Qt from complaining that it
// has no event loop. The loop itself never runs: the fuzzer calls PollTick.
void EnsureCoreApplication() {
  static int argc = 1;
  static char name[] = "fuzz_packet_assembly";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  (void)app;
}

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;
  EnsureCoreApplication();

  Input in(data, size);
  const int32_t timeout = std::max<int32_t>(1, in.Byte());
  constexpr uint32_t kSpeeds[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  const uint8_t speedByte = in.Byte();
  const uint32_t speed = kSpeeds[(speedByte & 0x7F) % std::size(kSpeeds)];

  FakeClock clock;
  Line line;
  SerialPortEnvironment environment;
  environment.clock = &clock;
  environment.openDevice = [&line](const std::string&) { return std::make_unique<ScriptedDevice>(line); };
  environment.resolvePort = [](const std::string&) { return std::optional<std::string>("/dev/fuzz"); };
  SerialPort port(environment);
  port.SetBaudRate(speed);
  port.SetPacketSize(35);
  port.SetPacketTimeout(timeout);
  port.SetPartialPackets(PartialPacket::kPass);
  port.SetPollingDelay(SerialPort::kMinPollingDelay);
  if (speedByte & 0x80) port.IsCompleteFrame = IsCompleteShortFrame;

  std::vector<uint8_t> arrived, delivered;
  port.OnReceivePacket = [&](const uint8_t* packet, uint32_t n) {
    FUZZ_CHECK(n > 0 && n <= 35);
    delivered.insert(delivered.end(), packet, packet + n);
  };
  FUZZ_CHECK(port.OpenPort());

  auto checkPrefix = [&] {
    FUZZ_CHECK(delivered.size() <= arrived.size());
    FUZZ_CHECK(std::equal(delivered.begin(), delivered.end(), arrived.begin()));
  };

  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    const uint8_t n = op & 0x3F;
    switch (op >> 6) {
      case 0: {
        const auto bytes = in.Bytes(n + 1u);
        line.input.insert(line.input.end(), bytes.begin(), bytes.end());
        arrived.insert(arrived.end(), bytes.begin(), bytes.end());
        continue;  // bytes arrive between ticks
      }
      case 1: clock.Advance(n); break;
      case 2: clock.Advance(16u * n); break;
      case 3: line.shortReads = n; break;
    }
    port.PollTick();
    checkPrefix();
  }

  // A quiet line: within a bounded number of ticks everything has been handed over.
  line.shortReads = 0;
  const uint32_t quiet = static_cast<uint32_t>(timeout) + 10u + port.TransmitTimeMs(2) + 1u;
  for (int tick = 0; tick < 64 && delivered.size() < arrived.size(); ++tick) {
    clock.Advance(quiet);
    port.PollTick();
    checkPrefix();
  }
  FUZZ_CHECK(delivered.size() == arrived.size());
  FUZZ_CHECK(port.IsOpen());
  return 0;
}
