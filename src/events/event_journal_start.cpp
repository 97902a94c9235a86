#include "events/event_journal_start.h"

#include "common/diagnostics.h"
#include "events/journal_replay.h"

namespace orvelgate {

namespace {

std::string DamageText(const JournalDamage& d) {
  return std::to_string(d.length) + " bytes at offset " + std::to_string(d.offset) + " (" +
         std::string(Describe(d.fault)) + ")";
}

void ReportDamage(const std::string& path, const JournalRecovery& recovery) {
  if (!recovery.setAside.empty()) {
    std::string line = "event journal " + path + ": damaged; kept as " + recovery.setAside +
                       ", never deleted; " + std::to_string(recovery.records) +
                       " good records read from it, " + std::to_string(recovery.entries.size()) +
                       " events recovered; a fresh journal holds them";
    for (const JournalDamage& d : recovery.skipped) line += "; bad: " + DamageText(d);
    if (recovery.droppedTail) line += "; bad to the end: " + DamageText(*recovery.droppedTail);
    Diagnose(Severity::kWarning, line);
    return;
  }
  if (recovery.droppedTail) {
    const JournalDamage& d = *recovery.droppedTail;
    Diagnose(Severity::kWarning, "event journal " + path + ": a broken last record (" +
                                     std::string(Describe(d.fault)) + ", " +
                                     std::to_string(d.length) + " bytes at offset " +
                                     std::to_string(d.offset) + ") was dropped");
  }
}

}  // namespace

std::unique_ptr<EventJournal> OpenEventJournal(const std::string& path, SpoolStore& spool,
                                               RepeatedFailure& openFailures) {
  JournalOpening opening = EventJournal::OpenFile(path);
  if (!opening.journal) {
    openFailures.Fail(opening.status->Describe() + "; frames are not acknowledged until it opens");
    return nullptr;
  }
  openFailures.Succeed();
  const JournalRecovery& recovery = opening.recovery;
  ReportDamage(path, recovery);
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
