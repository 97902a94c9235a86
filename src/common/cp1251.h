#pragma once
// Windows-1251 <-> UTF-8. Sources and the operator's texts are UTF-8; files that are
// kept in Windows-1251 (the error log) and counted strings on the wire are converted.

#include <string>
#include <string_view>

namespace orvelgate {

// Characters that Windows-1251 cannot hold become '?'.
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace orvelgate
