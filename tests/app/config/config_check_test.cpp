#include "app/config/config_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace orvelgate {
namespace {

std::string Lines(const CheckedConfig& c) {
  std::string text;
  for (const ConfigProblem& p : c.Problems) text += DescribeProblem(p, "orvelgate.ini") + "\n";
  return text;
}

// Every value out of its range: the key keeps its default and the problem says what was
// read and what is used.
struct HostileCase {
  const char* name;
  std::string ini;
  std::string line;
};

class HostileValues : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileValues, GiveTheDefaultAndOneLine) {
  const CheckedConfig c = CheckConfig(IniFile::Parse(GetParam().ini));
  EXPECT_EQ(c.Main, MainConfig{});
  EXPECT_EQ(c.ServerHost, ServerHostSettings{});
  EXPECT_FALSE(c.Metrics.On());
  EXPECT_EQ(Lines(c), GetParam().line + "\n");
}

const HostileCase kHostileCases[] = {
    {"port_too_high", "[ServerHost]\nPort=70000\n",
     "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543"},
    {"port_negative", "[serverhost]\nport=-1\n",
     "orvelgate.ini [ServerHost] Port=-1 is out of range 1..65535; using 12543"},
    {"port_zero_in_hex", "[ServerHost]\nPort=0x0\n",
     "orvelgate.ini [ServerHost] Port=0x0 is out of range 1..65535; using 12543"},
    {"port_word", "[ServerHost]\nPort=http\n",
     "orvelgate.ini [ServerHost] Port=http is not an integer in 1..65535; using 12543"},
    {"address_with_blank", "[ServerHost]\nAddress=10.0.0.1 backup\n",
     "orvelgate.ini [ServerHost] Address=10.0.0.1 backup is not a host name or address; "
     "using 127.0.0.1"},
    {"packet_size_beyond_32_bits", "[ServerHost]\nPacketSize=4294967296\n",
     "orvelgate.ini [ServerHost] PacketSize=4294967296 is not an integer in "
     "-2147483648..2147483647; using 2000"},
    {"first_number_beyond_32_bits", "[main]\nFirstNumber=2147483648\n",
     "orvelgate.ini [main] FirstNumber=2147483648 is not an integer in "
     "-2147483648..2147483647; using 4"},
    {"first_number_word", "[main]\nFirstNumber=four\n",
     "orvelgate.ini [main] FirstNumber=four is not an integer in -2147483648..2147483647; "
     "using 4"},
    {"n_abs_hex_too_long", "[main]\nn_abs=$100000000\n",
     "orvelgate.ini [main] n_abs=$100000000 is not an integer in -2147483648..2147483647; "
     "using -1"},
    {"name_empty", "[main]\nname=\n",
     "orvelgate.ini [main] name=\"\" is not an integer in -2147483648..2147483647; using -1"},
    {"com_port_unknown_name", "[main]\nComPort=ttyUSB0\n",
     "orvelgate.ini [main] ComPort=ttyUSB0 is neither COMn, a device path nor a key of "
     "[ports]; using COM255"},
    {"com_port_leading_zero", "[main]\nComPort=COM03\n",
     "orvelgate.ini [main] ComPort=COM03 is neither COMn, a device path nor a key of [ports]; "
     "using COM255"},
    {"com_port_without_number", "[main]\nComPort=COM\n",
     "orvelgate.ini [main] ComPort=COM is neither COMn, a device path nor a key of [ports]; "
     "using COM255"},
    {"com_port_zero", "[main]\nComPort=COM0\n",
     "orvelgate.ini [main] ComPort=COM0 is neither COMn, a device path nor a key of "
     "[ports]; using COM255"},
    {"com_port_empty_mapping", "[main]\nComPort=station\n[ports]\nstation=\n",
     "orvelgate.ini [main] ComPort=station is neither COMn, a device path nor a key of "
     "[ports]; using COM255"},
    {"t7_host_blank", "[main]\nhost=\" \"\n",
     "orvelgate.ini [main] host=\" \" is not a host name or address; using localhost"},
    {"flag_word", "[main]\nSendT8=false\n",
     "orvelgate.ini [main] SendT8=false is not an integer (0 is off, any other number on); "
     "using 1"},
    {"flag_yes", "[main]\nNotSendToDiskT8=yes\n",
     "orvelgate.ini [main] NotSendToDiskT8=yes is not an integer (0 is off, any other number "
     "on); using 0"},
    {"log_flag_blank", "[main]\nLog=\n",
     "orvelgate.ini [main] Log=\"\" is not an integer (0 is off, any other number on); using 0"},
    {"send_t7_word", "[main]\nSendT7=true\n",
     "orvelgate.ini [main] SendT7=true is not an integer (0 is off, any other number on); "
     "using 0"},
    {"attention_24_hours", "[main]\nAttention=24:00:00\n",
     "orvelgate.ini [main] Attention=24:00:00 is not a time h[:mm[:ss]] below 24:00:00; "
     "using 00:10:00"},
    {"log_max_size_zero", "[main]\nLogMaxSize=0\n",
     "orvelgate.ini [main] LogMaxSize=0 is out of range 1..2147483647; using 67108864"},
    {"log_max_size_negative", "[main]\nLogMaxSize=-4096\n",
     "orvelgate.ini [main] LogMaxSize=-4096 is out of range 1..2147483647; using 67108864"},
    {"log_max_size_with_unit", "[main]\nLogMaxSize=64M\n",
     "orvelgate.ini [main] LogMaxSize=64M is not an integer in 1..2147483647; using 67108864"},
    {"long_value_is_cut_in_the_line", "[main]\nhost=" + std::string(100, 'h') + " x\n",
     "orvelgate.ini [main] host=" + std::string(80, 'h') +
         "... (102 characters) is not a host name or address; using localhost"},
    // A bad value in [metrics] leaves the endpoint off, whatever the other key says.
    {"metrics_port_too_high", "[metrics]\nPort=70000\n",
     "orvelgate.ini [metrics] Port=70000 is out of range 0..65535; metrics stay off"},
    {"metrics_port_word", "[metrics]\nPort=http\nAddress=127.0.0.1\n",
     "orvelgate.ini [metrics] Port=http is not an integer in 0..65535; metrics stay off"},
    {"metrics_address_name", "[metrics]\nPort=9488\nAddress=localhost\n",
     "orvelgate.ini [metrics] Address=localhost is not a numeric IPv4 or IPv6 address; "
     "metrics stay off"},
    {"metrics_address_with_port", "[metrics]\nPort=9488\nAddress=127.0.0.1:9488\n",
     "orvelgate.ini [metrics] Address=127.0.0.1:9488 is not a numeric IPv4 or IPv6 address; "
     "metrics stay off"},
    {"metrics_address_empty", "[metrics]\nPort=9488\nAddress=\n",
     "orvelgate.ini [metrics] Address=\"\" is not a numeric IPv4 or IPv6 address; "
     "metrics stay off"},
};

