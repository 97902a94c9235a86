#include "station/serial_settings.h"

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

std::optional<int> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

std::optional<int32_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    const auto d = HexDigit(c);
    if (!d) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(*d);
  }
  return static_cast<int32_t>(value);  // eight digits wrap into the sign, as on the station's platform
}

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

std::optional<int32_t> ParseConfiguredInteger(std::string_view text) {
  if (text.size() >= 2 && text.front() == '$') return ParseHex(text.substr(1));
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseHex(text.substr(2));
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

StartupPortSettings StartupSettings(std::string_view comPort, std::string_view comBaudRate) {
  StartupPortSettings settings;
  if (comPort == kNoComPort) return settings;
  settings.open = true;
  settings.portName = PortNameFor(comPort);
  settings.tableSpeed = TableBaudRate(comBaudRate);
  if (const auto speed = ParseConfiguredInteger(comBaudRate)) {
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
