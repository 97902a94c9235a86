#include "common/ini_file.h"

#include <cerrno>
#include <vector>

#include "common/whole_file.h"

namespace orvelgate {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Fold(std::string_view s) {
  std::string folded(s);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

bool EnclosedInQuotes(std::string_view s) {
  return s.size() >= 2 && IsQuote(s.front()) && s.front() == s.back();
}

struct Line {
  std::string_view text;    // without its line ending
  std::string_view ending;  // "\r\n", "\n", a final "\r", or empty for a last line without one
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::size_t length = nl == std::string_view::npos ? text.size() : nl;
    std::size_t endingLength = nl == std::string_view::npos ? 0 : 1;
    if (length > 0 && text[length - 1] == '\r') {
      --length;
      ++endingLength;
    }
    lines.push_back({text.substr(0, length), text.substr(length, endingLength)});
    text.remove_prefix(length + endingLength);
  }
  return lines;
}

enum class LineKind { Blank, Section, Pair, Other };

struct Classified {
  LineKind kind = LineKind::Other;
  std::string_view name;   // section name or key, trimmed
  std::string_view value;  // trimmed, quotes still on
};

Classified Classify(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.empty()) return {LineKind::Blank, {}, {}};
  if (t.front() == '[') {
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos) return {};
    return {LineKind::Section, Trim(t.substr(1, close - 1)), {}};
  }
  const std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  const std::string_view key = Trim(t.substr(0, eq));
  if (key.empty()) return {};
  return {LineKind::Pair, key, Trim(t.substr(eq + 1))};
}

std::string StoredValue(std::string_view raw) {
  if (EnclosedInQuotes(raw)) raw = raw.substr(1, raw.size() - 2);
  return std::string(raw.substr(0, IniFile::kMaxValueLength));
}

std::optional<int64_t> ParseDigits(std::string_view digits, int base) {
  if (digits.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    value = value * base + d;
    if (value > (int64_t{1} << 31)) return std::nullopt;  // out of range already
  }
  return value;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool WritableName(std::string_view name) {
  return !name.empty() && Trim(name) == name && !HasLineBreakOrNul(name);
}

}  // namespace

IniFile IniFile::Load(const std::string& path) {
  int error = 0;  // an unreadable file reads as an empty one
  const auto text = ReadWholeFile(path, error);
  return Parse(text ? std::string_view(*text) : std::string_view());
}

IniFile IniFile::Parse(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  IniFile ini;
  std::optional<std::string_view> section;
  std::size_t number = 0;
  for (const Line& line : SplitLines(text)) {
    if (auto fault = FindIniLineFault(line.text, ++number)) {
      ini.skipped_.push_back(*fault);
      continue;
    }
    const Classified c = Classify(line.text);
    if (c.kind != LineKind::Blank) ++ini.textLines_;
    if (c.kind == LineKind::Section) {
      section = c.name;
    } else if (c.kind == LineKind::Pair && section) {
      ini.values_.emplace(std::make_pair(Fold(*section), Fold(c.name)),
                          Entry{std::string(*section), std::string(c.name), StoredValue(c.value)});
    }
  }
  return ini;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
  const auto it = values_.find({Fold(Trim(section)), Fold(Trim(key))});
  if (it == values_.end()) return std::nullopt;
  return it->second.Value;
}

std::vector<IniFile::Entry> IniFile::Entries() const {
  std::vector<Entry> entries;
  entries.reserve(values_.size());
  for (const auto& [names, entry] : values_) entries.push_back(entry);
  return entries;
}

