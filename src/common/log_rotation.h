#pragma once
// Size-bounded logs. The packet log "orvelgate.log" and the error log "error.txt" grow for
// as long as the driver runs; left alone they would fill the disk that the spool files
// need. Before an entry is appended, a log that has reached its limit is renamed to
// "<name>.1" (replacing an older one) and the entry starts a new file under the old
// name. Names and formats of both logs stay as they are; at most two generations are kept.

#include <cstdint>
#include <string>

namespace orvelgate {

class IniFile;

inline constexpr uint64_t kDefaultLogMaxSize = uint64_t{64} << 20;  // 64 MiB

// Renames `path` to `path + ".1"` when it holds `limit` bytes or more; true when it did.
// A missing file, a smaller one, or a rename that fails leaves everything as it is (the
// caller appends to the same file then). Safe to call from several threads at once: of
// two callers that both see a full log, only one moves it.
bool RotateIfLarger(const std::string& path, uint64_t limit);

// The limit used for the packet log and the error log, process-wide; kDefaultLogMaxSize
// until set. The program core sets it once at start-up from the configuration.
uint64_t LogMaxSize();
void SetLogMaxSize(uint64_t bytes);  // 0 restores the default

// The key LogMaxSize of section [main], in bytes (a profile integer, so 0x... and $...
// are read as hexadecimal too); the default when it is absent, malformed, 0 or negative.
uint64_t ReadLogMaxSize(const IniFile& ini);

}  // namespace orvelgate
