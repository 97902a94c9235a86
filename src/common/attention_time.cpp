#include "common/attention_time.h"

namespace orvelgate {
namespace {

// One part of the time: decimal digits only, at most `limit`.
std::optional<int> Part(std::string_view digits, int limit) {
  if (digits.empty()) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > limit) return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<DayCount> ParseTimeOfDay(std::string_view text) {
  static constexpr int kLimits[] = {23, 59, 59};
  int fields[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const std::size_t colon = text.find(':');
    const auto value = Part(text.substr(0, colon), kLimits[i]);
    if (!value) return std::nullopt;
    fields[i] = *value;
    if (colon == std::string_view::npos) {
      return (fields[0] * 3600 + fields[1] * 60 + fields[2]) / 86400.0;
    }
    text.remove_prefix(colon + 1);
  }
  return std::nullopt;  // a fourth part
}

DayCount ParseAttention(std::string_view text) {
  return ParseTimeOfDay(text).value_or(kDefaultAttention);
}

}  // namespace orvelgate
