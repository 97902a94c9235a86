#include "common/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/no_failure.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

struct ValueCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> value;
};

TEST(IniFile, ReadsValuesByProfileRules) {
  const std::vector<ValueCase> cases{
      {"plain", "[main]\nComPort=COM3\n", "main", "ComPort", "COM3"},
      {"section and key case", "[MAIN]\ncomport=COM3\n", "Main", "COMPORT", "COM3"},
      {"blanks and tabs", "  [ main ]  \n \t ComPort \t =  COM3 \t \n", "main", "ComPort", "COM3"},
      {"CR LF", "[main]\r\nComPort=COM3\r\nhost=h\r\n", "main", "ComPort", "COM3"},
      {"no final line ending", "[main]\nhost=server", "main", "host", "server"},
      {"inner blanks kept", "[main]\nPathForSoob=a b  c\n", "main", "PathForSoob", "a b  c"},
      {"double quotes", "[main]\nhost=\" my host \"\n", "main", "host", " my host "},
      {"single quotes", "[main]\nhost='x'\n", "main", "host", "x"},
      {"one pair only", "[main]\nhost=\"\"x\"\"\n", "main", "host", "\"x\""},
      {"mismatched quotes", "[main]\nhost=\"x'\n", "main", "host", "\"x'"},
      {"opening quote only", "[main]\nhost=\"x\n", "main", "host", "\"x"},
      {"lone quote", "[main]\nhost=\"\n", "main", "host", "\""},
      {"empty quotes", "[main]\nhost=\"\"\n", "main", "host", ""},
      {"empty value", "[main]\nPathForSoob=\n", "main", "PathForSoob", ""},
      {"blank value", "[main]\nPathForSoob =   \n", "main", "PathForSoob", ""},
      {"equals in value", "[main]\nhost=a=b\n", "main", "host", "a=b"},
      {"absent key", "[main]\nhost=a\n", "main", "ComPort", std::nullopt},
      {"other section", "[ServerHost]\nPort=1\n", "main", "Port", std::nullopt},
      {"before any section", "Port=1\n[main]\n", "main", "Port", std::nullopt},
      {"first occurrence wins", "[main]\nPort=1\nport=2\n", "main", "Port", "1"},
      {"repeated section, first wins", "[main]\nA=1\n[x]\nA=5\n[MAIN]\nA=2\nB=3\n", "main", "A",
       "1"},
      {"repeated section adds keys", "[main]\nA=1\n[x]\nA=5\n[MAIN]\nA=2\nB=3\n", "main", "B",
       "3"},
      {"garbage ignored", "[main]\njunk line\n=nokey\n[broken\nA=1\n", "main", "A", "1"},
      {"key without equals", "[main]\nA\n", "main", "A", std::nullopt},
      {"comment lines are not keys", "[main]\n;A=1\n", "main", "A", std::nullopt},
      {"byte order mark", "\xEF\xBB\xBF[main]\nA=1\n", "main", "A", "1"},
      {"stored bytes", "[main]\nPathForSoob=/srv/\xD1\x81\xD0\xBF\xD1\x83\xD0\xBB/\n", "main",
       "PathForSoob", "/srv/\xD1\x81\xD0\xBF\xD1\x83\xD0\xBB/"},
      {"empty file", "", "main", "A", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniFile::Parse(c.text).Value(c.section, c.key), c.value) << c.name;
  }
}

