#include "app/main_config.h"

#include "app/config_check.h"
#include "app/config_reading.h"

namespace orvelgate {
namespace {

CheckedConfig LoadAndReport(const std::string& path) {
  ConfigReading reading = ReadConfigFile(path);
  ReportConfigReading(reading);
  return std::move(reading.Config);
}

}  // namespace

MainConfig ReadMainConfig(const IniFile& ini) { return CheckConfig(ini).Main; }

ServerHostConfig ReadServerHostConfig(const IniFile& ini) { return CheckConfig(ini).ServerHost; }

MainConfig LoadMainConfig(const std::string& path) { return LoadAndReport(path).Main; }

ServerHostConfig LoadServerHostConfig(const std::string& path) {
  return LoadAndReport(path).ServerHost;
}

}  // namespace orvelgate
