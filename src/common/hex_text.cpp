#include "common/hex_text.h"

namespace orvelgate {
namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Hex(std::span<const uint8_t> bytes, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (separator != '\0' && !text.empty()) text += separator;
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, std::string_view ignored) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (ignored.find(c) != std::string_view::npos) continue;
    const int digit = DigitValue(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

}  // namespace orvelgate
