#include "common/ini_text_fault.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orvelgate {
namespace {

TEST(IniTextFault, TellsTextFromGarbage) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string text;
    std::optional<std::string> fault;
  } cases[] = {
      {"empty", "", std::nullopt},
      {"plain", "[main]\r\nComPort=COM3\r\n\tSendT7 = 1\n", std::nullopt},
      {"byte order mark and Cyrillic", "\xEF\xBB\xBF[main]\nPathForSoob=/srv/\xD1\x81/\n",
       std::nullopt},
      {"windows-1251 bytes", "[main]\nPathForSoob=\xF1\xEF\xF3\xEB\n", std::nullopt},
      {"longest line", std::string(kMaxIniLineLength, 'x') + "\nA=1", std::nullopt},
      {"NUL", "[main]\nA=1\0"s, "holds a NUL byte on line 2"},
      {"bell", "[main]\n\nA=\a", "holds the control character 0x07 on line 3"},
      {"escape first", "\x1b[main]", "holds the control character 0x1B on line 1"},
      {"DEL", "[main]\x7f", "holds the control character 0x7F on line 1"},
      {"line one byte too long", "[main]\n" + std::string(kMaxIniLineLength + 1, 'x'),
       "has a line longer than 65536 bytes (line 2)"},
      {"ten megabyte line", "[main]\nA=" + std::string(10 << 20, '1') + "\n",
       "has a line longer than 65536 bytes (line 2)"},
  };
  for (const auto& c : cases) EXPECT_EQ(IniTextFault(c.text), c.fault) << c.name;
}

}  // namespace
}  // namespace orvelgate
