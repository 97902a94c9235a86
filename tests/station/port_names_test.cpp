#include "station/port_names.h"

#include <gtest/gtest.h>

#include <map>

#include "support/temp_dir.h"

namespace orvelgate {
namespace {

TEST(PortNames, PrefixAndBareName) {
  EXPECT_EQ(PortNameFor("COM3"), "\\\\.\\COM3");
  EXPECT_EQ(PortNameFor(""), "\\\\.\\");
  EXPECT_EQ(ComNameOf("\\\\.\\COM3"), "COM3");
  EXPECT_EQ(ComNameOf("COM3"), "COM3");
  EXPECT_EQ(ComNameOf("\\\\.\\"), "");
}

TEST(PortNames, ComNumbers) {
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"COM1", 1},    {"COM3", 3},          {"com12", 12},        {"Com256", 256},
      {"COM0", {}},   {"COM257", {}},       {"COM", {}},          {"COM03", {}},
      {"COM3a", {}},  {"COM-1", {}},        {"LPT1", {}},         {"COM1234", {}},
      {"", {}},       {"COM 3", {}}};
  for (const auto& [name, want] : cases) EXPECT_EQ(ComNumber(name), want) << name;
}

// The servers know ports only as COMn; any other name is told to them as COM0.
TEST(PortNames, ServerPortNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM3", "COM3"},       {"com12", "com12"},          {"COM255", "COM255"},
      {"COM1234", "COM1234"}, {"COM007", "COM007"},        {"", ""},
      {"/dev/ttyUSB0", "COM0"}, {"/dev/serial/by-id/usb-FTDI_A1-if00", "COM0"},
      {"STATION", "COM0"},    {"COM", "COM0"},             {"COMx", "COM0"},
      {"COM3a", "COM0"},      {"COM-3", "COM0"},           {"LPT1", "COM0"}};
  for (const auto& [name, want] : cases) EXPECT_EQ(ServerPortName(name), want) << name;
}

TEST(PortNames, ResolvesThroughThePortsSectionFirst) {
  std::map<std::string, std::string> ports{{"COM3", "/dev/ttyUSB0"}, {"STATION", "/dev/pts/7"},
                                           {"COM4", ""}};
  std::vector<std::string> asked;
  PortLookup lookup = [&](const std::string& name) -> std::optional<std::string> {
    asked.push_back(name);
    auto it = ports.find(name);
    if (it == ports.end()) return std::nullopt;
    return it->second;
  };
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"\\\\.\\COM3", "/dev/ttyUSB0"},   // mapped
      {"\\\\.\\STATION", "/dev/pts/7"},  // any name can be mapped
      {"\\\\.\\COM1", "/dev/ttyS0"},     // not mapped: COMn is ttyS(n-1)
      {"\\\\.\\COM32", "/dev/ttyS31"},
      {"\\\\.\\COM4", "/dev/ttyS3"},     // an empty mapping counts as none
      {"/dev/pts/9", "/dev/pts/9"},      // a path is taken as it is
      {"\\\\.\\LPT1", std::nullopt},
      {"\\\\.\\", std::nullopt},
      {"", std::nullopt}};
  for (const auto& [name, want] : cases) EXPECT_EQ(ResolvePortPath(name, lookup), want) << name;
  EXPECT_EQ(asked.front(), "COM3");  // looked up by the configured name, without the prefix
}

TEST(PortNames, ResolverWithoutLookup) {
  const PortResolver resolve = MakePortResolver(nullptr);
  EXPECT_EQ(resolve("\\\\.\\COM2"), "/dev/ttyS1");
  EXPECT_EQ(resolve("\\\\.\\COM255"), "/dev/ttyS254");
}

TEST(PortNames, DefaultResolverReadsThePortsSectionOfTheWorkingDirectory) {
  testing::TempDir dir;
  testing::ScopedCwd cwd(dir.path());
  const PortResolver resolve = DefaultPortResolver();
  EXPECT_EQ(resolve("\\\\.\\COM3"), "/dev/ttyS2");  // no file yet
  testing::WriteFileText(dir / "orvelgate.ini",
                         "[main]\r\nComPort=COM3\r\n[Ports]\r\ncom3 = \"/dev/pts/7\"\r\n");
  EXPECT_EQ(resolve("\\\\.\\COM3"), "/dev/pts/7");  // read again at every open
  EXPECT_EQ(resolve("\\\\.\\COM4"), "/dev/ttyS3");
  testing::WriteFileText(dir / "orvelgate.ini", "[ports]\nCOM3=/dev/ttyUSB1\n");
  EXPECT_EQ(resolve("\\\\.\\COM3"), "/dev/ttyUSB1");
}

}  // namespace
}  // namespace orvelgate
