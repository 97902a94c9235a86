#include <filesystem>
#include <mutex>
#include <set>

#include "app/config/config_reading.h"
#include "common/whole_file.h"

namespace orvelgate {

ConfigReading ReadConfigFile(const std::string& path) {
  std::error_code unresolved;  // the path as given names the file all the same
  auto absolute = std::filesystem::absolute(path, unresolved);
  if (unresolved) absolute = path;
  int error = 0;
  auto text = ReadWholeFile(path, error);
  return ReadConfigText(absolute.string(), text, error);
}

void ReportConfigReading(const ConfigReading& reading) {
  static std::mutex mutex;
  static std::set<std::string> written;
  for (const ConfigLine& line : ConfigJournalLines(reading)) {
    {
      std::lock_guard lock(mutex);
      if (!written.insert(line.Text).second) continue;
    }
    Diagnose(line.Level, line.Text);
  }
}

namespace {

CheckedConfig LoadAndReport(const std::string& path) {
  ConfigReading reading = ReadConfigFile(path);
  ReportConfigReading(reading);
  return std::move(reading.Config);
}

}  // namespace

MainConfig LoadMainConfig(const std::string& path) { return LoadAndReport(path).Main; }

ServerHostSettings LoadServerHostConfig(const std::string& path) {
  return LoadAndReport(path).ServerHost;
}

}  // namespace orvelgate
