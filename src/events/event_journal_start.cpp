#include "events/event_journal_start.h"

#include "common/diagnostics.h"
#include "events/journal_replay.h"

namespace orvelgate {

std::unique_ptr<EventJournal> OpenEventJournal(const std::string& path, SpoolStore& spool) {
  JournalOpening opening = EventJournal::OpenFile(path);
  if (!opening.journal) {
    Diagnose(Severity::kError, "event journal " + path + ": " + opening.status.text);
    return nullptr;
  }
  const JournalRecovery& recovery = opening.recovery;
  if (recovery.droppedTail) {
    const JournalDamage& d = *recovery.droppedTail;
    Diagnose(Severity::kWarning, "event journal " + path + ": a broken last record (" +
                                     std::string(Describe(d.fault)) + ", " +
                                     std::to_string(d.length) + " bytes at offset " +
                                     std::to_string(d.offset) + ") was dropped");
  }
  for (const JournalDamage& d : recovery.skipped) {
    Diagnose(Severity::kWarning, "event journal " + path + ": " + std::to_string(d.length) +
                                     " damaged bytes at offset " + std::to_string(d.offset) +
                                     " passed over (" + std::string(Describe(d.fault)) + ")");
  }
  // Temporary spool files of a write the crash cut short: their events are in the
  // journal and are spooled again just below.
  const std::size_t leftovers = spool.RemoveLeftoverTemporaries();
  const JournalReplay replay = SpoolJournalEntries(recovery.entries, *opening.journal, spool);
  std::string line = "event journal: " + std::to_string(replay.spooled) +
                     " events recovered into spool files";
  if (leftovers > 0) line += ", " + std::to_string(leftovers) + " temporary spool files removed";
  if (replay.notWritten > 0) {
    line += ", " + std::to_string(replay.notWritten) + " could not be written (kept for the next start)";
  }
  Diagnose(replay.notWritten > 0 ? Severity::kError : Severity::kInfo, line);
  return std::move(opening.journal);
}

}  // namespace orvelgate
