// Files a power cut damaged never silence the driver: an orvelgate.ini with one bad line
// among good ones still opens the configured port, and an event journal that is garbage,
// a foreign file or a folder is kept under a new name while the driver journals afresh.
// Each run acknowledges the station's frames over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver_run.h"

namespace orvelgate::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using UnreadableIni = DriverRun;

std::string FileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The driver in the run's folder, its journal lines (stderr) going to said.txt.
std::unique_ptr<ChildProcess> StartDriverSaying(const DriverRun& run) {
  ChildOptions options = run.DriverOptions();
  options.stderrFile = (run.Folder() / "said.txt").string();
  auto driver = DriverRun::LaunchDriver(options);
  EXPECT_TRUE(driver->WaitReady(20s));
  return driver;
}

// Waits until the driver has said `text` (somewhere in a journal line).
bool Said(const DriverRun& run, const std::string& text) {
  return Eventually([&] { return FileText(run.Folder() / "said.txt").find(text) != std::string::npos; });
}

// The station's two frames are both acknowledged: the driver took the port and journals.
void ExpectFramesAcknowledged(DriverRun& run) {
  ASSERT_TRUE(run.Station().WaitForPrefix("FRAME 2 ", 30s)) << FileText(run.Folder() / "said.txt");
  for (const std::string& frame : run.Station().LinesStartingWith("FRAME"))
    EXPECT_NE(frame.find(" ok ack "), std::string::npos) << frame;
}

struct BadLine {
  const char* name;
  std::string line;  // without its line ending
  std::string said;  // what the driver says of it
};

class DamagedIni : public DriverRun, public ::testing::WithParamInterface<BadLine> {};

TEST_P(DamagedIni, ABadLineAmongGoodOnesStillOpensThePortAndAcknowledges) {
  const BadLine& bad = GetParam();
  const std::string pty = StartStation({"gb", "gb"});
  WriteIni(bad.line + "\n[main]\nComPort=COM3\n" + bad.line + "\nComBaudRate=9600\nSendT8=0\n" +
           bad.line + "\nSendT7=0\n[ports]\nCOM3=" + pty + "\n" + bad.line);
  const auto driver = StartDriverSaying(*this);
  ExpectFramesAcknowledged(*this);
  for (const int line : {1, 4, 7, 11}) {
    const std::string said = "orvelgate.ini line " + std::to_string(line) + " skipped (" + bad.said;
    EXPECT_TRUE(Said(*this, said)) << said << "\n" << FileText(Folder() / "said.txt");
  }
  EXPECT_EQ(driver->Stop(), 0);
}

const BadLine kBadLines[] = {
    {"binary_bytes", "\x7f" "ELF\x02\x01\x01"s, "the control character 0x7F"},
    {"nul_bytes", std::string(512, '\0'), "a NUL byte"},
    {"nul_inside_a_key", "Na\0me=1"s, "a NUL byte"},
    {"control_bytes_in_a_value", "host=127.0.\x1b\x02", "the control character 0x1B"},
    {"overlong_line", "PathForSoob=" + std::string(1 << 20, 'a'), "more than 65536 bytes"},
};

INSTANTIATE_TEST_SUITE_P(Lines, DamagedIni, ::testing::ValuesIn(kBadLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UnreadableIni, GivesTheDefaultsAndSaysSo) {
  WriteIni(std::string(4096, '\0'));
  const auto driver = StartDriverSaying(*this);
  EXPECT_TRUE(Said(*this, "holds no readable line (line 1: a NUL byte); using the defaults"))
      << FileText(Folder() / "said.txt");
  EXPECT_EQ(driver->Stop(), 0);
}

enum class Damage { Garbage, ForeignFile, Folder };

struct DamagedJournalCase {
  const char* name;
  Damage damage;
};

class DamagedJournal : public DriverRun, public ::testing::WithParamInterface<DamagedJournalCase> {
 protected:
  fs::path Journal() const { return Folder() / "orvelgate.journal"; }
  fs::path Aside() const { return Folder() / "orvelgate.journal.damaged-1"; }
};

TEST_P(DamagedJournal, IsKeptUnderANewNameAndTheDriverAcknowledgesAfterwards) {
  std::vector<uint8_t> bytes;
  switch (GetParam().damage) {
    case Damage::Garbage:
      bytes.resize(1 << 20);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 17);
      break;
    case Damage::ForeignFile: {
      const std::string text = "# a configuration file copied to the wrong name\nkey=value\n";
      bytes.assign(text.begin(), text.end());
      break;
    }
    case Damage::Folder:
      fs::create_directories(Journal() / "inner");
      bytes = {1, 2, 3};
      break;
  }
  const fs::path kept = GetParam().damage == Damage::Folder ? Journal() / "inner" / "file" : Journal();
  { std::ofstream(kept, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size())); }

  const std::string pty = StartStation({"gb", "gb"});
  WriteIni("[main]\nComPort=COM3\nComBaudRate=9600\nSendT8=0\nSendT7=0\n[ports]\nCOM3=" + pty + "\n");
  const auto driver = StartDriverSaying(*this);
  ExpectFramesAcknowledged(*this);
  EXPECT_TRUE(Said(*this, "damaged; kept as ")) << FileText(Folder() / "said.txt");
  EXPECT_TRUE(Said(*this, "orvelgate.journal.damaged-1, never deleted"));
  EXPECT_EQ(driver->Stop(), 0);

  const fs::path keptNow = GetParam().damage == Damage::Folder ? Aside() / "inner" / "file" : Aside();
  const std::string now = FileText(keptNow);
  EXPECT_EQ(std::vector<uint8_t>(now.begin(), now.end()), bytes) << "every byte kept under the new name";
  EXPECT_TRUE(fs::is_regular_file(Journal()));
}

const DamagedJournalCase kDamagedJournals[] = {
    {"garbage", Damage::Garbage},
    {"foreign_file", Damage::ForeignFile},
    {"folder", Damage::Folder},
};

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedJournal, ::testing::ValuesIn(kDamagedJournals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvelgate::testing
