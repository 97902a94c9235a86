#pragma once
// The configuration file (orvelgate.ini) with the usual profile-file rules:
//   [section]          opens a section; names are matched without regard to letter case
//   key = value        a value; keys are matched without regard to letter case
// Blanks around section names, keys and values are ignored; one pair of enclosing
// quotation marks (single or double) is removed from a value; a value longer than 2047
// characters is cut to its first 2047. Lines that are neither are ignored, and so are
// values before the first section. A line that holds no text (a NUL or another control
// byte, or more than kMaxIniLineLength bytes: see ini_text_fault.h) is skipped whole and
// remembered with its number; every other line counts as usual. When a key occurs more than once in a section (or in
// sections of the same name) the first occurrence counts. A file that is missing or
// cannot be read reads as an empty one.
//
// Letter case is folded for ASCII letters only. Values are returned as the file holds
// them (bytes; on Linux normally UTF-8): no character set conversion is applied.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "common/ini_text_fault.h"

namespace orvelgate {

class IniFile {
 public:
  static constexpr std::size_t kMaxValueLength = 2047;

  static IniFile Load(const std::string& path);
  static IniFile Parse(std::string_view text);

  // nullopt for an absent key; an empty text for a key that is present without a value.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;
  // Absent: the default; present and empty: the empty text.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // The value as an integer (ParseProfileInteger); the default when it does not convert,
  // is empty or is absent.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // An integer with the default 1 or 0: true when not 0. "1" is true, "0" false, and a
  // word such as "true" gives the default.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // Every value the reader takes, with its section and key spelt as at their first
  // occurrence, in the order of the folded names.
  struct Entry {
    std::string Section;
    std::string Key;
    std::string Value;
  };
  std::vector<Entry> Entries() const;

  // Forgets a value, so that it reads as absent.
  void Erase(std::string_view section, std::string_view key);

  // The lines skipped as no text, in file order.
  const std::vector<IniLineFault>& SkippedLines() const { return skipped_; }
  // How many lines that are not blank were read as text.
  std::size_t TextLines() const { return textLines_; }

 private:
  std::map<std::pair<std::string, std::string>, Entry> values_;  // by folded names
  std::vector<IniLineFault> skipped_;
  std::size_t textLines_ = 0;
};

// A decimal number with an optional sign; a text of three or more characters starting
// with "0x" or "0X", or any text starting with "$", is hexadecimal. The result must lie
// in the signed 32-bit range; anything else (including an empty text or inner blanks)
// gives nullopt.
std::optional<int32_t> ParseProfileInteger(std::string_view text);

// `text` with `key` in `section` set to `value`, every other line kept as it was: the
// first line that the reader would take for the key is replaced in place, or the key
// is added at the end of the section, or the section is added at the end of the text.
// A value with blanks at its ends, or one that is itself enclosed in quotes, is written
// within double quotes so that it reads back unchanged. nullopt for names or a value
// that cannot be written on one line (line breaks, NUL, "]" in a section name, "=" in a
// key, empty or blank-edged names).
std::optional<std::string> SetIniValue(std::string_view text, std::string_view section,
                                       std::string_view key, std::string_view value);

// Sets one value in the file at `path` (created when missing). The whole file is
// rewritten through a temporary file and a rename, so a reader never sees it half
// written. nullopt when done; otherwise what failed: the file exists but cannot be read,
// the arguments cannot be written (SetIniValue), or the new file could not be put in place.
std::optional<Failure> WriteIniString(const std::string& path, std::string_view section,
                                      std::string_view key, std::string_view value);

}  // namespace orvelgate
