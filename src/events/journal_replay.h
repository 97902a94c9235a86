#pragma once
// Start-up, before the serial port opens: every journal entry that was never retired
// (its event was acknowledged, or taken, but not yet safe elsewhere when the driver
// stopped) is written to a spool file, oldest first, and goes out through the normal
// re-send. Each entry is retired once its file is written; the retirements are synced
// with one commit.

#include <cstddef>
#include <vector>

#include "events/event_journal.h"
#include "events/spool_store.h"

namespace orvelgate {

struct JournalReplay {
  std::size_t spooled = 0;     // written to spool files and retired
  std::size_t unusable = 0;    // payloads that are no event (retired, nothing to send)
  std::size_t notWritten = 0;  // the spool refused them: they stay for the next start
  std::optional<Failure> commit;        // the commit of the retirements
};

JournalReplay SpoolJournalEntries(const std::vector<JournalEntry>& entries, EventJournal& journal,
                                  SpoolStore& store);

}  // namespace orvelgate
