#include "events/journal_replay.h"

#include <algorithm>

#include "events/journaled_event.h"

namespace orvelgate {
namespace {

bool WriteSpoolFile(const JournaledEvent& event, SpoolStore& store) {
  if (event.Kind == JournaledKind::T7EventReport) return store.WriteT7EventFile(event.Bytes).has_value();
  EventRecord::Bytes record{};
  std::copy_n(event.Bytes.begin(), record.size(), record.begin());
  return store.WriteEventFile(record).has_value();
}

}  // namespace

JournalReplay SpoolJournalEntries(const std::vector<JournalEntry>& entries, EventJournal& journal,
                                  SpoolStore& store) {
  JournalReplay replay;
  for (const JournalEntry& entry : entries) {
    const auto event = DecodeJournaledEvent(entry.payload);
    if (!event) {
      ++replay.unusable;
    } else if (WriteSpoolFile(*event, store)) {
      ++replay.spooled;
    } else {
      ++replay.notWritten;
      continue;
    }
    journal.Retire(entry.id);
  }
  if (replay.spooled + replay.unusable > 0) replay.commit = journal.Commit().status;
  return replay;
}

}  // namespace orvelgate