INSTANTIATE_TEST_SUITE_P(Table, HostileValues, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Values out of range that are used all the same: their default would open, reach or
// run at something else. One line each says what they give.
struct KeptCase {
  const char* name;
  std::string ini;
  std::string line;
  std::function<void(CheckedConfig&)> expected;  // the change from the defaults
};

class KeptValues : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptValues, AreUsedWithOneLine) {
  const CheckedConfig c = CheckConfig(IniFile::Parse(GetParam().ini));
  CheckedConfig expected;
  GetParam().expected(expected);
  EXPECT_EQ(c.Main, expected.Main);
  EXPECT_EQ(c.ServerHost, expected.ServerHost);
  EXPECT_EQ(Lines(c), GetParam().line + "\n");
}

const std::string kSpeeds =
    "is not one of the speeds 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, "
    "56000, 57600, 115200, 128000, 256000";

const KeptCase kKeptCases[] = {
    {"baud_rate_1000", "[main]\nComBaudRate=1000\n",
     "orvelgate.ini [main] ComBaudRate=1000 " + kSpeeds +
         "; using 2400 bit/s with a packet time-out of 100 ms",
     [](CheckedConfig& c) { c.Main.ComBaudRate = "1000"; }},
    {"baud_rate_not_in_table", "[main]\nComBaudRate=12345\n",
     "orvelgate.ini [main] ComBaudRate=12345 " + kSpeeds +
         "; using 2400 bit/s with a packet time-out of 26 ms",
     [](CheckedConfig& c) { c.Main.ComBaudRate = "12345"; }},
    {"baud_rate_word", "[main]\nComBaudRate=fast\n",
     "orvelgate.ini [main] ComBaudRate=fast " + kSpeeds +
         "; using 2400 bit/s with a packet time-out of 70 ms",
     [](CheckedConfig& c) { c.Main.ComBaudRate = "fast"; }},
    {"baud_rate_empty", "[main]\nComBaudRate=\n",
     "orvelgate.ini [main] ComBaudRate=\"\" " + kSpeeds +
         "; using 2400 bit/s with a packet time-out of 70 ms",
     [](CheckedConfig& c) { c.Main.ComBaudRate = ""; }},
    {"com_port_empty", "[main]\nComPort=\n",
     "orvelgate.ini [main] ComPort=\"\" names no port; no port is opened, and the T8 server "
     "is told the name \"\"",
     [](CheckedConfig& c) { c.Main.ComPort = ""; }},
    {"t7_host_empty", "[main]\nhost=\"\"\n",
     "orvelgate.ini [main] host=\"\" names no host; the T7 link connects nowhere",
     [](CheckedConfig& c) { c.Main.T7Host = ""; }},
    {"address_empty", "[ServerHost]\nAddress=\n",
     "orvelgate.ini [ServerHost] Address=\"\" names no host; the T8 link connects nowhere",
     [](CheckedConfig& c) { c.ServerHost.Address = ""; }},
};

