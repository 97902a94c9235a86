// Cost of the event journal on this disk. Prints figures; asserts nothing.
//
//   journal_commit [folder]   (default: a fresh folder under $TMPDIR or /tmp)
//
// The time of one commit (write + fdatasync) for batches of 1 and 16 events, what the
// acknowledgement of a frame waits for; and the time of opening a journal as the
// driver finds it at start-up: at the compaction bound with nothing live, and with
// 10 000 live entries (a long outage of every server with the spool's disk full).

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "events/event_journal.h"

namespace {

using namespace orvelgate;
using Steady = std::chrono::steady_clock;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::vector<uint8_t> EventPayload(int n) {
  std::vector<uint8_t> payload(19, static_cast<uint8_t>(n));
  payload[0] = 1;
  return payload;
}

void PrintFigures(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-44s median %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", what, ms[ms.size() / 2],
              ms[ms.size() * 99 / 100], ms.back());
}

void CommitLatency(const std::string& path, int batchSize) {
  std::filesystem::remove(path);
  auto opening = EventJournal::OpenFile(path);
  if (!opening.journal) {
    std::printf("open: %s\n", opening.status->Describe().c_str());
    return;
  }
  EventJournal& journal = *opening.journal;
  std::vector<double> ms;
  for (int round = 0; round < 300; ++round) {
    std::vector<uint64_t> ids;
    for (int i = 0; i < batchSize; ++i) ids.push_back(journal.Add(EventPayload(i)).value_or(0));
    const auto start = Steady::now();
    const CommitResult result = journal.Commit();
    ms.push_back(Ms(Steady::now() - start));
    if (result.status) {
      std::printf("commit: %s\n", result.status->Describe().c_str());
      return;
    }
    for (const uint64_t id : ids) journal.Retire(id);
    journal.CompactIfDue();
  }
  const std::string what = "commit of " + std::to_string(batchSize) + " event(s)";
  PrintFigures(what.c_str(), ms);
}

// Builds the file with one commit, then times opening it.
void OpenTime(const std::string& path, const char* what, int live, int dead) {
  std::filesystem::remove(path);
  {
    auto opening = EventJournal::OpenFile(path, {.compactFromBytes = UINT64_MAX});
    if (!opening.journal) {
      std::printf("open: %s\n", opening.status->Describe().c_str());
      return;
    }
    for (int n = 0; n < live + dead; ++n) {
      const auto id = opening.journal->Add(EventPayload(n));
      if (n >= live && id) opening.journal->Retire(*id);
    }
    opening.journal->Commit();
  }
  const auto size = std::filesystem::file_size(path);
  std::vector<double> ms;
  for (int i = 0; i < 20; ++i) {
    const auto start = Steady::now();
    auto opening = EventJournal::OpenFile(path, {.compactFromBytes = UINT64_MAX});
    ms.push_back(Ms(Steady::now() - start));
  }
  const std::string label = std::string("open, ") + what + " (" + std::to_string(size / 1024) + " KiB)";
  PrintFigures(label.c_str(), ms);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  if (argc > 1) {
    folder = argv[1];
  } else {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/journal-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return 1;
    folder = pattern;
  }
  const std::string path = folder + "/events.journal";
  std::printf("folder %s\n", folder.c_str());
  CommitLatency(path, 1);
  CommitLatency(path, 16);
  // Default options: a file with nothing live is rewritten from 256 KiB on.
  const int deadAtBound = static_cast<int>(JournalOptions{}.compactFromBytes /
                                           (JournalRecordSize(19) + JournalRecordSize(0)));
  OpenTime(path, "nothing live, at the bound", 0, deadAtBound);
  OpenTime(path, "10 000 live", 10000, 30000);
  if (argc <= 1) std::filesystem::remove_all(folder);
  return 0;
}
