// Arbitrary configuration files through the INI reader and writer.
//
// Input: the file's text, then (after the last three NUL bytes) a section, a key and a
// value to write: text \0 section \0 key \0 value. With fewer than three NULs the whole
// input is the text and [main] ComPort is written with the value "COM7".
//
// Checks:
// - every key the driver reads, and every key of the text, reads as a plain model of the
//   profile rules says (ModelEntries, written apart from the reader), and the same through
//   Value, ReadString, ReadInteger and ReadBool; no value is longer than 2047
//   characters, and integers agree with a reference reading;
// - the Attention value follows the time rule: hours[:minutes[:seconds]] within a day,
//   ten minutes otherwise;
// - SetIniValue refuses exactly the names and values that cannot be written on one line;
//   what it writes reads back as the value, leaves every other value as it was, and
//   writing the same value again changes nothing.

#include <algorithm>
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

bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view Strip(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Names compare equal when they differ at most in the case of ASCII letters.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const bool letter = (x >= 'A' && x <= 'Z') || (x >= 'a' && x <= 'z');
           return x == y || (letter && (x ^ 0x20) == y);
         });
}

// A line the reader takes: no NUL or other control byte but tab and CR, at most 65536 bytes.
bool IsTextLine(std::string_view line) {
  if (line.size() > 65536) return false;
  return std::none_of(line.begin(), line.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t' && c != '\r') || c == 0x7F;
  });
}

bool AllTextLines(std::string_view text) {
  for (std::size_t end = text.find('\n');; end = text.find('\n')) {
    if (!IsTextLine(text.substr(0, end))) return false;
    if (end == std::string_view::npos) return true;
    text.remove_prefix(end + 1);
  }
}

struct Entry {
  std::string section, key, value;
};

// The rules of ini_file.h once more, the plain way: the entries in the order of the
// file; a lookup takes the first whose names match.
std::vector<Entry> ModelEntries(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<Entry> entries;
  std::optional<std::string> section;
  while (!text.empty()) {
    const std::size_t nl = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(std::min(nl + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!IsTextLine(line)) continue;  // skipped whole: it counts for nothing
    line = Strip(line);
    if (line.starts_with('[')) {
      if (const std::size_t close = line.find(']'); close != std::string_view::npos)
        section = Strip(line.substr(1, close - 1));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || !section) continue;
    const std::string_view key = Strip(line.substr(0, eq));
    std::string_view value = Strip(line.substr(eq + 1));
    if (key.empty()) continue;
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    entries.push_back({*section, std::string(key), std::string(value.substr(0, 2047))});
  }
  return entries;
}

std::optional<std::string> ModelValue(const std::vector<Entry>& entries, std::string_view section,
                                      std::string_view key) {
  for (const Entry& e : entries)
    if (SameName(e.section, Strip(section)) && SameName(e.key, Strip(key))) return e.value;
  return std::nullopt;
}

std::vector<Name> NamesOf(const std::vector<Entry>& entries) {
  std::vector<Name> names;
  for (const Entry& e : entries) {
    if (names.size() == 64) break;
    names.emplace_back(e.section, e.key);
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

void CheckReads(const IniFile& ini, const std::vector<Entry>& model, const Name& name) {
  const auto& [section, key] = name;
  const std::optional<std::string> value = ini.Value(section, key);
  FUZZ_CHECK(value == ModelValue(model, section, key));
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
  return !name.empty() && !IsSpaceOrTab(name.front()) && !IsSpaceOrTab(name.back()) &&
         name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void CheckWrite(const std::vector<Entry>& model, const IniFile& before, std::string_view text,
                const std::string& section,
                const std::string& key, const std::string& value) {
  const auto written = SetIniValue(text, section, key, value);
  const bool writable = Writable(section) && section.find(']') == std::string::npos && Writable(key) &&
                        key.find('=') == std::string::npos && key.front() != '[' &&
                        value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
  FUZZ_CHECK(written.has_value() == writable);
  if (!written) return;

  const IniFile after = IniFile::Parse(*written);
  // A line that is not text is skipped on reading, so only a write into a file of text
  // lines, with names and a value that are text, must read back.
  if (!AllTextLines(text) || !IsTextLine(section) || !IsTextLine(key) || !IsTextLine(value))
    return;
  FUZZ_CHECK(after.Value(section, key) == value.substr(0, IniFile::kMaxValueLength));

  std::vector<Name> others = NamesOf(model);
  others.insert(others.end(), DriverKeys().begin(), DriverKeys().end());
  for (const auto& [s, k] : others) {
    if (SameName(s, section) && SameName(k, key)) continue;
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
  const std::vector<Entry> model = ModelEntries(text);
  for (const Name& name : DriverKeys()) CheckReads(ini, model, name);
  for (const Name& name : NamesOf(model)) CheckReads(ini, model, name);
  CheckReads(ini, model, {section, key});
  CheckAttention(ini);
  const uint64_t logMaxSize = ReadLogMaxSize(ini);
  FUZZ_CHECK(logMaxSize > 0 && logMaxSize <= INT32_MAX);

  CheckWrite(model, ini, text, section, key, value);
  return 0;
}