void IniFile::Erase(std::string_view section, std::string_view key) {
  values_.erase({Fold(Trim(section)), Fold(Trim(key))});
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  return Value(section, key).value_or(std::string(def));
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  return ParseProfileInteger(Value(section, key).value_or("")).value_or(def);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::optional<int32_t> ParseProfileInteger(std::string_view text) {
  std::optional<int64_t> value;
  if (text.size() >= 3 && (text.starts_with("0x") || text.starts_with("0X"))) {
    value = ParseDigits(text.substr(2), 16);
  } else if (text.starts_with("$")) {
    value = ParseDigits(text.substr(1), 16);
  } else {
    const bool negative = text.starts_with("-");
    if (negative || text.starts_with("+")) text.remove_prefix(1);
    value = ParseDigits(text, 10);
    if (value && negative) *value = -*value;
  }
  if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

namespace {

// A value with blanks at an end, or that a reader would take for quoted, goes in quotes.
std::string WrittenValue(std::string_view value) {
  const bool quote = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                        EnclosedInQuotes(value));
  return quote ? "\"" + std::string(value) + "\"" : std::string(value);
}

// The file's own line ending: that of its first line ended by LF or CR LF.
std::string_view FileNewline(const std::vector<Line>& lines) {
  for (const Line& l : lines) {
    if (l.ending == "\r\n" || l.ending == "\n") return l.ending;
  }
  return "\n";
}

// Where a key's new value goes: the first line the reader would take for the key, in
// any section of that name; else after the last non-blank line of the first section of
// that name; else (neither) in a new section at the end.
struct KeyPlace {
  std::optional<std::size_t> replaceAt, insertAfter;
};

KeyPlace FindKeyPlace(const std::vector<Line>& lines, std::string_view section,
                      std::string_view key) {
  const std::string wanted = Fold(section), wantedKey = Fold(key);
  bool inWanted = false, inFirst = false;
  KeyPlace place;
  for (std::size_t i = 0; i < lines.size() && !place.replaceAt; ++i) {
    const Classified c = Classify(lines[i].text);
    if (c.kind == LineKind::Section) {
      inWanted = Fold(c.name) == wanted;
      inFirst = inWanted && !place.insertAfter;
      if (inFirst) place.insertAfter = i;
    } else if (inWanted && c.kind == LineKind::Pair && Fold(c.name) == wantedKey) {
      place.replaceAt = i;
    } else if (inFirst && c.kind != LineKind::Blank) {
      place.insertAfter = i;
    }
  }
  return place;
}

}  // namespace

std::optional<std::string> SetIniValue(std::string_view text, std::string_view section,
                                       std::string_view key, std::string_view value) {
  if (!WritableName(section) || section.find(']') != std::string_view::npos ||
      !WritableName(key) || key.find('=') != std::string_view::npos || key.front() == '[' ||
      HasLineBreakOrNul(value))
    return std::nullopt;

  const std::string stored = WrittenValue(value);
  std::string_view bom;
  if (text.starts_with(kUtf8Bom)) {
    bom = kUtf8Bom;
    text.remove_prefix(kUtf8Bom.size());
  }
  const std::vector<Line> lines = SplitLines(text);
  const std::string_view newline = FileNewline(lines);
  const auto [replaceAt, insertAfter] = FindKeyPlace(lines, section, key);

  std::string out(bom);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& l = lines[i];
    if (replaceAt == i) {
      // Keep the key as spelt and the blanks after "=", change only the value.
      std::size_t at = l.text.find('=') + 1;
      while (at < l.text.size() && IsBlank(l.text[at])) ++at;
      out.append(l.text.substr(0, at)).append(stored).append(l.ending);
      continue;
    }
    out.append(l.text);
    if (!replaceAt && insertAfter == i) {
      // A last line without an ending gets one; a lone CR ending is completed to CR LF
      // (replacing it would make a CR left in the line part of its value).
      out.append(l.ending.empty() ? newline : l.ending == "\r" ? "\r\n" : l.ending);
      out.append(key).append("=").append(stored).append(newline);
    } else {
      out.append(l.ending);
    }
  }
  if (!replaceAt && !insertAfter) {
    // A last line ended by a lone CR is completed to CR LF: a whole line ending after
    // the CR would make the CR part of that line's value.
    if (!out.empty() && out.back() == '\r') out.append("\n");
    else if (!out.empty() && out.back() != '\n') out.append(newline);
    out.append("[").append(section).append("]").append(newline);
    out.append(key).append("=").append(stored).append(newline);
  }
  return out;
}

std::optional<Failure> WriteIniString(const std::string& path, std::string_view section,
                                      std::string_view key, std::string_view value) {
  int error = 0;
  auto text = ReadWholeFile(path, error);
  if (!text) {
    if (error != ENOENT) return Failure::FromErrno(error, "read " + path);  // keep what is there
    text.emplace();
  }
  const auto updated = SetIniValue(*text, section, key, value);
  if (!updated) {
    return Failure::FromText("[" + std::string(section) + "] " + std::string(key) +
                             " cannot be written on one line of " + path);
  }
  return ReplaceWholeFile(path, *updated);
}

}  // namespace orvelgate
