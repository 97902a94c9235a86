#pragma once
// Lines of a configuration file that hold no text. The INI reader skips a line it does
// not understand, but a line of binary bytes (a copied image, a truncated download, a
// power cut during an edit) could still read as a key; such a line is skipped whole and
// named, and the lines around it count as usual.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelgate {

// No hand-written line comes near this; values are cut at 2047 characters anyway.
inline constexpr std::size_t kMaxIniLineLength = 65536;

// Why a line is no text: a NUL byte, a control character other than tab and CR, or more
// than kMaxIniLineLength bytes. Bytes from 0x80 up are allowed: values may be UTF-8 or
// Windows-1251.
struct IniLineFault {
  std::size_t Line = 0;        // from 1
  unsigned char Control = 0;   // the first control character, when that is the fault
  bool TooLong = false;
  // "a NUL byte", "the control character 0x07", "more than 65536 bytes"
  std::string Describe() const;
  bool operator==(const IniLineFault&) const = default;
};

// The fault of one line (without its LF), numbered `line`; nullopt for text.
std::optional<IniLineFault> FindIniLineFault(std::string_view text, std::size_t line);

// Why `text` is no text file, naming the first offending line; nullopt for text.
std::optional<std::string> IniTextFault(std::string_view text);

}  // namespace orvelgate