// Every reader of the file (the settings, the [ports] map) skips a line that is not
// text and takes the others; a skipped line is named with its number.
TEST(IniFile, ALineThatIsNotTextIsSkippedWholeAndTheOthersCount) {
  using namespace std::string_literals;
  const IniFile ini = IniFile::Parse(
      "\xEF\xBB\xBF\x7f" "ELF\x01\n[main]\r\nA=1\r\nB\0=2\r\nC=\x1b[0m\r\n\r\n"
      "D="s + std::string(kMaxIniLineLength, 'd') + "\r\nE=5\r\n[ports]\nCOM3=/dev/ttyS0\n\0\0\0"s);
  EXPECT_EQ(ini.Value("main", "A"), "1");
  EXPECT_EQ(ini.Value("main", "B"), std::nullopt);
  EXPECT_EQ(ini.Value("main", "C"), std::nullopt);
  EXPECT_EQ(ini.Value("main", "D"), std::nullopt);
  EXPECT_EQ(ini.Value("main", "E"), "5");
  EXPECT_EQ(ini.Value("ports", "COM3"), "/dev/ttyS0");
  EXPECT_EQ(ini.SkippedLines(), (std::vector<IniLineFault>{{1, 0x7F, false},
                                                           {4, 0x00, false},
                                                           {5, 0x1B, false},
                                                           {7, 0, true},
                                                           {11, 0x00, false}}));
  EXPECT_EQ(ini.TextLines(), 5u);
  EXPECT_EQ(ini.SkippedLines()[3].Describe(), "more than 65536 bytes");
  EXPECT_EQ(IniFile::Parse("\0\n\x01").TextLines(), 0u);
}

TEST(IniFile, EntriesKeepTheSpellingOfTheFirstOccurrence) {
  const auto ini = IniFile::Parse("[Main]\n ComPort = \"COM3\"\nPORT=1\n[MAIN]\nport=2\nHost=h\n"
                                  "[ServerHost]\nAddress=a\n");
  std::vector<std::string> seen;
  for (const auto& e : ini.Entries()) seen.push_back(e.Section + "|" + e.Key + "|" + e.Value);
  EXPECT_EQ(seen, (std::vector<std::string>{"Main|ComPort|COM3", "MAIN|Host|h", "Main|PORT|1",
                                            "ServerHost|Address|a"}));
}

TEST(IniFile, ErasedValuesReadAsAbsent) {
  auto ini = IniFile::Parse("[main]\nPort=1\nhost=h\n");
  ini.Erase("MAIN", " port ");
  EXPECT_EQ(ini.Value("main", "Port"), std::nullopt);
  EXPECT_EQ(ini.Value("main", "host"), "h");
  EXPECT_EQ(ini.Entries().size(), 1u);
}

TEST(IniFile, CutsLongValuesAt2047Characters) {
  const std::string exact(2047, 'x');
  const std::string longer = std::string(2046, 'y') + "zZ";  // 2048
  const auto ini = IniFile::Parse("[main]\nA=" + exact + "\nB=" + longer + "\nC=\"" + exact +
                                  "\"\nD=" + std::string(5000, 'w') + "\n");
  EXPECT_EQ(ini.Value("main", "A"), exact);
  EXPECT_EQ(ini.Value("main", "B"), std::string(2046, 'y') + "z");
  EXPECT_EQ(ini.Value("main", "C"), exact);  // the quotes do not count
  EXPECT_EQ(ini.Value("main", "D")->size(), 2047u);
}

TEST(IniFile, TextDistinguishesEmptyFromAbsent) {
  const auto ini = IniFile::Parse("[main]\nPathForSoob=\nhost=\"\"\n");
  EXPECT_EQ(ini.ReadString("main", "PathForSoob", "default"), "");
  EXPECT_EQ(ini.ReadString("main", "host", "localhost"), "");
  EXPECT_EQ(ini.ReadString("main", "ComPort", "COM255"), "COM255");
}

TEST(ProfileInteger, ConvertsDecimalAndHexadecimal) {
  const std::vector<std::pair<std::string, std::optional<int32_t>>> cases{
      {"0", 0},
      {"42", 42},
      {"-42", -42},
      {"+42", 42},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"0x10", 16},
      {"0X1f", 31},
      {"0x1", 1},
      {"0x7FFFFFFF", INT32_MAX},
      {"0x000000000010", 16},
      {"0x80000000", std::nullopt},
      {"0x", std::nullopt},
      {"0X", std::nullopt},
      {"0xg", std::nullopt},
      {"0x-1", std::nullopt},
      {"-0x10", std::nullopt},
      {"$10", 16},
      {"$ff", 255},
      {"$", std::nullopt},
      {"$-1", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"1 2", std::nullopt},
      {"12a", std::nullopt},
      {"true", std::nullopt},
      {"1.5", std::nullopt},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(ParseProfileInteger(text), value) << text;
}

