#pragma once
// Filling a new file so that its contents survive a crash: its permission bits, every
// byte, then a flush to disk. What failed is named with the file's path and its errno.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/failure.h"

namespace orvelgate {

// Gives the open file `fd` the permission bits `mode` (left as they are without one),
// writes all of `bytes` and flushes the file. nullopt when done.
std::optional<Failure> WriteFlushed(int fd, const std::string& path,
                                    std::span<const uint8_t> bytes,
                                    std::optional<unsigned> mode);

}  // namespace orvelgate
