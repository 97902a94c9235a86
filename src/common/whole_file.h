#pragma once
// Whole-file reads and replacements. A replacement goes to a temporary file in the same
// folder, is flushed to disk and then renamed over the old file, so a reader (even in
// another thread or process) sees either the old contents or the new ones, never a mix;
// the folder is flushed last, so the new contents also survive a power cut.

#include <optional>
#include <string>
#include <string_view>

#include "common/failure.h"

namespace orvelgate {

// The file's bytes, or nullopt with `error` set to the errno (ENOENT for a file that does
// not exist); `error` is 0 after a read that succeeded.
std::optional<std::string> ReadWholeFile(const std::string& path, int& error);

// Replaces (or creates) the file with `contents`. An existing file keeps its permission
// bits; a symbolic link is followed and its target replaced. nullopt when done;
// otherwise what failed: the old file is then untouched and no temporary file is left
// behind, except when only the final folder flush failed, which leaves the new contents
// in place but perhaps not durable.
std::optional<Failure> ReplaceWholeFile(const std::string& path, std::string_view contents);

}  // namespace orvelgate