TEST(IniFile, IntegersFallBackToTheDefault) {
  const auto ini = IniFile::Parse(
      "[main]\nFirstNumber=0x10\nn_abs=\"-7\"\nname=\nPort=abc\nbig=4294967296\n"
      "[ServerHost]\nPort=$3101\n");
  EXPECT_EQ(ini.ReadInteger("main", "FirstNumber", 4), 16);
  EXPECT_EQ(ini.ReadInteger("main", "n_abs", -1), -7);
  EXPECT_EQ(ini.ReadInteger("main", "name", -1), -1);  // empty
  EXPECT_EQ(ini.ReadInteger("main", "Port", 12543), 12543);
  EXPECT_EQ(ini.ReadInteger("main", "big", 5), 5);
  EXPECT_EQ(ini.ReadInteger("main", "absent", 4), 4);
  EXPECT_EQ(ini.ReadInteger("serverhost", "port", 0), 0x3101);
}

TEST(IniFile, BooleansAreIntegers) {
  struct Case {
    const char* value;  // nullptr: key absent
    bool withDefaultTrue, withDefaultFalse;
  };
  const std::vector<Case> cases{
      {"1", true, true},       {"0", false, false},     {"true", true, false},
      {"false", true, false},  {"yes", true, false},    {"0x10", true, true},
      {"-1", true, true},      {"2", true, true},       {"0x0", false, false},
      {"", true, false},       {nullptr, true, false},  {"\"0\"", false, false},
  };
  for (const auto& c : cases) {
    const std::string text = c.value ? std::string("[main]\nSendT8=") + c.value + "\n" : "[main]\n";
    const auto ini = IniFile::Parse(text);
    EXPECT_EQ(ini.ReadBool("main", "SendT8", true), c.withDefaultTrue) << (c.value ? c.value : "absent");
    EXPECT_EQ(ini.ReadBool("main", "SendT8", false), c.withDefaultFalse) << (c.value ? c.value : "absent");
  }
}

TEST(IniFile, MissingOrUnreadableFileReadsAsEmpty) {
  TempDir dir;
  EXPECT_EQ(IniFile::Load((dir / "absent.ini").string()).ReadString("main", "ComPort", "COM255"),
            "COM255");
  fs::create_directory(dir / "folder.ini");
  EXPECT_EQ(IniFile::Load((dir / "folder.ini").string()).ReadInteger("main", "FirstNumber", 4), 4);
  WriteFileText(dir / "orvelgate.ini", "[main]\r\nComPort=COM7\r\n");
  EXPECT_EQ(IniFile::Load((dir / "orvelgate.ini").string()).ReadString("main", "ComPort", ""),
            "COM7");
}

// ---- writing -------------------------------------------------------------------------

struct SetCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  std::string value;
  std::string after;
};

