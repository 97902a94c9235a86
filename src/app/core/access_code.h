#pragma once
// The access code: five decimal digits drawn at every start, shown in the main window
// (shown in the main window) and asked for before the program closes or the port is stopped.

#include <string>

#include "common/random_source.h"

namespace orvelgate {

inline constexpr int kAccessCodeLowest = 10000;
inline constexpr int kAccessCodeHighest = 99998;

// One whole number drawn uniformly from 10000 to 99998, as its decimal text.
std::string DrawAccessCode(RandomSource& random);

}  // namespace orvelgate
