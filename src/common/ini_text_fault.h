#pragma once
// Whether a configuration file holds text at all. The INI reader skips whatever it does
// not understand, so a binary file (a copied image, a truncated download, a disk fault)
// would silently read as "no settings"; this tells the operator instead.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvelgate {

// No hand-written line comes near this; values are cut at 2047 characters anyway.
inline constexpr std::size_t kMaxIniLineLength = 65536;

// Why `text` is no text file, naming the first offending line: a NUL byte, a control
// character other than tab, CR and LF, or a line longer than kMaxIniLineLength bytes.
// nullopt for text. Bytes from 0x80 up are allowed: values may be UTF-8 or Windows-1251.
std::optional<std::string> IniTextFault(std::string_view text);

}  // namespace orvelgate
