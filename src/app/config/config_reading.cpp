#include "app/config/config_reading.h"

#include <cerrno>
#include <filesystem>

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

void AddSkippedLines(const std::vector<IniLineFault>& skipped, const std::string& name,
                     std::vector<ConfigLine>& lines) {
  for (std::size_t i = 0; i < skipped.size() && i < kMaxSkippedLinesNamed; ++i) {
    lines.push_back({Severity::kWarning, name + " line " + std::to_string(skipped[i].Line) +
                                             " skipped (" + skipped[i].Describe() +
                                             "); the other lines count"});
  }
  if (skipped.size() > kMaxSkippedLinesNamed) {
    lines.push_back({Severity::kWarning,
                     name + ": " + std::to_string(skipped.size() - kMaxSkippedLinesNamed) +
                         " more lines skipped, as above"});
  }
}

}  // namespace

ConfigReading ReadConfigText(std::string path, const std::optional<std::string>& text,
                             int error) {
  ConfigReading reading;
  reading.Path = std::move(path);
  if (!text) {
    const bool missing = error == ENOENT;
    reading.State = missing ? ConfigFileState::kMissing : ConfigFileState::kUnreadable;
    if (!missing) reading.Fault = ErrnoText(error);
    reading.Config = CheckConfig(IniFile());
    return reading;
  }
  IniFile ini = IniFile::Parse(*text);
  reading.SkippedLines = ini.SkippedLines();
  reading.State = ConfigFileState::kRead;
  if (!reading.SkippedLines.empty() && ini.TextLines() == 0) {
    reading.State = ConfigFileState::kNotText;
    reading.Fault = "line " + std::to_string(reading.SkippedLines.front().Line) + ": " +
                    reading.SkippedLines.front().Describe();
  }
  reading.Config = CheckConfig(ini);
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
      lines.push_back({Severity::kWarning, name + ": " + r.Path + " holds no readable line (" +
                                               r.Fault + "); using the defaults"});
      return lines;
  }
  AddSkippedLines(r.SkippedLines, name, lines);
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
