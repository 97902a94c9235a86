#pragma once
// The error log "error.txt" in the working directory: one line per logged failure,
// "ошибка №" + the number + CR LF, in Windows-1251. The file is opened and closed on
// every call, so it is complete on disk at any moment. A log that has reached
// LogMaxSize() is first moved to "error.txt.1" (log_rotation.h).

#include <string>

namespace orvelgate {

// The error log's name, in the folder the program runs in.
inline constexpr const char* kErrorLogName = "error.txt";

// Numbers in use: 9 (station supervision), 11 (spool name), 12 (spool file set aside as
// unusable), 19 (port selection).
// Returns false when the line could not be written; callers go on either way.
bool LogError(int number, const std::string& file = kErrorLogName);

}  // namespace orvelgate
