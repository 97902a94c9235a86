#include "common/ini_text_fault.h"

#include <cstdio>

namespace orvelgate {
namespace {

bool IsControl(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

std::string ControlText(unsigned char c, std::size_t line) {
  char text[64];
  if (c == 0) std::snprintf(text, sizeof text, "a NUL byte on line %zu", line);
  else std::snprintf(text, sizeof text, "the control character 0x%02X on line %zu", c, line);
  return text;
}

}  // namespace

std::optional<std::string> IniTextFault(std::string_view text) {
  std::size_t line = 1, lineLength = 0;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      ++line;
      lineLength = 0;
      continue;
    }
    if (IsControl(c)) return "holds " + ControlText(c, line);
    if (++lineLength > kMaxIniLineLength)
      return "has a line longer than " + std::to_string(kMaxIniLineLength) + " bytes (line " +
             std::to_string(line) + ")";
  }
  return std::nullopt;
}

}  // namespace orvelgate
