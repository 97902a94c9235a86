#include "app/config/config_reading.h"

#include <filesystem>

#include "common/ini_text_fault.h"
#include "common/diagnostics.h"

namespace orvelgate {
namespace {

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string OriginText(const ConfigValue& v) {
  switch (v.Origin) {
    case ValueOrigin::kFile: return "file";
    case ValueOrigin::kDefault: return "default";
    case ValueOrigin::kBadValue: return "default (bad value \"" + v.Read + "\")";
  }
  return {};
}

}  // namespace

ConfigReading ReadConfigText(std::string path, const std::optional<std::string>& text,
                             std::error_code error) {
  ConfigReading reading;
  reading.Path = std::move(path);
  if (!text) {
    const bool missing = error == std::errc::no_such_file_or_directory;
    reading.State = missing ? ConfigFileState::kMissing : ConfigFileState::kUnreadable;
    if (!missing) reading.Fault = ErrnoText(error.value());
  } else if (auto fault = IniTextFault(*text)) {
    reading.State = ConfigFileState::kNotText;
    reading.Fault = std::move(*fault);
  } else {
    reading.State = ConfigFileState::kRead;
  }
  reading.Config = CheckConfig(reading.State == ConfigFileState::kRead ? IniFile::Parse(*text)
                                                                         : IniFile());
  return reading;
}

std::vector<ConfigLine> ConfigJournalLines(const ConfigReading& r) {
  std::vector<ConfigLine> lines;
  const std::string name = FileName(r.Path);
  switch (r.State) {
    case ConfigFileState::kRead: break;
    case ConfigFileState::kMissing:
      lines.push_back({Severity::kInfo, name + ": " + r.Path + " does not exist; using the defaults"});
      break;
    case ConfigFileState::kUnreadable:
      lines.push_back({Severity::kWarning, name + ": " + r.Path + " cannot be read (" + r.Fault +
                                               "); using the defaults"});
      break;
    case ConfigFileState::kNotText:
      lines.push_back({Severity::kWarning, name + ": " + r.Path + " is not a text file (it " +
                                               r.Fault + "); using the defaults"});
      break;
  }
  for (const ConfigProblem& p : r.Config.Problems)
    lines.push_back({Severity::kWarning, DescribeProblem(p, name)});
  return lines;
}

bool HasConfigProblems(const ConfigReading& reading) {
  for (const ConfigLine& line : ConfigJournalLines(reading))
    if (line.Level != Severity::kInfo) return true;
  return false;
}

std::string ConfigListing(const ConfigReading& reading) {
  std::string out = FileName(reading.Path) + ": " + reading.Path + "\n";
  for (const ConfigValue& v : reading.Config.Values) {
    std::string item = "[" + v.Section + "] " + v.Key + "=" + ShownValue(v.Value);
    if (item.size() < 40) item.resize(40, ' ');
    out += item + " " + OriginText(v) + "\n";
  }
  for (const ConfigLine& line : ConfigJournalLines(reading)) out += line.Text + "\n";
  return out;
}

}  // namespace orvelgate