TEST(SetIniValue, KeepsEveryOtherLine) {
  const std::vector<SetCase> cases{
      {"replace in place", "; settings\n[main]\nComPort = COM1\nSendT8=1\n\n[ServerHost]\nPort=1\n",
       "main", "ComPort", "COM3",
       "; settings\n[main]\nComPort = COM3\nSendT8=1\n\n[ServerHost]\nPort=1\n"},
      {"names matched without case", "[MAIN]\ncomport=COM1\n", "main", "ComPort", "COM2",
       "[MAIN]\ncomport=COM2\n"},
      {"added at the end of its section", "[main]\nA=1\n\n[other]\nB=2\n", "main", "C", "3",
       "[main]\nA=1\nC=3\n\n[other]\nB=2\n"},
      {"added to a section of garbage", "[main]\njunk\n", "main", "C", "3",
       "[main]\njunk\nC=3\n"},
      {"added after a last line without ending", "[main]", "main", "A", "1", "[main]\nA=1\n"},
      {"section added", "[main]\nA=1", "other", "B", "2", "[main]\nA=1\n[other]\nB=2\n"},
      {"section added after a last line ended by a lone CR", "[x]\r\nA=1\r", "main", "B", "2",
       "[x]\r\nA=1\r\n[main]\r\nB=2\r\n"},
      {"key added after a last line ended by a lone CR", "[main]\nA=x\r\r", "main", "B", "2",
       "[main]\nA=x\r\r\nB=2\n"},
      {"empty file", "", "main", "ComPort", "COM3", "[main]\nComPort=COM3\n"},
      {"CR LF kept", "[main]\r\nA=1\r\n", "main", "B", "2", "[main]\r\nA=1\r\nB=2\r\n"},
      {"CR LF for a new section", "[main]\r\nA=1\r\n", "x", "B", "2",
       "[main]\r\nA=1\r\n[x]\r\nB=2\r\n"},
      {"first occurrence replaced", "[main]\nA=1\nA=2\n", "main", "A", "9", "[main]\nA=9\nA=2\n"},
      {"key in a repeated section", "[main]\nA=1\n[x]\n[main]\nB=2\n", "main", "B", "3",
       "[main]\nA=1\n[x]\n[main]\nB=3\n"},
      {"new key goes to the first section", "[main]\nA=1\n[x]\n[main]\nB=2\n", "main", "C", "3",
       "[main]\nA=1\nC=3\n[x]\n[main]\nB=2\n"},
      {"key before any section is not the key", "A=1\n", "main", "A", "2",
       "A=1\n[main]\nA=2\n"},
      {"byte order mark kept", "\xEF\xBB\xBF[main]\nA=1\n", "main", "A", "2",
       "\xEF\xBB\xBF[main]\nA=2\n"},
      {"empty value", "[main]\nA=1\n", "main", "A", "", "[main]\nA=\n"},
      {"blank-edged value quoted", "[main]\n", "main", "A", " x ", "[main]\nA=\" x \"\n"},
      {"quoted value quoted", "[main]\n", "main", "A", "'q'", "[main]\nA=\"'q'\"\n"},
  };
  for (const auto& c : cases) {
    const auto after = SetIniValue(c.before, c.section, c.key, c.value);
    ASSERT_TRUE(after) << c.name;
    EXPECT_EQ(*after, c.after) << c.name;
    EXPECT_EQ(IniFile::Parse(*after).Value(c.section, c.key), c.value) << c.name;
  }
}

TEST(SetIniValue, RefusesWhatCannotBeWrittenOnOneLine) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases{
      {"main", "A", "two\nlines"}, {"main", "A", "cr\r"},  {"main", "A", std::string("n\0l", 3)},
      {"main", "a=b", "1"},        {"main", "", "1"},      {"main", " A", "1"},
      {"main", "[A", "1"},         {"ma]in", "A", "1"},    {"", "A", "1"},
      {" main", "A", "1"},         {"ma\nin", "A", "1"},
  };
  for (const auto& [section, key, value] : cases)
    EXPECT_FALSE(SetIniValue("[main]\n", section, key, value)) << section << "/" << key;
}

TEST(WriteIniString, RewritesTheWholeFileKeepingOtherLinesAndMode) {
  TempDir dir;
  const auto ini = dir / "orvelgate.ini";
  WriteFileText(ini, "[main]\r\nComPort=COM1\r\nhost=srv\r\n[ServerHost]\r\nPort=1\r\n");
  ::chmod(ini.c_str(), 0640);
  ASSERT_TRUE(testing::NoFailure(WriteIniString(ini.string(), "main", "ComPort", "COM3")));
  EXPECT_EQ(ReadFileText(ini), "[main]\r\nComPort=COM3\r\nhost=srv\r\n[ServerHost]\r\nPort=1\r\n");
  EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // Nothing but the file itself is left in the folder.
  std::vector<fs::path> entries(fs::directory_iterator(dir.path()), fs::directory_iterator());
  EXPECT_EQ(entries, std::vector<fs::path>{ini});
}

