#include "station/serial_settings.h"

#include <gtest/gtest.h>

#include "station/fake_serial_device.h"
#include "station/qt_app.h"
#include "station/serial_port.h"

namespace orvelgate {
namespace {

TEST(SerialSettings, PacketTimeoutTable) {
  const std::pair<int64_t, int32_t> table[] = {
      {110, 747},   {300, 286},   {600, 153},   {1200, 86},    {2400, 53},
      {4800, 36},   {9600, 28},   {14400, 25},  {19200, 24},   {38400, 22},
      {56000, 21},  {57600, 21},  {115200, 300}, {128000, 300}, {256000, 300},
      {1000, 100},  {80000, 21},  {80001, 300}, {1, 80020},    {INT32_MAX, 300}};
  for (auto [speed, timeout] : table) EXPECT_EQ(PacketTimeoutForSpeed(speed), timeout) << speed;
  EXPECT_EQ(PacketTimeoutForSpeed(0), std::nullopt);
  EXPECT_EQ(PacketTimeoutForSpeed(-9600), std::nullopt);
}

TEST(SerialSettings, TableSpeedsByExactText) {
  for (const char* text : {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                           "38400", "56000", "57600", "115200", "128000", "256000"}) {
    EXPECT_EQ(TableBaudRate(text), static_cast<uint32_t>(std::stoul(text))) << text;
  }
  for (const char* text : {"1000", "09600", " 9600", "9600 ", "+9600", "$2580", "", "fast", "230400"}) {
    EXPECT_EQ(TableBaudRate(text), std::nullopt) << text;
  }
}

struct StartupCase {
  const char* comPort;
  const char* comBaudRate;
  bool open;
  std::optional<uint32_t> speed;
  int32_t timeout;
};

TEST(SerialSettings, StartupRules) {
  const StartupCase cases[] = {
      {"COM3", "9600", true, 9600, 28},
      {"COM3", "115200", true, 115200, 300},
      {"COM3", "1000", true, std::nullopt, 100},   // not in the table: speed stays
      {"COM3", "2400", true, 2400, 53},
      {"COM3", "$2580", true, std::nullopt, 28},   // a number, but not the table's text
      {"COM3", "0x3840", true, std::nullopt, 25},
      {"COM3", "+1200", true, std::nullopt, 86},
      {"COM3", "0", true, std::nullopt, 70},       // not a positive number: design values
      {"COM3", "-9600", true, std::nullopt, 70},
      {"COM3", "fast", true, std::nullopt, 70},
      {"COM3", "", true, std::nullopt, 70},
      {"com255", "9600", true, 9600, 28},          // only the exact text means no port
      {"COM255", "9600", false, std::nullopt, 70},
  };
  for (const auto& c : cases) {
    const StartupPortSettings s = StartupSettings(c.comPort, c.comBaudRate);
    EXPECT_EQ(s.open, c.open) << c.comPort << " " << c.comBaudRate;
    EXPECT_EQ(s.tableSpeed, c.speed) << c.comPort << " " << c.comBaudRate;
    EXPECT_EQ(s.packetTimeout, c.timeout) << c.comPort << " " << c.comBaudRate;
    if (c.open) {
      EXPECT_EQ(s.portName, "\\\\.\\" + std::string(c.comPort));
    }
  }
}

// The speed reaches the line: each port is opened over a scripted device that records
// the settings it is given.
TEST(SerialSettings, ApplyingTheStartupSettings) {
  testing::EnsureCoreApplication();
  FakeClock clock;
  struct {
    const char* comPort;
    const char* comBaudRate;
    const char* portName;
    uint32_t speed;
    int32_t timeout;
  } cases[] = {
      {"COM4", "9600", "\\\\.\\COM4", 9600, 28},
      {"COM4", "1000", "\\\\.\\COM4", 2400, 100},
      {"COM255", "115200", "\\\\.\\COM1", 2400, 70},  // no port: the design values stay
  };
  for (const auto& c : cases) {
    auto line = std::make_shared<testing::FakeLine>();
    SerialPortEnvironment env;
    env.clock = &clock;
    env.openDevice = [&](const std::string&) -> std::unique_ptr<SerialDevice> {
      return std::make_unique<testing::FakeSerialDevice>(line, clock);
    };
    env.resolvePort = MakePortResolver(nullptr);
    SerialPort port(env);
    ApplyStartupSettings(port, StartupSettings(c.comPort, c.comBaudRate));
    EXPECT_EQ(port.PortName(), c.portName) << c.comPort << " " << c.comBaudRate;
    EXPECT_EQ(port.PacketTimeout(), c.timeout) << c.comPort << " " << c.comBaudRate;
    ASSERT_TRUE(port.OpenPort()) << c.comPort << " " << c.comBaudRate;
    ASSERT_EQ(line->configured.size(), 1u);
    EXPECT_EQ(line->configured[0].baud, c.speed) << c.comPort << " " << c.comBaudRate;
  }
}

}  // namespace
}  // namespace orvelgate
