#pragma once
// orvelgate.ini as the driver takes it: the file's state (read, missing, unreadable, no
// text), the checked values, and the systemd journal's lines that say what is wrong.
// Only ReadConfigFile and ReportConfigReading touch the file and the systemd journal; the rest is
// pure, so that hostile files are tested from tables.

#include <optional>
#include <string>
#include <vector>

#include "app/config/config_check.h"
#include "common/diagnostics.h"
#include "common/ini_text_fault.h"

namespace orvelgate {

enum class ConfigFileState { kRead, kMissing, kUnreadable, kNotText };

struct ConfigReading {
  std::string Path;  // as given to ReadConfigFile, made absolute
  ConfigFileState State = ConfigFileState::kMissing;
  std::string Fault;  // why the file was not used: a system error, or no readable line
  std::vector<IniLineFault> SkippedLines;  // lines that hold no text, skipped
  CheckedConfig Config;
};

// The file's bytes (or nullopt and the errno of reading it) taken as the driver takes
// them: an unreadable file counts as empty; a line that holds no text is skipped and
// named, the others count; a file with lines but none of them text counts as empty.
ConfigReading ReadConfigText(std::string path, const std::optional<std::string>& text,
                             int error);

inline constexpr std::size_t kMaxSkippedLinesNamed = 10;

struct ConfigLine {
  Severity Level = Severity::kWarning;
  std::string Text;

  bool operator==(const ConfigLine&) const = default;
};

// One line per problem: the file's state when it was not read, each line skipped (the
// first kMaxSkippedLinesNamed, then how many more), then each value out of range or
// unknown key. A missing file is a notice (kInfo), everything else a warning.
std::vector<ConfigLine> ConfigJournalLines(const ConfigReading& reading);

// What --check-config prints: every key with its value and where it came from
// ("file", "default", "default (bad value "...")"), then the systemd journal's lines.
std::string ConfigListing(const ConfigReading& reading);

// True when the reading has something the operator should mend.
bool HasConfigProblems(const ConfigReading& reading);

// Reads the file at path (the working directory's orvelgate.ini by default).
ConfigReading ReadConfigFile(const std::string& path);

// Writes ConfigJournalLines to the journal. A line already written by this process is
// not written again: the file is read at start-up and again before every T8
// connection attempt, and a problem is worth one line, not one per attempt.
void ReportConfigReading(const ConfigReading& reading);

// The checked values from the file at `path`, read and reported as above.
MainConfig LoadMainConfig(const std::string& path = kConfigFileName);
ServerHostSettings LoadServerHostConfig(const std::string& path = kConfigFileName);

}  // namespace orvelgate
