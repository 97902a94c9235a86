#pragma once
// The event journal at start-up, before the serial port opens: opened (a broken tail is
// dropped with a journal line), every entry an earlier run left unretired written to a
// spool file oldest first, temporary spool files of an interrupted write removed, and
// one line saying how many were recovered.

#include <memory>
#include <string>

#include "common/diagnostics.h"
#include "events/event_journal.h"
#include "events/spool_store.h"

namespace orvelgate {

// The event journal's name, in the folder the program runs in.
inline constexpr const char* kEventJournalName = "orvelgate.journal";

// Null when the file cannot be opened; `openFailures` tells that once, then as
// repeated failures are told, and when it opens again. A damaged journal kept aside is
// told with what was recovered from it.
std::unique_ptr<EventJournal> OpenEventJournal(const std::string& path, SpoolStore& spool,
                                               RepeatedFailure& openFailures);

}  // namespace orvelgate