TEST(WriteIniString, CreatesAMissingFile) {
  TempDir dir;
  ASSERT_TRUE(
      testing::NoFailure(WriteIniString((dir / "new.ini").string(), "main", "ComPort", "COM4")));
  EXPECT_EQ(ReadFileText(dir / "new.ini"), "[main]\nComPort=COM4\n");
}

TEST(WriteIniString, ReplacesTheTargetOfALink) {
  TempDir dir;
  WriteFileText(dir / "real.ini", "[main]\nComPort=COM1\n");
  fs::create_symlink(dir / "real.ini", dir / "orvelgate.ini");
  ASSERT_TRUE(testing::NoFailure(
      WriteIniString((dir / "orvelgate.ini").string(), "main", "ComPort", "COM2")));
  EXPECT_TRUE(fs::is_symlink(dir / "orvelgate.ini"));
  EXPECT_EQ(ReadFileText(dir / "real.ini"), "[main]\nComPort=COM2\n");
}

TEST(WriteIniString, FailsWithoutTouchingWhatIsThere) {
  TempDir dir;
  fs::create_directory(dir / "folder.ini");
  // Each says why: the system's errno where there is one.
  const auto onFolder = WriteIniString((dir / "folder.ini").string(), "main", "A", "1");
  ASSERT_TRUE(onFolder);
  EXPECT_EQ(onFolder->Errno(), EISDIR) << onFolder->Describe();
  EXPECT_TRUE(fs::is_directory(dir / "folder.ini"));
  const auto inMissing = WriteIniString((dir / "missing" / "x.ini").string(), "main", "A", "1");
  ASSERT_TRUE(inMissing);
  EXPECT_EQ(inMissing->Errno(), ENOENT) << inMissing->Describe();
  WriteFileText(dir / "ok.ini", "[main]\nA=1\n");
  const auto twoLines = WriteIniString((dir / "ok.ini").string(), "main", "A", "two\nlines");
  ASSERT_TRUE(twoLines);
  EXPECT_EQ(twoLines->Describe(), "[main] A cannot be written on one line of " +
                                      (dir / "ok.ini").string());
  EXPECT_EQ(ReadFileText(dir / "ok.ini"), "[main]\nA=1\n");
  std::vector<fs::path> entries(fs::directory_iterator(dir.path()), fs::directory_iterator());
  EXPECT_EQ(entries.size(), 2u);  // folder.ini and ok.ini, no temporary files
}

// A reader in another thread sees the old file or the new one, never a part of either.
TEST(WriteIniString, ConcurrentReaderNeverSeesAPartlyWrittenFile) {
  TempDir dir;
  const std::string path = (dir / "orvelgate.ini").string();
  const std::string padding(60000, 'p');
  std::string comments;  // with the padding, large enough to need several writes
  for (int i = 0; i < 2000; ++i) comments += "; " + std::string(100, 'c') + "\n";
  const std::string head = "[main]\nPad=" + padding + "\n" + comments + "[ServerHost]\nAddress=";
  WriteFileText(path, head + "one\n");
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    while (!done) {
      const auto ini = IniFile::Load(path);
      const std::string address = ini.ReadString("ServerHost", "Address", "");
      if ((address != "one" && address != "two") || ini.ReadString("main", "Pad", "") != padding.substr(0, 2047))
        ++bad;
      ++reads;
    }
  });
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(
        testing::NoFailure(WriteIniString(path, "ServerHost", "Address", i % 2 ? "one" : "two")));
  // Let the reader get some reads in even on a slow machine.
  while (reads < 20) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

}  // namespace
}  // namespace orvelgate
