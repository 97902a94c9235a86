#pragma once
// Names of spool files.
//
// The stem is the day-of-month milliseconds of the local time at which the file is
// written, ((day * 86400 + h * 3600 + m * 60 + s) * 1000 + ms), as unsigned upper-case
// hexadecimal without leading zeros: 5265C00 (day 1, 00:00:00.000) .. A4CB7FFF (day 31,
// 23:59:59.999). From day 24 20:31:23.648 on the value is above 2^31 - 1.
//
// A file name is SpoolPrefix + stem + [ "-" k ] + tail, where the tail is ".dd8" (T8
// event), ".ddk" (T7 event) or "_" NoticeFileNumber ".ddk" (T7 notice). The "-k" part (k >= 1) is
// added only when a file of that name is already there (same millisecond, or the same
// day and time in another month), so no spool file ever replaces another; the stem
// and the tail stay as they are, so the searches for "*.dd8" and "*.ddk" still find it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error_log.h"
#include "common/day_count.h"

namespace orvelgate {

// Error-log number written when a stem cannot be formed.
constexpr int kSpoolNameError = 11;

// The stem value, or nullopt when the time does not decode to a calendar date.
std::optional<uint32_t> SpoolStemValue(DayCount localTime);

// The stem as text ("2DAE23B3"), or nullopt as above. No I/O.
std::optional<std::string> SpoolStem(DayCount localTime);

// As SpoolStem, and writes error 11 to `errorLog` when the stem cannot be formed.
std::optional<std::string> SpoolName(DayCount localTime,
                                     const std::string& errorLog = kErrorLogName);

// stem + ("-" + k when k > 0) + tail.
std::string ComposeSpoolLeaf(std::string_view stem, uint32_t k, std::string_view tail);

// The parts of a file name (without the SpoolPrefix prefix) that order files written
// at the same moment: the leading hexadecimal stem and the "-k" that follows it (0 when
// there is none). A name that is not of this form yields an empty stem.
struct SpoolLeafParts {
  std::string stem;
  uint32_t k = 0;
};
SpoolLeafParts ParseSpoolLeaf(std::string_view leaf);

}  // namespace orvelgate
