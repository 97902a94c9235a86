#include "app/config/main_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/config/config_check.h"
#include "app/config/config_reading.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::TempDir;
using testing::WriteFileText;

// A time of day as the time rule computes it.
DayCount Hms(int h, int m, int s) { return (h * 3600 + m * 60 + s) / 86400.0; }

}  // namespace

void PrintTo(const MainConfig& c, std::ostream* os) {
  *os << "{ComPort=" << c.ComPort << " ComBaudRate=" << c.ComBaudRate << " NoticeFileNumber=" << c.NoticeFileNumber
      << " name=" << c.Name << " FirstNumber=" << c.FirstNumber << " SpoolPrefix=" << c.SpoolPrefix
      << " host=" << c.T7Host << " DropUndeliveredT8=" << c.DropUndeliveredT8
      << " Attention=" << c.Attention * 86400 << "s Log=" << c.Log << " SendT7=" << c.SendT7
      << " SendT8=" << c.SendT8 << " LogMaxSize=" << c.LogMaxSize << "}";
}

void PrintTo(const ServerHostSettings& c, std::ostream* os) {
  *os << "{Address=" << c.Address << " Port=" << c.Port << " PacketSize=" << c.PacketSize << "}";
}

namespace {

TEST(MainConfig, DefaultsWhenTheFileIsMissing) {
  TempDir dir;
  const MainConfig c = LoadMainConfig((dir / "orvelgate.ini").string());
  EXPECT_EQ(c.ComPort, "COM255");
  EXPECT_EQ(c.ComBaudRate, "9600");
  EXPECT_EQ(c.NoticeFileNumber, -1);
  EXPECT_EQ(c.Name, -1);
  EXPECT_EQ(c.FirstNumber, 4);
  EXPECT_EQ(c.SpoolPrefix, "");
  EXPECT_EQ(c.T7Host, "localhost");
  EXPECT_FALSE(c.DropUndeliveredT8);
  EXPECT_EQ(c.Attention, Hms(0, 10, 0));
  EXPECT_FALSE(c.Log);
  EXPECT_FALSE(c.SendT7);
  EXPECT_TRUE(c.SendT8);
  EXPECT_EQ(c, MainConfig{});

  const ServerHostSettings s = LoadServerHostConfig((dir / "orvelgate.ini").string());
  EXPECT_EQ(s.Address, "127.0.0.1");
  EXPECT_EQ(s.Port, 12543);
  EXPECT_EQ(s.PacketSize, 2000);
}

struct MainCase {
  const char* name;
  std::string ini;
  std::function<void(MainConfig&)> expect;  // turns the defaults into the expected values
};

class MainConfigKeys : public ::testing::TestWithParam<MainCase> {};

TEST_P(MainConfigKeys, ReadsTheKeyByItsRule) {
  MainConfig expected;
  GetParam().expect(expected);
  EXPECT_EQ(ReadMainConfig(IniFile::Parse(GetParam().ini)), expected);
}

constexpr char kJunk[] = "\0\xff\xfe[main]\0SendT7=1";

const MainCase kMainCases[] = {
    {"every_key_set",
     "[main]\nComPort=COM3\nComBaudRate=115200\nn_abs=7\nname=12\nFirstNumber=2\n"
     "PathForSoob=spool/\nhost=msg.example\nNotSendToDiskT8=1\nAttention=0:30\nLog=1\n"
     "SendT7=1\nSendT8=0\nLogMaxSize=4096\n",
     [](MainConfig& c) {
       c.ComPort = "COM3";
       c.ComBaudRate = "115200";
       c.NoticeFileNumber = 7;
       c.Name = 12;
       c.FirstNumber = 2;
       c.SpoolPrefix = "spool/";
       c.T7Host = "msg.example";
       c.DropUndeliveredT8 = true;
       c.Attention = Hms(0, 30, 0);
       c.Log = true;
       c.SendT7 = true;
       c.SendT8 = false;
       c.LogMaxSize = 4096;
     }},
    {"names_without_case", "[MAIN]\ncomport=COM4\nSENDT7=1\n",
     [](MainConfig& c) {
       c.ComPort = "COM4";
       c.SendT7 = true;
     }},
    {"lower_case_com255_is_a_port_name", "[main]\nComPort=com255\n",
     [](MainConfig& c) { c.ComPort = "com255"; }},
    // Empty names stay empty (no port, no host), and so does an empty speed, which keeps
    // the design speed (config_check_test.cpp has the rest).
    {"empty_names_and_speed_are_kept", "[main]\nComPort=\nhost=\nComBaudRate=\n",
     [](MainConfig& c) {
       c.ComPort = "";
       c.T7Host = "";
       c.ComBaudRate = "";
     }},
    {"empty_spool_prefix_is_in_range", "[main]\nPathForSoob=\n", [](MainConfig&) {}},
    {"hexadecimal_integers", "[main]\nFirstNumber=0x10\nn_abs=$1F\n",
     [](MainConfig& c) {
       c.FirstNumber = 16;
       c.NoticeFileNumber = 31;
     }},
    {"negative_integer", "[main]\nFirstNumber=-3\n", [](MainConfig& c) { c.FirstNumber = -3; }},
    {"largest_first_number_kept", "[main]\nFirstNumber=2147483647\n",
     [](MainConfig& c) { c.FirstNumber = INT32_MAX; }},
    {"smallest_first_number_kept", "[main]\nFirstNumber=-2147483648\n",
     [](MainConfig& c) { c.FirstNumber = INT32_MIN; }},
    {"integer_out_of_range_gives_default", "[main]\nFirstNumber=2147483648\nn_abs=abc\n",
     [](MainConfig&) {}},
    {"empty_integer_gives_default", "[main]\nFirstNumber=\nname=\n", [](MainConfig&) {}},
    {"boolean_words_give_defaults", "[main]\nSendT8=false\nSendT7=true\nNotSendToDiskT8=yes\n",
     [](MainConfig&) {}},
    {"boolean_any_nonzero_is_true", "[main]\nSendT7=2\nSendT8=0x0\nLog=-1\n",
     [](MainConfig& c) {
       c.SendT7 = true;
       c.SendT8 = false;
       c.Log = true;
     }},
    {"attention_ten_hours", "[main]\nAttention=10\n",
     [](MainConfig& c) { c.Attention = Hms(10, 0, 0); }},
    {"attention_seconds", "[main]\nAttention=00:00:02\n",
     [](MainConfig& c) { c.Attention = Hms(0, 0, 2); }},
    {"attention_24_hours_gives_ten_minutes", "[main]\nAttention=24:00:00\n", [](MainConfig&) {}},
    {"attention_word_gives_ten_minutes", "[main]\nAttention=soon\n", [](MainConfig&) {}},
    {"attention_empty_gives_ten_minutes", "[main]\nAttention=\n", [](MainConfig&) {}},
    {"quoted_values", "[main]\nPathForSoob=\" spool dir/\"\nhost='h'\n",
     [](MainConfig& c) {
       c.SpoolPrefix = " spool dir/";
       c.T7Host = "h";
     }},
    {"keys_of_other_sections_ignored", "[ServerHost]\nComPort=COM9\n[other]\nSendT7=1\n",
     [](MainConfig&) {}},
    {"garbage_lines", "\x01\x02garbage\n[main\n=1\nComPort\n[main]\n;SendT7=1\nSendT8 0\n",
     [](MainConfig&) {}},
    {"binary_junk", std::string(kJunk, sizeof kJunk - 1), [](MainConfig&) {}},
};

INSTANTIATE_TEST_SUITE_P(Table, MainConfigKeys, ::testing::ValuesIn(kMainCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ServerHostSettings, ReadsItsSection) {
  const struct {
    std::string ini;
    ServerHostSettings expected;
  } cases[] = {
      {"[ServerHost]\nAddress=10.0.0.5\nPort=2000\nPacketSize=10\n", {"10.0.0.5", 2000, 10}},
      {"[serverhost]\naddress=server.local\n", {"server.local", 12543, 2000}},
      {"[ServerHost]\nPort=abc\nPacketSize=\n", {"127.0.0.1", 12543, 2000}},
      {"[ServerHost]\nPort=0x3000\n", {"127.0.0.1", 0x3000, 2000}},
      {"[ServerHost]\nPort=70000\nAddress=\n", {"", 12543, 2000}},
      {"[ServerHost]\nPort=-1\n", {"127.0.0.1", 12543, 2000}},
      {"[ServerHost]\nPort=65535\nPacketSize=-5\n", {"127.0.0.1", 65535, -5}},
      {"[main]\nAddress=1.2.3.4\nPort=1\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadServerHostConfig(IniFile::Parse(c.ini)), c.expected) << c.ini;
  }
}

TEST(MainConfig, ReadsTheFile) {
  TempDir dir;
  WriteFileText(dir / "orvelgate.ini",
                "[main]\r\nComPort=COM7\r\nSendT7=1\r\n[ServerHost]\r\nPort=4000\r\n");
  const MainConfig c = LoadMainConfig((dir / "orvelgate.ini").string());
  EXPECT_EQ(c.ComPort, "COM7");
  EXPECT_TRUE(c.SendT7);
  EXPECT_EQ(LoadServerHostConfig((dir / "orvelgate.ini").string()).Port, 4000);
}

TEST(MainConfig, UnreadableFileGivesDefaults) {
  TempDir dir;
  // A folder under the file's name cannot be read as a file.
  ASSERT_EQ(mkdir((dir / "orvelgate.ini").c_str(), 0700), 0);
  EXPECT_EQ(LoadMainConfig((dir / "orvelgate.ini").string()), MainConfig{});
  EXPECT_EQ(LoadServerHostConfig((dir / "orvelgate.ini").string()), ServerHostSettings{});

  if (geteuid() != 0) {  // root reads whatever the mode says
    WriteFileText(dir / "locked.ini", "[main]\nSendT7=1\n");
    ASSERT_EQ(chmod((dir / "locked.ini").c_str(), 0), 0);
    EXPECT_EQ(LoadMainConfig((dir / "locked.ini").string()), MainConfig{});
  }
}

}  // namespace
}  // namespace orvelgate
