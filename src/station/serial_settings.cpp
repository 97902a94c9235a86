#include "station/serial_settings.h"

#include "common/ini_file.h"
#include "station/comm_port_driver.h"
#include "station/port_names.h"

namespace orvelgate {
namespace {

// The speeds a ComBaudRate text may name, with their table entries.
struct NamedSpeed {
  std::string_view text;
  TBaudRate rate;
};
constexpr NamedSpeed kNamedSpeeds[] = {
    {"110", br110},     {"300", br300},       {"600", br600},       {"1200", br1200},
    {"2400", br2400},   {"4800", br4800},     {"9600", br9600},     {"14400", br14400},
    {"19200", br19200}, {"38400", br38400},   {"56000", br56000},   {"57600", br57600},
    {"115200", br115200}, {"128000", br128000}, {"256000", br256000},
};

}  // namespace

void LoadDesignValues(TCommPortDriver& port) {
  port.SetPort(pnCustom);
  port.SetBaudRate(brCustom);
  port.SetBaudRateValue(kDesignBaudRate);
  port.SetDataBits(db8BITS);
  port.SetStopBits(sb1BITS);
  port.SetParity(ptNONE);
  port.SetHwFlow(hfNONE);
  port.SetSwFlow(sfNONE);
  port.SetInBufSize(2048);
  port.SetOutBufSize(2048);
  port.SetPacketSize(kStationPacketSize);
  port.SetPacketTimeout(kDesignPacketTimeout);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  port.SetEnableDTROnOpen(false);
  port.SetOutputTimeout(200);
  port.SetInputTimeout(1000);
  port.SetCheckLineStatus(false);
}

std::optional<uint32_t> TableBaudRate(std::string_view comBaudRate) {
  for (const auto& speed : kNamedSpeeds) {
    if (speed.text == comBaudRate) return BaudRateBitsPerSecond(speed.rate);
  }
  return std::nullopt;
}

std::optional<int32_t> PacketTimeoutForSpeed(int64_t bitsPerSecond) {
  if (bitsPerSecond <= 0) return std::nullopt;
  // 8 characters x 10 bits x 1000 ms, in whole milliseconds.
  const int64_t timeout = 80000 / bitsPerSecond + 20;
  return timeout == 20 ? 300 : static_cast<int32_t>(timeout);
}

StartupPortSettings StartupSettings(std::string_view comPort, std::string_view comBaudRate) {
  StartupPortSettings settings;
  if (comPort == kNoComPort) return settings;
  settings.open = true;
  settings.portName = PortNameFor(comPort);
  settings.tableSpeed = TableBaudRate(comBaudRate);
  // Read as the configuration reads any integer (decimal, or hexadecimal after 0x or $).
  if (const auto speed = ParseProfileInteger(comBaudRate)) {
    if (const auto timeout = PacketTimeoutForSpeed(*speed)) settings.packetTimeout = *timeout;
  }
  return settings;
}

void ApplyStartupSettings(TCommPortDriver& port, const StartupPortSettings& settings) {
  if (!settings.open) return;
  port.SetPortName(settings.portName);
  if (settings.tableSpeed) {
    for (const auto& speed : kNamedSpeeds) {
      if (BaudRateBitsPerSecond(speed.rate) == *settings.tableSpeed) port.SetBaudRate(speed.rate);
    }
    port.SetBaudRateValue(*settings.tableSpeed);  // leaves BaudRate at brCustom
  }
  port.SetPacketTimeout(settings.packetTimeout);
}

}  // namespace orvelgate
