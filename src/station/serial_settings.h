#pragma once
// The port's settings: the values the driver's main window gives its serial port, and
// the start-up rules that turn [main] ComPort and ComBaudRate into port settings.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvelgate {

class SerialPort;

// The configured port name that means "no port".
inline constexpr std::string_view kNoComPort = "COM255";
inline constexpr uint32_t kDesignBaudRate = 2400;
inline constexpr int32_t kDesignPacketTimeout = 70;
inline constexpr int16_t kStationPacketSize = 35;

// The window's design values for its port (2400 bit/s, 8N1, no flow control,
// packets of 35 bytes passed on after 70 ms, 5 ms polling, DTR low on open, writes given
// up after 200 ms without progress).
void LoadDesignValues(SerialPort& port);

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

// Sets PortName, the speed and PacketTimeout as the start-up does; nothing for "COM255",
// which keeps the design values for a later start from the window. The caller then opens
// the port when settings.open is set.
void ApplyStartupSettings(SerialPort& port, const StartupPortSettings& settings);

}  // namespace orvelgate
