#include "app/config/config_reading.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using testing::WriteFileText;

constexpr char kPath[] = "/srv/station/orvelgate.ini";

// A file that gives no value at all: missing, unreadable, empty or without a readable line.
struct FileCase {
  const char* name;
  std::optional<std::string> text;
  std::errc error;
  ConfigFileState state;
  std::vector<ConfigLine> lines;
};

class ConfigFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(ConfigFiles, GiveTheDefaultsWithOneLine) {
  const FileCase& c = GetParam();
  const ConfigReading r = ReadConfigText(kPath, c.text, static_cast<int>(c.error));
  EXPECT_EQ(r.State, c.state);
  EXPECT_EQ(r.Config.Main, MainConfig{});
  EXPECT_EQ(r.Config.ServerHost, ServerHostSettings{});
  EXPECT_EQ(ConfigJournalLines(r), c.lines);
}

const std::string kGoodValues = "[main]\nSendT7=1\nComPort=COM3\n[ServerHost]\nPort=4000\n";

const FileCase kFileCases[] = {
    {"missing", std::nullopt, std::errc::no_such_file_or_directory, ConfigFileState::kMissing,
     {{Severity::kInfo,
       "orvelgate.ini: /srv/station/orvelgate.ini does not exist; using the defaults"}}},
    {"folder", std::nullopt, std::errc::is_a_directory, ConfigFileState::kUnreadable,
     {{Severity::kWarning, "orvelgate.ini: /srv/station/orvelgate.ini cannot be read (Is a "
                           "directory (errno 21)); using the defaults"}}},
    {"no_permission", std::nullopt, std::errc::permission_denied, ConfigFileState::kUnreadable,
     {{Severity::kWarning, "orvelgate.ini: /srv/station/orvelgate.ini cannot be read "
                           "(Permission denied (errno 13)); using the defaults"}}},
    {"nothing_readable", "\x7f" "ELF\x02\x01\x01\0\0\0\n\0\0\0\0"s, std::errc{},
     ConfigFileState::kNotText,
     {{Severity::kWarning, "orvelgate.ini: /srv/station/orvelgate.ini holds no readable line "
                           "(line 1: the control character 0x7F); using the defaults"}}},
    {"empty", "", std::errc{}, ConfigFileState::kRead, {}},
    {"only_bad_values", "[ServerHost]\nPort=70000\n", std::errc{}, ConfigFileState::kRead,
     {{Severity::kWarning,
       "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543"}}},
};

