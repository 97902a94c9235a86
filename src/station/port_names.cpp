#include "station/port_names.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "common/ini_file.h"

namespace orvelgate {

namespace {

bool IsDecimal(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsWithCom(std::string_view name) {
  if (name.size() < 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
  }
  return true;
}

}  // namespace

std::string PortNameFor(std::string_view comPort) {
  std::string name(kPortNamePrefix);
  name += comPort;
  return name;
}

std::string ComNameOf(std::string_view portName) {
  if (portName.substr(0, kPortNamePrefix.size()) == kPortNamePrefix) {
    portName.remove_prefix(kPortNamePrefix.size());
  }
  return std::string(portName);
}

std::optional<int> ComNumber(std::string_view comName) {
  if (comName.size() < 4 || comName.size() > 6 || !StartsWithCom(comName)) return std::nullopt;
  const std::string_view digits = comName.substr(3);
  if (digits.front() == '0') return std::nullopt;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 256) return std::nullopt;
  return n;
}

std::string ServerPortName(std::string_view comName) {
  if (comName.empty()) return {};
  if (StartsWithCom(comName) && IsDecimal(comName.substr(3))) return std::string(comName);
  return "COM0";
}

std::optional<std::string> ResolvePortPath(std::string_view portName, const PortLookup& lookup) {
  const std::string comName = ComNameOf(portName);
  if (comName.empty()) return std::nullopt;
  if (lookup) {
    if (auto mapped = lookup(comName); mapped && !mapped->empty()) return mapped;
  }
  if (comName.front() == '/') return comName;
  if (auto n = ComNumber(comName)) return "/dev/ttyS" + std::to_string(*n - 1);
  return std::nullopt;
}

PortResolver MakePortResolver(PortLookup lookup) {
  return [lookup = std::move(lookup)](const std::string& portName) {
    return ResolvePortPath(portName, lookup);
  };
}

PortLookup IniPortLookup(std::string iniPath) {
  return [iniPath = std::move(iniPath)](const std::string& comName) {
    return IniFile::Load(iniPath).Value("ports", comName);
  };
}

PortResolver DefaultPortResolver() { return MakePortResolver(IniPortLookup(kIniFileName)); }

}  // namespace orvelgate
