#include "station/serial_settings.h"

#include <string>

#include "common/ini_file.h"
#include "station/port_names.h"

namespace orvelgate {
namespace {

// The speeds a ComBaudRate text may name.
constexpr std::string_view kNamedSpeeds[] = {"110",   "300",   "600",    "1200",   "2400",
                                             "4800",  "9600",  "14400",  "19200",  "38400",
                                             "56000", "57600", "115200", "128000", "256000"};

}  // namespace

std::optional<uint32_t> TableBaudRate(std::string_view comBaudRate) {
  for (const auto text : kNamedSpeeds) {
    if (text == comBaudRate) return static_cast<uint32_t>(std::stoul(std::string(text)));
  }
  return std::nullopt;
}

std::optional<int32_t> PacketTimeoutForSpeed(int64_t bitsPerSecond) {
  if (bitsPerSecond <= 0) return std::nullopt;
  // 8 characters x 10 bits x 1000 ms, in whole milliseconds.
  const int64_t timeout = 80000 / bitsPerSecond + 20;
  return timeout == 20 ? 300 : static_cast<int32_t>(timeout);
}

int32_t StartupPacketTimeout(std::string_view comBaudRate) {
  // Read as the configuration reads any integer (decimal, or hexadecimal after 0x or $).
  if (const auto speed = ParseProfileInteger(comBaudRate)) {
    if (const auto timeout = PacketTimeoutForSpeed(*speed)) return *timeout;
  }
  return kDesignPacketTimeout;
}

StartupPortSettings StartupSettings(std::string_view comPort, std::string_view comBaudRate) {
  StartupPortSettings settings;
  if (comPort == kNoComPort) return settings;
  settings.open = true;
  settings.portName = PortNameFor(comPort);
  settings.tableSpeed = TableBaudRate(comBaudRate);
  settings.packetTimeout = StartupPacketTimeout(comBaudRate);
  return settings;
}

}  // namespace orvelgate
