#pragma once
// The check of orvelgate.ini's values, with no I/O: every known key is held to its
// range; a value outside it is dropped, so the key takes its default, and the problem is
// listed with what was read and what is used instead. A few such values are used as
// they stand, since their default would do something else (an empty port or host name
// is none, not the default one; a speed outside the table keeps the design speed): the
// line then says what they give. Keys that no part of the driver
// reads are listed too, with the known key nearest in spelling. Values in range are read
// exactly as ReadInteger, ReadBool and ReadString read them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/config/main_config.h"
#include "common/ini_file.h"

namespace orvelgate {

enum class ValueOrigin { kFile, kDefault, kBadValue };

// One key as the driver uses it: the value as written in the file or as the default.
struct ConfigValue {
  std::string Section;  // as the driver spells it ("ServerHost")
  std::string Key;
  std::string Value;    // the text used
  ValueOrigin Origin = ValueOrigin::kDefault;
  std::string Read;     // the file's text, for kFile and kBadValue
};

struct ConfigProblem {
  std::string Section;
  std::string Key;
  std::string ValueRead;
  std::optional<std::string> ValueUsed;  // nullopt: the line is ignored (unknown key)
  std::string Reason;                    // "is out of range 1..65535"
  std::string Outcome;  // what a bad value does besides taking its default; "" for nothing

  bool operator==(const ConfigProblem&) const = default;
};

struct CheckedConfig {
  MainConfig Main;
  ServerHostSettings ServerHost;
  MetricsConfig Metrics;
  std::vector<ConfigValue> Values;  // every known key in reading order, then [ports]
  std::vector<ConfigProblem> Problems;
};

CheckedConfig CheckConfig(const IniFile& ini);

// The values in range, defaults for the rest (CheckConfig without its report).
MainConfig ReadMainConfig(const IniFile& ini);
ServerHostSettings ReadServerHostConfig(const IniFile& ini);

// "orvelgate.ini [ServerHost] Port=70000 is out of range 1..65535; using 12543"
std::string DescribeProblem(const ConfigProblem& problem, const std::string& fileName);

// A value as a line shows it: quoted when empty or blank at an end, cut when very long.
std::string ShownValue(const std::string& value);

}  // namespace orvelgate
