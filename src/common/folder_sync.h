#pragma once
// Making a folder's entries durable: a created, renamed or removed name survives a power
// cut only once its folder has been flushed (a file's own fsync does not do it).

#include <optional>
#include <string>

#include "common/failure.h"

namespace orvelgate {

// Flushes the folder's entries, so that a rename or an unlink survives a power cut.
// nullopt when done; otherwise what failed: the names in it may not be durable.
std::optional<Failure> SyncFolder(const std::string& folder);

}  // namespace orvelgate