INSTANTIATE_TEST_SUITE_P(Table, ConfigFiles, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

// One line that holds no text, wherever it is, costs that line only: it is named with
// its number, and the good lines around it still count.
struct BadLineCase {
  const char* name;
  std::string text;
  std::vector<std::string> lines;
};

class BadLines : public ::testing::TestWithParam<BadLineCase> {};

TEST_P(BadLines, AreSkippedAndNamedWhileTheGoodLinesCount) {
  const BadLineCase& c = GetParam();
  const ConfigReading r = ReadConfigText(kPath, c.text, {});
  EXPECT_EQ(r.State, ConfigFileState::kRead);
  EXPECT_EQ(r.Config.Main.ComPort, "COM3");
  EXPECT_TRUE(r.Config.Main.SendT7);
  EXPECT_EQ(r.Config.ServerHost.Port, 4000);
  EXPECT_EQ(r.Config.Main.SpoolPrefix, "") << "its default: no line gave it";
  std::vector<ConfigLine> expected;
  for (const std::string& line : c.lines) expected.push_back({Severity::kWarning, line});
  EXPECT_EQ(ConfigJournalLines(r), expected);
  EXPECT_TRUE(HasConfigProblems(r));
}

const BadLineCase kBadLineCases[] = {
    {"binary_line_before_main", "\x7f" "ELF\x02\x01\x01\0\0\0\n"s + kGoodValues,
     {"orvelgate.ini line 1 skipped (the control character 0x7F); the other lines count"}},
    {"nul_after_good_values", kGoodValues + "\0"s,
     {"orvelgate.ini line 6 skipped (a NUL byte); the other lines count"}},
    {"nul_inside_a_key", "[main]\nSendT7=1\nLo\0g=1\nComPort=COM3\n[ServerHost]\nPort=4000\n"s,
     {"orvelgate.ini line 3 skipped (a NUL byte); the other lines count"}},
    {"control_bytes_in_a_value",
     "[main]\r\nSendT7=1\r\nComPort=COM3\r\n[ServerHost]\r\nAddress=10.0.\x1b\x02\r\nPort=4000\r\n",
     {"orvelgate.ini line 5 skipped (the control character 0x1B); the other lines count"}},
    {"control_byte_in_the_spool_prefix",
     "[main]\nSendT7=1\nComPort=COM3\nPathForSoob=spool\x01/\n[ServerHost]\nPort=4000\n",
     {"orvelgate.ini line 4 skipped (the control character 0x01); the other lines count"}},
    {"ten_megabyte_line",
     "[main]\nSendT7=1\nPathForSoob=" + std::string(10 << 20, 'a') + "\nComPort=COM3\n"
     "[ServerHost]\nPort=4000\n",
     {"orvelgate.ini line 3 skipped (more than 65536 bytes); the other lines count"}},
    {"nul_bytes_of_a_cut_edit", kGoodValues + std::string(4096, '\0'),
     {"orvelgate.ini line 6 skipped (a NUL byte); the other lines count"}},
    {"many_bad_lines", kGoodValues + [] {
       std::string bad;
       for (int i = 0; i < 12; ++i) bad += "\x01\n";
       return bad;
     }(),
     {"orvelgate.ini line 6 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 7 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 8 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 9 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 10 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 11 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 12 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 13 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 14 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini line 15 skipped (the control character 0x01); the other lines count",
      "orvelgate.ini: 2 more lines skipped, as above"}},
};

INSTANTIATE_TEST_SUITE_P(Table, BadLines, ::testing::ValuesIn(kBadLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigReading, ATextFileIsRead) {
  const ConfigReading r = ReadConfigText(kPath, kGoodValues, {});
  EXPECT_EQ(r.State, ConfigFileState::kRead);
  EXPECT_TRUE(r.Config.Main.SendT7);
  EXPECT_EQ(r.Config.ServerHost.Port, 4000);
  EXPECT_TRUE(ConfigJournalLines(r).empty());
  EXPECT_FALSE(HasConfigProblems(r));
}

TEST(ConfigReading, OnlyAMissingFileIsNoProblem) {
  EXPECT_FALSE(HasConfigProblems(ReadConfigText(kPath, std::nullopt, ENOENT)));
  EXPECT_TRUE(HasConfigProblems(ReadConfigText(kPath, "\0"s, 0)));
  EXPECT_TRUE(HasConfigProblems(ReadConfigText(kPath, "[main]\nComPortt=1\n", 0)));
}

TEST(ConfigReading, ListingShowsEveryKeyWithItsOrigin) {
  const std::string listing = ConfigListing(ReadConfigText(
      kPath, "[main]\nComPort=COM3\nFirstNumber=0x10\n[ServerHost]\nPort=70000\n"
             "[ports]\nCOM3=/dev/pts/7\n", {}));
  const std::string expected =
      "orvelgate.ini: /srv/station/orvelgate.ini\n"
      "[main] ComPort=COM3                      file\n"
      "[main] ComBaudRate=9600                  default\n"
      "[main] n_abs=-1                          default\n"
      "[main] name=-1                           default\n"
      "[main] FirstNumber=0x10                  file\n"
      "[main] PathForSoob=\"\"                    default\n"
      "[main] host=localhost                    default\n"
      "[main] NotSendToDiskT8=0                 default\n"
      "[main] Attention=00:10:00                default\n"
      "[main] Log=0                             default\n"
      "[main] SendT7=0                          default\n"
      "[main] SendT8=1                          default\n"
      "[main] LogMaxSize=67108864               default\n"
      "[ServerHost] Address=127.0.0.1           default\n"
      "[ServerHost] Port=12543                  default (bad value \"70000\")\n"
      "[ServerHost] PacketSize=2000             default\n"
      "[metrics] Port=0                         default\n"
      "[metrics] Address=127.0.0.1              default\n"
      "[ports] COM3=/dev/pts/7                  file\n"
      "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543\n";
  EXPECT_EQ(listing, expected);
}

TEST(ConfigReading, ReadsTheFileAtItsAbsolutePath) {
  TempDir dir;
  const testing::ScopedCwd cwd(dir.path());
  EXPECT_EQ(ReadConfigFile("orvelgate.ini").State, ConfigFileState::kMissing);
  EXPECT_EQ(ReadConfigFile("orvelgate.ini").Path, (dir / "orvelgate.ini").string());
  WriteFileText(dir / "orvelgate.ini", kGoodValues);
  EXPECT_EQ(ReadConfigFile("orvelgate.ini").Config.ServerHost.Port, 4000);
  ASSERT_EQ(mkdir((dir / "folder.ini").c_str(), 0700), 0);
  EXPECT_EQ(ReadConfigFile("folder.ini").State, ConfigFileState::kUnreadable);
}

TEST(ConfigReading, EachLineIsReportedOnceAProcess) {
  std::mutex mutex;
  std::vector<std::string> seen;
  const ScopedDiagnosticsSink sink([&](Severity, std::string_view text) {
    std::lock_guard lock(mutex);
    seen.emplace_back(text);
  });
  // A path of its own, so that no other test has reported these lines before.
  const std::string path = "/nonexistent/reported-once/orvelgate.ini";
  const ConfigReading bad =
      ReadConfigText(path, "[ServerHost]\nPort=70000\nAddress=a b\n", {});
  ReportConfigReading(bad);
  ReportConfigReading(bad);
  ReportConfigReading(ReadConfigText(path, "[ServerHost]\nPort=70000\n", {}));
  ReportConfigReading(ReadConfigText(path, "[ServerHost]\nPort=0\n", {}));
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "orvelgate.ini [ServerHost] Address=a b is not a host name or address; "
                      "using 127.0.0.1",
                      "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543",
                      "orvelgate.ini [ServerHost] Port=0 is out of range 1..65535; using 12543"}));
}

}  // namespace
}  // namespace orvelgate
