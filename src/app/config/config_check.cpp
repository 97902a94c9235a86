#include "app/config/config_check.h"

#include <arpa/inet.h>

#include <string_view>

#include "common/attention_time.h"
#include "common/edit_distance.h"
#include "common/log_rotation.h"
#include "station/serial_settings.h"

namespace orvelgate {
namespace {

// Why a value is out of range; nullopt when it is in range. The whole file is at hand
// for ComPort, which may name a key of [ports].
using RangeCheck = std::optional<std::string> (*)(std::string_view value, const IniFile& ini);
// For a value out of range that is used all the same: what it gives, for the line;
// nullopt when the value is dropped for the default.
using KeptOutcome = std::optional<std::string> (*)(std::string_view value);

struct KeyRule {
  std::string_view Section;
  std::string_view Key;
  std::string_view Default;  // the default as the file would spell it
  RangeCheck Check;
  // What a bad value does besides taking the default ("" for nothing more).
  std::string_view Outcome = {};
  KeptOutcome Kept = nullptr;
};

// A bad value in [metrics] leaves the endpoint off rather than open it somewhere else.
constexpr std::string_view kMetricsOff = "metrics stay off";

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && EditDistance(a, b) == 0;
}

std::string Range(int64_t low, int64_t high) {
  return std::to_string(low) + ".." + std::to_string(high);
}

// An integer outside the signed 32-bit range is refused by ReadInteger and never
// wrapped, so it is out of range for every key, including FirstNumber.
template <int64_t Low, int64_t High>
std::optional<std::string> IntegerIn(std::string_view value, const IniFile&) {
  const auto n = ParseProfileInteger(value);
  if (!n) return "is not an integer in " + Range(Low, High);
  if (*n < Low || *n > High) return "is out of range " + Range(Low, High);
  return std::nullopt;
}

// Any 32-bit integer is a valid FirstNumber: FirstNumber * 10000 + object wraps to 32
// bits as all account arithmetic does (wrap_int.h), and FirstNumberNotice carries only
// the low byte, so 2147483647 keeps its FF there.
constexpr auto AnyInteger = IntegerIn<INT32_MIN, INT32_MAX>;

std::optional<std::string> Flag(std::string_view value, const IniFile&) {
  if (ParseProfileInteger(value)) return std::nullopt;
  return "is not an integer (0 is off, any other number on)";
}

bool HasControlCharacter(std::string_view value) {
  for (const char c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

std::optional<std::string> HostName(std::string_view value, const IniFile&) {
  if (value.empty()) return "names no host";
  if (HasControlCharacter(value) ||
      value.find_first_of(" \t") != std::string_view::npos)
    return "is not a host name or address";
  return std::nullopt;
}

// The metrics endpoint listens on an address of this machine: no name, so no lookup.
std::optional<std::string> NumericAddress(std::string_view value, const IniFile&) {
  const std::string text(value);
  unsigned char bytes[16];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1)
    return std::nullopt;
  return "is not a numeric IPv4 or IPv6 address";
}

std::optional<std::string> PathText(std::string_view value, const IniFile&) {
  if (HasControlCharacter(value)) return "holds a control character";
  return std::nullopt;
}

// COMn in any letter case, n without leading zeros.
bool WindowsPortName(std::string_view value) {
  if (value.size() < 4 || !SameName(value.substr(0, 3), "COM") || value[3] == '0') return false;
  return value.substr(3).find_first_not_of("0123456789") == std::string_view::npos;
}

// The names the port component may resolve (port_names.h). Any COMn counts, not only
// COM1..COM256: [ports] is read afresh at every open, so a mapping may come later.
std::optional<std::string> PortName(std::string_view value, const IniFile& ini) {
  if (value.empty()) return "names no port";
  if (WindowsPortName(value) || value.starts_with("/")) return std::nullopt;
  if (!value.empty() && !ini.Value("ports", value).value_or("").empty()) return std::nullopt;
  return "is neither COMn, a device path nor a key of [ports]";
}

std::optional<std::string> Speed(std::string_view value, const IniFile&) {
  if (TableBaudRate(value)) return std::nullopt;
  return "is not one of the speeds 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, "
         "38400, 56000, 57600, 115200, 128000, 256000";
}

// An empty name is what the driver itself writes when a scan finds no port; no host is
// an empty host too. Neither is replaced by a default that would open or reach
// something else.
std::optional<std::string> NoPort(std::string_view value) {
  if (!value.empty()) return std::nullopt;
  return std::string("no port is opened, and the T8 server is told the name \"\"");
}

std::optional<std::string> NoT7Host(std::string_view value) {
  if (!value.empty()) return std::nullopt;
  return std::string("the T7 link connects nowhere");
}

std::optional<std::string> NoT8Host(std::string_view value) {
  if (!value.empty()) return std::nullopt;
  return std::string("the T8 link connects nowhere");
}

// Any other speed text keeps the port's design speed, and its number still sets the
// packet time-out: a station that talks at 2400 bit/s keeps being heard.
std::optional<std::string> DesignSpeed(std::string_view value) {
  return "using " + std::to_string(kDesignBaudRate) + " bit/s with a packet time-out of " +
         std::to_string(StartupPacketTimeout(value)) + " ms";
}

std::optional<std::string> TimeOfDay(std::string_view value, const IniFile&) {
  if (ParseTimeOfDay(value)) return std::nullopt;
  return "is not a time h[:mm[:ss]] below 24:00:00";
}

// Every key the driver reads from the file, in the order of its start-up.
constexpr KeyRule kRules[] = {
    {"main", "ComPort", "COM255", PortName, {}, NoPort},
    {"main", "ComBaudRate", "9600", Speed, {}, DesignSpeed},
    {"main", "n_abs", "-1", AnyInteger},
    {"main", "name", "-1", AnyInteger},
    {"main", "FirstNumber", "4", AnyInteger},
    {"main", "PathForSoob", "", PathText},
    {"main", "host", "localhost", HostName, {}, NoT7Host},
    {"main", "NotSendToDiskT8", "0", Flag},
    {"main", "Attention", kDefaultAttentionText, TimeOfDay},
    {"main", "Log", "0", Flag},
    {"main", "SendT7", "0", Flag},
    {"main", "SendT8", "1", Flag},
    {"main", "LogMaxSize", "67108864", IntegerIn<1, INT32_MAX>},
    {"ServerHost", "Address", "127.0.0.1", HostName, {}, NoT8Host},
    {"ServerHost", "Port", "12543", IntegerIn<1, 65535>},
    {"ServerHost", "PacketSize", "2000", AnyInteger},
    {"metrics", "Port", "0", IntegerIn<0, 65535>, kMetricsOff},
    {"metrics", "Address", "127.0.0.1", NumericAddress, kMetricsOff},
};

// The keys as the file reader reads them, with no range checks.
MainConfig ReadMainKeys(const IniFile& ini) {
  const MainConfig d;
  MainConfig c;
  c.ComPort = ini.ReadString("main", "ComPort", d.ComPort);
  c.ComBaudRate = ini.ReadString("main", "ComBaudRate", d.ComBaudRate);
  c.NoticeFileNumber = ini.ReadInteger("main", "n_abs", d.NoticeFileNumber);
  c.Name = ini.ReadInteger("main", "name", d.Name);
  c.FirstNumber = ini.ReadInteger("main", "FirstNumber", d.FirstNumber);
  c.SpoolPrefix = ini.ReadString("main", "PathForSoob", d.SpoolPrefix);
  c.T7Host = ini.ReadString("main", "host", d.T7Host);
  c.DropUndeliveredT8 = ini.ReadBool("main", "NotSendToDiskT8", d.DropUndeliveredT8);
  c.Attention = ParseAttention(ini.ReadString("main", "Attention", std::string(kDefaultAttentionText)));
  c.Log = ini.ReadBool("main", "Log", d.Log);
  c.SendT7 = ini.ReadBool("main", "SendT7", d.SendT7);
  c.SendT8 = ini.ReadBool("main", "SendT8", d.SendT8);
  c.LogMaxSize = ReadLogMaxSize(ini);
  return c;
}

ServerHostSettings ReadServerHostKeys(const IniFile& ini) {
  const ServerHostSettings d;
  ServerHostSettings c;
  c.Address = ini.ReadString("ServerHost", "Address", d.Address);
  c.Port = ini.ReadInteger("ServerHost", "Port", d.Port);
  c.PacketSize = ini.ReadInteger("ServerHost", "PacketSize", d.PacketSize);
  return c;
}

// Port 0 (the default) is off, and so is a section with a bad value.
MetricsConfig ReadMetricsKeys(const IniFile& ini, const std::vector<ConfigProblem>& problems) {
  const MetricsConfig d;
  MetricsConfig c;
  c.Port = ini.ReadInteger("metrics", "Port", d.Port);
  c.Address = ini.ReadString("metrics", "Address", d.Address);
  for (const ConfigProblem& p : problems)
    if (p.Section == "metrics" && p.ValueUsed) c.Port = 0;
  return c;
}

const KeyRule* RuleFor(std::string_view section, std::string_view key) {
  for (const KeyRule& rule : kRules)
    if (SameName(rule.Section, section) && SameName(rule.Key, key)) return &rule;
  return nullptr;
}

std::string_view NearestKey(std::string_view section, std::string_view key) {
  std::string_view nearest;
  std::size_t best = SIZE_MAX;
  for (const KeyRule& rule : kRules) {
    if (!SameName(rule.Section, section)) continue;
    const std::size_t distance = EditDistance(key, rule.Key);
    if (distance < best) {
      best = distance;
      nearest = rule.Key;
    }
  }
  return nearest;
}

void CheckKey(const KeyRule& rule, const IniFile& ini, IniFile& accepted, CheckedConfig& out) {
  ConfigValue value{std::string(rule.Section), std::string(rule.Key), std::string(rule.Default),
                    ValueOrigin::kDefault, {}};
  if (const auto read = ini.Value(rule.Section, rule.Key)) {
    value.Read = *read;
    const auto reason = rule.Check(*read, ini);
    const auto kept = reason && rule.Kept ? rule.Kept(*read) : std::nullopt;
    if (kept) {
      value.Origin = ValueOrigin::kFile;
      value.Value = *read;
      out.Problems.push_back({value.Section, value.Key, *read, *read, *reason, *kept});
    } else if (reason) {
      value.Origin = ValueOrigin::kBadValue;
      accepted.Erase(rule.Section, rule.Key);
      out.Problems.push_back({value.Section, value.Key, *read, value.Value, *reason,
                              std::string(rule.Outcome)});
    } else {
      value.Origin = ValueOrigin::kFile;
      value.Value = *read;
    }
  }
  out.Values.push_back(std::move(value));
}

// The reader has no comments, but a key starting with ';' or '#' is a line someone
// commented out: no key is called that, and it is not worth a warning.
bool CommentedOut(std::string_view key) { return key.starts_with(';') || key.starts_with('#'); }

void ListUnknownKeys(const IniFile& ini, CheckedConfig& out) {
  for (const IniFile::Entry& e : ini.Entries()) {
    if (CommentedOut(e.Key)) continue;
    const KeyRule* section = nullptr;
    for (const KeyRule& rule : kRules)
      if (SameName(rule.Section, e.Section)) section = &rule;
    if (!section || RuleFor(e.Section, e.Key)) continue;
    out.Problems.push_back({std::string(section->Section), e.Key, e.Value, std::nullopt,
                            "is not a known key; did you mean " +
                                std::string(NearestKey(section->Section, e.Key)) + "?",
                            {}});
  }
}

}  // namespace

CheckedConfig CheckConfig(const IniFile& ini) {
  CheckedConfig out;
  IniFile accepted = ini;
  for (const KeyRule& rule : kRules) CheckKey(rule, ini, accepted, out);
  ListUnknownKeys(ini, out);
  for (const IniFile::Entry& e : ini.Entries())
    if (SameName(e.Section, "ports") && !CommentedOut(e.Key))
      out.Values.push_back({"ports", e.Key, e.Value, ValueOrigin::kFile, e.Value});
  out.Main = ReadMainKeys(accepted);
  out.ServerHost = ReadServerHostKeys(accepted);
  out.Metrics = ReadMetricsKeys(accepted, out.Problems);
  return out;
}

MainConfig ReadMainConfig(const IniFile& ini) { return CheckConfig(ini).Main; }

ServerHostSettings ReadServerHostConfig(const IniFile& ini) { return CheckConfig(ini).ServerHost; }

std::string ShownValue(const std::string& value) {
  constexpr std::size_t kShown = 80;
  if (value.size() > kShown) return value.substr(0, kShown) + "... (" +
                                    std::to_string(value.size()) + " characters)";
  const bool blankEdge = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                            value.back() == ' ' || value.back() == '\t');
  return value.empty() || blankEdge ? "\"" + value + "\"" : value;
}

std::string DescribeProblem(const ConfigProblem& p, const std::string& fileName) {
  std::string text = fileName + " [" + p.Section + "] " + p.Key + "=" + ShownValue(p.ValueRead) +
                     " " + p.Reason;
  if (!p.Outcome.empty()) return text + "; " + p.Outcome;
  text += p.ValueUsed ? "; using " + ShownValue(*p.ValueUsed) : " (ignored)";
  return text;
}

}  // namespace orvelgate
