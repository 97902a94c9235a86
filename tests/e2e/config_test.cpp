// orvelgate.ini as the whole program takes it: LogMaxSize bounds the packet log,
// --check-config lists the settings and their problems, and a value out of range is
// reported at start-up. The driver runs without the right to set the clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

namespace fs = std::filesystem;
using ConfigRun = DriverRun;

// A GB frame of 35 bytes and its size line, as the packet log holds them.
constexpr std::uintmax_t kLogEntry = 35 + sizeof "Packsize 35\r\n" - 1;

// The driver in the run's folder, with CAP_SYS_TIME gone for good (a T7 clock record
// would otherwise really set this machine's clock).
std::unique_ptr<ChildProcess> RunWithoutClockRights(const DriverRun& run,
                                                    std::vector<std::string> args,
                                                    const std::string& stderrFile = {}) {
  ChildOptions options = run.DriverOptions();
  options.stderrFile = stderrFile;
  return DriverRun::LaunchDriver(options, std::move(args));
}

// 0 for a file that is not there.
std::uintmax_t SizeOf(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  return error ? 0 : size;
}

std::string Text(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

std::string FileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(ConfigRun, LogMaxSizeMovesThePacketLogAside) {
  const std::string pty = StartStation({"gb"}, {"--repeat", "150"});
  WriteIni("[main]\nComPort=COM3\nComBaudRate=9600\nSendT8=0\nSendT7=0\nLogMaxSize=4096\n"
           "[ports]\nCOM3=" + pty + "\n");
  auto driver = RunWithoutClockRights(*this, {});
  ASSERT_TRUE(driver->WaitReady(20s));
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 150 ", 120s));
  const auto logged = [&] {
    return SizeOf(Folder() / "orvelgate.log") + SizeOf(Folder() / "orvelgate.log.1");
  };
  ASSERT_TRUE(Eventually([&] { return logged() >= 150 * kLogEntry; }))
      << "every packet reaches the log: " << logged();
  EXPECT_EQ(driver->Stop(), 0);

  ASSERT_TRUE(fs::exists(Folder() / "orvelgate.log.1"));
  const auto first = SizeOf(Folder() / "orvelgate.log.1");
  const auto current = SizeOf(Folder() / "orvelgate.log");
  EXPECT_GE(first, 4096u);  // moved once it had reached the limit
  EXPECT_LT(first, 4096u + kLogEntry);
  EXPECT_LT(current, 4096u + kLogEntry);
  EXPECT_EQ(first + current, 150 * kLogEntry) << "one generation kept, no entry lost";
}

TEST_F(ConfigRun, CheckConfigOnAGoodFileListsTheSettingsAndExitsZero) {
  WriteIni("[main]\nComPort=COM3\nFirstNumber=0x10\n[ServerHost]\nPort=4000\n");
  auto check = RunWithoutClockRights(*this, {"--check-config"});
  EXPECT_EQ(check->WaitExit(10s), 0);
  const std::string out = Text(check->Lines());
  EXPECT_NE(out.find("orvelgate.ini: " + (Folder() / "orvelgate.ini").string() + "\n"),
            std::string::npos) << out;
  for (const char* line : {"[main] ComPort=COM3 ", "[main] FirstNumber=0x10 ",
                           "[ServerHost] Port=4000 "}) {
    const auto at = out.find(line);
    ASSERT_NE(at, std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.substr(out.find_last_not_of(' ', out.find('\n', at) - 1) - 3, 4), "file")
        << line;
  }
  EXPECT_NE(out.find("[main] SendT8=1 "), std::string::npos) << out;
  EXPECT_NE(out.find(" default\n"), std::string::npos) << out;
  EXPECT_EQ(check->Lines().size(), 19u) << "a header and the 18 keys: " << out;
  EXPECT_FALSE(fs::exists(Folder() / "orvelgate.log")) << "the driver did not start";
}

TEST_F(ConfigRun, CheckConfigOnABadFileListsTheProblemsAndExitsOne) {
  WriteIni("[main]\nFirstNumber=2147483648\nSendT7=yes\n[ServerHost]\nPort=70000\nProt=1\n");
  auto check = RunWithoutClockRights(*this, {"--check-config"});
  EXPECT_EQ(check->WaitExit(10s), 1);
  const std::string out = Text(check->Lines());
  for (const char* part :
       {"[ServerHost] Port=12543                  default (bad value \"70000\")\n",
        "[main] FirstNumber=4                     default (bad value \"2147483648\")\n",
        "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543\n",
        "orvelgate.ini [main] SendT7=yes is not an integer (0 is off, any other number on); "
        "using 0\n",
        "orvelgate.ini [ServerHost] Prot=1 is not a known key; did you mean Port? (ignored)\n"}) {
    EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
  }
}

TEST_F(ConfigRun, CheckConfigOnABinaryLineNamesItAndExitsOne) {
  WriteFileText(Folder() / "orvelgate.ini", std::string("\x7f" "ELF\0\0[main]\nSendT7=1\n", 19));
  auto check = RunWithoutClockRights(*this, {"--check-config"});
  EXPECT_EQ(check->WaitExit(10s), 1);
  EXPECT_NE(Text(check->Lines()).find("orvelgate.ini line 1 skipped (the control character "
                                      "0x7F); the other lines count\n"),
            std::string::npos)
      << Text(check->Lines());
}

TEST_F(ConfigRun, TheShippedExampleHasNoProblems) {
  fs::copy_file(fs::path(ORVELGATE_SOURCE_DIR) / "packaging/orvelgate.ini.example",
                Folder() / "orvelgate.ini");
  auto check = RunWithoutClockRights(*this, {"--check-config"});
  EXPECT_EQ(check->WaitExit(10s), 0) << Text(check->Lines());
  EXPECT_EQ(check->LinesStartingWith("orvelgate.ini [").size(), 0u) << Text(check->Lines());
  // Every key is written out, so every key comes from the file.
  EXPECT_EQ(check->LinesStartingWith("[").size(), 18u);
  for (const auto& line : check->LinesStartingWith("["))
    EXPECT_EQ(line.substr(line.size() - 5), " file") << line;
}

TEST_F(ConfigRun, AValueOutOfRangeIsReportedAtStartUp) {
  WriteIni("[main]\nSendT7=0\nSendT8=0\n[ServerHost]\nPort=-1\n");
  const std::string journal = (Folder() / "journal.txt").string();
  auto driver = RunWithoutClockRights(*this, {}, journal);
  ASSERT_TRUE(driver->WaitReady(20s));
  EXPECT_EQ(driver->Stop(), 0);
  const std::string text = FileText(journal);
  const std::string line =
      "orvelgate.ini [ServerHost] Port=-1 is out of range 1..65535; using 12543";
  const auto at = text.find(line);
  EXPECT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find(line, at + 1), std::string::npos) << "said once: " << text;
}

}  // namespace
}  // namespace orvelgate::testing
