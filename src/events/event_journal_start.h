#pragma once
// The event journal at start-up, before the serial port opens: opened (a broken tail is
// dropped with a journal line), every entry an earlier run left unretired written to a
// spool file oldest first, temporary spool files of an interrupted write removed, and
// one line saying how many were recovered.

#include <memory>
#include <string>

#include "events/event_journal.h"
#include "events/spool_store.h"

namespace orvelgate {

// Null (with a journal line) when the file cannot be opened.
std::unique_ptr<EventJournal> OpenEventJournal(const std::string& path, SpoolStore& spool);

}  // namespace orvelgate
