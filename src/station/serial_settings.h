#pragma once
// The port's settings: the values the driver's main window gives its serial port, and
// the start-up rules that turn [main] ComPort and ComBaudRate into port settings.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvelgate {

// The configured port name that means "no port".
inline constexpr std::string_view kNoComPort = "COM255";
inline constexpr uint32_t kDesignBaudRate = 2400;
inline constexpr int32_t kDesignPacketTimeout = 70;
inline constexpr int16_t kStationPacketSize = 35;

enum class LineParity { kNone, kOdd, kEven, kMark, kSpace };
enum class LineStopBits { kOne, kOneAndHalf, kTwo };
enum class LineRts { kOff, kOn, kHandshake, kToggle };

// Everything ApplySettings puts on the line, as the window designs it: 2400 bit/s, 8N1,
// no flow control, DTR held low on open.
struct LineSettings {
  uint32_t baud = kDesignBaudRate;
  int dataBits = 8;  // 5..8
  LineParity parity = LineParity::kNone;
  LineStopBits stopBits = LineStopBits::kOne;
  bool dtr = false;
  LineRts rts = LineRts::kOff;
  bool xonXoff = false;
  uint8_t xonChar = 0x11;
  uint8_t xoffChar = 0x13;
};

// What becomes of fewer bytes than a packet once PacketTimeout has passed.
enum class PartialPacket : uint8_t { kDiscard, kPass };

// Everything a serial port is set to, as the window designs it; a port starts from these
// (packets of 35 bytes, partial ones passed on after 70 ms, 5 ms polling, writes given up
// after 200 ms without progress). The start-up then sets the name, the speed and the
// packet time-out from [main].
struct SerialSettings {
  LineSettings line;
  uint32_t inBufSize = 2048;
  uint32_t outBufSize = 2048;
  int16_t packetSize = kStationPacketSize;
  int32_t packetTimeout = kDesignPacketTimeout;
  PartialPacket partialPackets = PartialPacket::kPass;
  uint16_t pollingDelay = 5;
  uint16_t outputTimeout = 200;
  bool checkLineStatus = false;
};

// The speed a ComBaudRate text names exactly ("110" ... "256000"); nullopt for any
// other text, which leaves the speed at its design value.
std::optional<uint32_t> TableBaudRate(std::string_view comBaudRate);

// Eight 10-bit character times at bitsPerSecond, truncated, plus 20 ms; 300 when that
// is just the 20 ms (above 80000 bit/s). nullopt for a speed that is not positive.
std::optional<int32_t> PacketTimeoutForSpeed(int64_t bitsPerSecond);

// The packet time-out the start-up takes from a ComBaudRate text: from its number,
// read as any integer of the file is; the design value for a text that is not a
// positive number.
int32_t StartupPacketTimeout(std::string_view comBaudRate);

struct StartupPortSettings {
  bool open = false;          // false for "COM255": no port is opened
  std::string portName;       // "\\.\" + ComPort
  std::optional<uint32_t> tableSpeed;  // set when ComBaudRate names a table speed
  int32_t packetTimeout = kDesignPacketTimeout;
};

// The start-up rules. A ComBaudRate that is not a positive number keeps the design
// values (2400 bit/s, 70 ms) and the port is still opened: the station may well talk
// at the design speed, and a wrong speed shows up as unreadable frames rather than as
// a port that silently stays shut.
StartupPortSettings StartupSettings(std::string_view comPort, std::string_view comBaudRate);

}  // namespace orvelgate
