// Arbitrary configuration files through the INI reader and writer.
//
// Input: the file's text, then (after the last three NUL bytes) a section, a key and a
// value to write: text \0 section \0 key \0 value. With fewer than three NULs the whole
// input is the text and [main] ComPort is written with the value "COM7".
//
// Checks:
// - every key the driver reads (and a few taken from the text) reads the same through
//   Value, ReadString, ReadInteger and ReadBool as the profile rules say, no value is
//   longer than 2047 characters, and integers agree with a reference reading;
// - the Attention value follows the time rule: hours[:minutes[:seconds]] within a day,
//   ten minutes otherwise;
// - SetIniValue refuses exactly the names and values that cannot be written on one line;
//   what it writes reads back as the value, leaves every other value as it was, and
//   writing the same value again changes nothing.

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/attention_time.h"
#include "common/ini_file.h"
#include "common/log_rotation.h"
#include "fuzz_input.h"

namespace orvelgate::fuzz {
namespace {

using Name = std::pair<std::string, std::string>;

const std::vector<Name>& DriverKeys() {
  static const std::vector<Name> keys = [] {
    std::vector<Name> k;
    for (const char* key : {"ComPort", "ComBaudRate", "n_abs", "name", "FirstNumber", "PathForSoob",
                            "host", "NotSendToDiskT8", "Attention", "Log", "SendT7", "SendT8",
                            "LogMaxSize"})
      k.emplace_back("main", key);
    for (const char* key : {"Address", "Port", "PacketSize"}) k.emplace_back("ServerHost", key);
    for (const char* key : {"COM1", "COM3", "COM255"}) k.emplace_back("ports", key);
    return k;
  }();
  return keys;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Fold(std::string_view s) {
  std::string f(s);
  for (char& c : f)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return f;
}

// Section names and keys as they appear in the text, found without the reader's own
// rules; names that the reader would not take only read as absent on both sides.
std::vector<Name> NamesIn(std::string_view text) {
  std::vector<Name> names;
  std::string section;
  std::size_t start = 0;
  while (start <= text.size() && names.size() < 64) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line = Trim(line.substr(0, line.size() - 1));
    if (!line.empty() && line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) section = Trim(line.substr(1, close - 1));
    } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      names.emplace_back(section, Trim(line.substr(0, eq)));
    }
    start = end + 1;
  }
  return names;
}

// The profile-integer rule read with std::from_chars.
std::optional<int32_t> ReferenceInteger(std::string_view t) {
  int base = 10;
  bool negative = false;
  if (t.size() >= 3 && (t.starts_with("0x") || t.starts_with("0X"))) {
    base = 16;
    t.remove_prefix(2);
  } else if (t.starts_with("$")) {
    base = 16;
    t.remove_prefix(1);
  } else if (t.starts_with("-") || t.starts_with("+")) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
  if (t.empty() || error != std::errc() || end != t.data() + t.size()) return std::nullopt;
  if (magnitude > (uint64_t{1} << 31)) return std::nullopt;
  const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// The time rule read with std::from_chars: one to three parts of decimal digits.
std::optional<int> ReferenceSeconds(std::string_view t) {
  static constexpr int kLimits[] = {23, 59, 59};
  static constexpr int kScale[] = {3600, 60, 1};
  int seconds = 0;
  for (int part = 0; part < 3; ++part) {
    const std::size_t colon = t.find(':');
    const std::string_view digits = t.substr(0, colon);
    for (char c : digits)
      if (c < '0' || c > '9') return std::nullopt;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || value > static_cast<unsigned>(kLimits[part]))
      return std::nullopt;
    seconds += static_cast<int>(value) * kScale[part];
    if (colon == std::string_view::npos) return seconds;
    t.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

void CheckReads(const IniFile& ini, const Name& name) {
  const auto& [section, key] = name;
  const std::optional<std::string> value = ini.Value(section, key);
  if (value) FUZZ_CHECK(value->size() <= IniFile::kMaxValueLength);
  FUZZ_CHECK(ini.ReadString(section, key, "\x01" "default") == value.value_or("\x01" "default"));
  for (const int32_t def : {0, 1, -7, INT32_MIN}) {
    const int32_t got = ini.ReadInteger(section, key, def);
    FUZZ_CHECK(got == ReferenceInteger(value.value_or("")).value_or(def));
  }
  for (const bool def : {false, true})
    FUZZ_CHECK(ini.ReadBool(section, key, def) == (ini.ReadInteger(section, key, def ? 1 : 0) != 0));
}

void CheckAttention(const IniFile& ini) {
  const std::string text = ini.ReadString("main", "Attention", "00:10:00");
  const DayCount attention = ParseAttention(text);
  const std::optional<int> seconds = ReferenceSeconds(text);
  FUZZ_CHECK(ParseTimeOfDay(text).has_value() == seconds.has_value());
  FUZZ_CHECK(attention >= 0.0 && attention < 1.0);
  const double expected = seconds ? *seconds / 86400.0 : kDefaultAttention;
  FUZZ_CHECK(std::fabs(attention - expected) < 1e-12);
}

bool Writable(std::string_view name) {
  return !name.empty() && Trim(name) == name &&
         name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void CheckWrite(std::string_view text, const IniFile& before, const std::string& section,
                const std::string& key, const std::string& value) {
  const auto written = SetIniValue(text, section, key, value);
  const bool writable = Writable(section) && section.find(']') == std::string::npos && Writable(key) &&
                        key.find('=') == std::string::npos && key.front() != '[' &&
                        value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
  FUZZ_CHECK(written.has_value() == writable);
  if (!written) return;

  const IniFile after = IniFile::Parse(*written);
  FUZZ_CHECK(after.Value(section, key) == value.substr(0, IniFile::kMaxValueLength));

  std::vector<Name> others = NamesIn(text);
  others.insert(others.end(), DriverKeys().begin(), DriverKeys().end());
  for (const auto& [s, k] : others) {
    if (Fold(s) == Fold(section) && Fold(k) == Fold(key)) continue;
    FUZZ_CHECK(after.Value(s, k) == before.Value(s, k));
  }

  FUZZ_CHECK(SetIniValue(*written, section, key, value) == written);
}

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;

  const std::string_view all(reinterpret_cast<const char*>(data), size);
  std::string_view text = all;
  std::string section = "main", key = "ComPort", value = "COM7";
  const std::size_t third = all.rfind('\0');
  const std::size_t second = third == std::string_view::npos || third == 0 ? std::string_view::npos
                                                                            : all.rfind('\0', third - 1);
  const std::size_t first = second == std::string_view::npos || second == 0 ? std::string_view::npos
                                                                             : all.rfind('\0', second - 1);
  if (first != std::string_view::npos) {
    text = all.substr(0, first);
    section = all.substr(first + 1, second - first - 1);
    key = all.substr(second + 1, third - second - 1);
    value = all.substr(third + 1);
  }

  const IniFile ini = IniFile::Parse(text);
  for (const Name& name : DriverKeys()) CheckReads(ini, name);
  for (const Name& name : NamesIn(text)) CheckReads(ini, name);
  CheckReads(ini, {section, key});
  CheckAttention(ini);
  const uint64_t logMaxSize = ReadLogMaxSize(ini);
  FUZZ_CHECK(logMaxSize > 0 && logMaxSize <= INT32_MAX);

  CheckWrite(text, ini, section, key, value);
  return 0;
}
