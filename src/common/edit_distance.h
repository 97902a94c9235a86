#pragma once
// How far apart two names are, for suggesting the name someone probably meant.

#include <cstddef>
#include <string_view>

namespace orvelgate {

// The least number of single-character insertions, deletions and substitutions that
// turn a into b (Levenshtein), with ASCII letter case ignored.
std::size_t EditDistance(std::string_view a, std::string_view b);

}  // namespace orvelgate
