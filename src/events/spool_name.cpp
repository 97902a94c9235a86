#include "events/spool_name.h"

#include <cstdio>

#include "common/error_log.h"

namespace orvelgate {

std::optional<uint32_t> SpoolStemValue(DayCount localTime) {
  const auto t = DecodeDateTime(localTime);
  if (!t) return std::nullopt;
  const uint64_t seconds = static_cast<uint64_t>(t->day) * 86400u +
                           static_cast<uint64_t>(t->hour) * 3600u +
                           static_cast<uint64_t>(t->minute) * 60u + static_cast<uint64_t>(t->second);
  // At most 31 * 86400000 - 1 = 2764799999, which fits an unsigned 32-bit number.
  return static_cast<uint32_t>(seconds * 1000u + static_cast<uint64_t>(t->millisecond));
}

std::optional<std::string> SpoolStem(DayCount localTime) {
  const auto value = SpoolStemValue(localTime);
  if (!value) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(*value));
  return std::string(text);
}

std::optional<std::string> SpoolName(DayCount localTime, const std::string& errorLog) {
  auto stem = SpoolStem(localTime);
  if (!stem) LogError(kSpoolNameError, errorLog);
  return stem;
}

std::string ComposeSpoolLeaf(std::string_view stem, uint32_t k, std::string_view tail) {
  std::string leaf(stem);
  if (k > 0) leaf += "-" + std::to_string(k);
  leaf += tail;
  return leaf;
}

namespace {
bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

SpoolLeafParts ParseSpoolLeaf(std::string_view leaf) {
  SpoolLeafParts parts;
  std::size_t i = 0;
  while (i < leaf.size() && IsHexDigit(leaf[i])) ++i;
  parts.stem = std::string(leaf.substr(0, i));
  if (i + 1 < leaf.size() && leaf[i] == '-' && IsDigit(leaf[i + 1])) {
    uint64_t k = 0;
    for (++i; i < leaf.size() && IsDigit(leaf[i]) && k <= UINT32_MAX; ++i) k = k * 10 + (leaf[i] - '0');
    parts.k = k > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(k);
  }
  return parts;
}

}  // namespace orvelgate
