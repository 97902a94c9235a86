#include "common/ini_text_fault.h"

#include <cstdio>

namespace orvelgate {
namespace {

bool IsControl(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

}  // namespace

std::string IniLineFault::Describe() const {
  if (TooLong) return "more than " + std::to_string(kMaxIniLineLength) + " bytes";
  if (Control == 0) return "a NUL byte";
  char text[40];
  std::snprintf(text, sizeof text, "the control character 0x%02X", Control);
  return text;
}

std::optional<IniLineFault> FindIniLineFault(std::string_view text, std::size_t line) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == kMaxIniLineLength) return IniLineFault{line, 0, true};
    const auto c = static_cast<unsigned char>(text[i]);
    if (IsControl(c)) return IniLineFault{line, c, false};
  }
  return std::nullopt;
}

std::optional<std::string> IniTextFault(std::string_view text) {
  for (std::size_t line = 1;; ++line) {
    const std::size_t end = text.find('\n');
    if (const auto fault = FindIniLineFault(text.substr(0, end), line)) {
      if (fault->TooLong)
        return "has a line longer than " + std::to_string(kMaxIniLineLength) + " bytes (line " +
               std::to_string(line) + ")";
      return "holds " + fault->Describe() + " on line " + std::to_string(line);
    }
    if (end == std::string_view::npos) return std::nullopt;
    text.remove_prefix(end + 1);
  }
}

}  // namespace orvelgate
