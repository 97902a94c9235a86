#pragma once
// Bytes as hexadecimal text and back: how the reference peers print what they saw and
// take the bytes they are told to send, and how the tests read those lines.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvelgate {

// Two upper-case digits a byte ("1F00"); with a separator, it stands between the pairs
// ("1F 00").
std::string Hex(std::span<const uint8_t> bytes, char separator = '\0');

// Pairs of digits of either case. Characters of `ignored` may stand anywhere and are
// skipped. nullopt for an odd number of digits or any other character.
std::optional<std::vector<uint8_t>> ParseHex(std::string_view text, std::string_view ignored = {});

}  // namespace orvelgate