INSTANTIATE_TEST_SUITE_P(Table, KeptValues, ::testing::ValuesIn(kKeptCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigCheck, ValuesInRangeAreKeptAsRead) {
  const CheckedConfig c = CheckConfig(IniFile::Parse(
      "[MAIN]\ncomport=/dev/ttyUSB0\nFirstNumber=2147483647\nn_abs=$1F\nLogMaxSize=0x1000\n"
      "SendT7=-1\nAttention=0:30\n[ServerHost]\nPort=1\nAddress='server.local'\n"));
  EXPECT_TRUE(c.Problems.empty()) << Lines(c);
  EXPECT_EQ(c.Main.ComPort, "/dev/ttyUSB0");
  EXPECT_EQ(c.Main.FirstNumber, INT32_MAX);
  EXPECT_EQ(c.Main.NoticeFileNumber, 31);
  EXPECT_EQ(c.Main.LogMaxSize, 4096u);
  EXPECT_TRUE(c.Main.SendT7);
  EXPECT_EQ(c.Main.Attention, 30 / (24.0 * 60));
  EXPECT_EQ(c.ServerHost.Port, 1);
  EXPECT_EQ(c.ServerHost.Address, "server.local");
}

TEST(ConfigCheck, MetricsAreOffUntilAPortTurnsThemOn) {
  const struct {
    std::string ini;
    MetricsConfig metrics;
    bool on;
  } cases[] = {
      {"", {0, "127.0.0.1"}, false},
      {"[metrics]\nAddress=0.0.0.0\n", {0, "0.0.0.0"}, false},
      {"[metrics]\nPort=0\n", {0, "127.0.0.1"}, false},
      {"[metrics]\nPort=9488\n", {9488, "127.0.0.1"}, true},
      {"[METRICS]\nport=0x2510\naddress=::1\n", {9488, "::1"}, true},
      {"[metrics]\nPort=65535\nAddress=10.1.2.3\n", {65535, "10.1.2.3"}, true},
  };
  for (const auto& c : cases) {
    const CheckedConfig checked = CheckConfig(IniFile::Parse(c.ini));
    EXPECT_TRUE(checked.Problems.empty()) << c.ini << Lines(checked);
    EXPECT_EQ(checked.Metrics, c.metrics) << c.ini;
    EXPECT_EQ(checked.Metrics.On(), c.on) << c.ini;
  }
}

TEST(ConfigCheck, PortNamesOfEveryKindAreInRange) {
  for (const char* ini : {"[main]\nComPort=COM255\n", "[main]\nComPort=com3\n",
                          "[main]\nComPort=COM256\n", "[main]\nComPort=COM1234\n",
                          "[main]\nComPort=/dev/pts/4\n",
                          "[main]\nComPort=station\n[ports]\nstation=/dev/ttyUSB0\n"}) {
    EXPECT_TRUE(CheckConfig(IniFile::Parse(ini)).Problems.empty()) << ini;
  }
}

TEST(ConfigCheck, DefaultTextsReadAsTheBuiltInDefaults) {
  std::string ini = "[main]\n";
  std::string section = "main";
  for (const ConfigValue& v : CheckConfig(IniFile()).Values) {
    EXPECT_EQ(v.Origin, ValueOrigin::kDefault) << v.Key;
    if (v.Section != section) ini += "[" + (section = v.Section) + "]\n";
    ini += v.Key + "=\"" + v.Value + "\"\n";
  }
  const CheckedConfig fromText = CheckConfig(IniFile::Parse(ini));
  EXPECT_EQ(fromText.Main, MainConfig{});
  EXPECT_EQ(fromText.ServerHost, ServerHostSettings{});
  EXPECT_TRUE(fromText.Problems.empty()) << Lines(fromText);
  EXPECT_EQ(fromText.Metrics, MetricsConfig{});
  EXPECT_EQ(fromText.Values.size(), 18u);
}

TEST(ConfigCheck, ValuesSayWhereTheyCameFrom) {
  const CheckedConfig c =
      CheckConfig(IniFile::Parse("[main]\nComPort=COM3\n[ServerHost]\nPort=70000\n"
                                 "[ports]\nCOM3=/dev/pts/7\n"));
  auto find = [&](const std::string& key) {
    for (const ConfigValue& v : c.Values)
      if (v.Key == key) return v;
    ADD_FAILURE() << key << " not listed";
    return ConfigValue{};
  };
  EXPECT_EQ(find("ComPort").Origin, ValueOrigin::kFile);
  EXPECT_EQ(find("ComPort").Value, "COM3");
  EXPECT_EQ(find("SendT8").Origin, ValueOrigin::kDefault);
  EXPECT_EQ(find("SendT8").Value, "1");
  EXPECT_EQ(find("Port").Origin, ValueOrigin::kBadValue);
  EXPECT_EQ(find("Port").Value, "12543");
  EXPECT_EQ(find("Port").Read, "70000");
  EXPECT_EQ(find("COM3").Section, "ports");
  EXPECT_EQ(find("COM3").Value, "/dev/pts/7");
}

TEST(ConfigCheck, UnknownKeysNameTheNearestKnownOne) {
  const struct {
    std::string ini;
    std::string line;
  } cases[] = {
      {"[ServerHost]\nProt=70000\n",
       "orvelgate.ini [ServerHost] Prot=70000 is not a known key; did you mean Port? (ignored)"},
      {"[main]\nLogMaxSise=4096\n",
       "orvelgate.ini [main] LogMaxSise=4096 is not a known key; did you mean LogMaxSize? "
       "(ignored)"},
      {"[MAIN]\nSENDT8X=1\n",
       "orvelgate.ini [main] SENDT8X=1 is not a known key; did you mean SendT8? (ignored)"},
      {"[main]\nComPortt=COM3\n",
       "orvelgate.ini [main] ComPortt=COM3 is not a known key; did you mean ComPort? (ignored)"},
      {"[metrics]\nAdress=0.0.0.0\n",
       "orvelgate.ini [metrics] Adress=0.0.0.0 is not a known key; did you mean Address? "
       "(ignored)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Lines(CheckConfig(IniFile::Parse(c.ini))), c.line + "\n");
}

TEST(ConfigCheck, CommentedOutLinesAreNeitherKeysNorProblems) {
  const CheckedConfig c = CheckConfig(IniFile::Parse(
      "[main]\n;SendT7=1\n# Port=70000\n[ports]\n; COM3=/dev/ttyUSB0\n"));
  EXPECT_TRUE(c.Problems.empty()) << Lines(c);
  EXPECT_EQ(c.Values.size(), 18u) << "no [ports] entry";
  EXPECT_EQ(c.Main, MainConfig{});
}

TEST(ConfigCheck, OtherSectionsAndPortsHaveNoUnknownKeys) {
  const CheckedConfig c =
      CheckConfig(IniFile::Parse("[ports]\nCOM3=/dev/ttyUSB0\nstation=/dev/pts/1\n"
                                 "[window]\nLeft=10\n"));
  EXPECT_TRUE(c.Problems.empty()) << Lines(c);
}

TEST(ConfigCheck, EveryProblemOfAFileIsListedInReadingOrder) {
  const CheckedConfig c = CheckConfig(IniFile::Parse(
      "[ServerHost]\nPort=70000\n[main]\nFirstNumber=x\nSendT8=on\nComPort=COM3\nfoo=1\n"));
  EXPECT_EQ(Lines(c),
            "orvelgate.ini [main] FirstNumber=x is not an integer in -2147483648..2147483647; "
            "using 4\n"
            "orvelgate.ini [main] SendT8=on is not an integer (0 is off, any other number on); "
            "using 1\n"
            "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543\n"
            "orvelgate.ini [main] foo=1 is not a known key; did you mean Log? (ignored)\n");
  EXPECT_EQ(c.Main.ComPort, "COM3");  // the values in range still count
}

}  // namespace
}  // namespace orvelgate

namespace orvelgate {
namespace {

// The check table's defaults and the structs' initialisers say the same: a file that
// spells out every default of the table reads as the structs' defaults.
TEST(ConfigDefaults, TheTableSpellsTheStructsDefaults) {
  std::string text;
  std::string section;
  for (const ConfigValue& v : CheckConfig(IniFile::Parse("")).Values) {
    ASSERT_EQ(v.Origin, ValueOrigin::kDefault) << v.Key;
    if (v.Section != section) text += "[" + (section = v.Section) + "]\n";
    text += v.Key + "=" + v.Value + "\n";
  }
  const CheckedConfig spelled = CheckConfig(IniFile::Parse(text));
  for (const ConfigValue& v : spelled.Values) EXPECT_EQ(v.Origin, ValueOrigin::kFile) << v.Key;
  EXPECT_EQ(spelled.Main, MainConfig{});
  EXPECT_EQ(spelled.ServerHost, ServerHostSettings{});
  EXPECT_EQ(spelled.Metrics, MetricsConfig{});
  EXPECT_EQ(ParseAttention(kDefaultAttentionText), kDefaultAttention);
}

}  // namespace
}  // namespace orvelgate
