#pragma once
// Runs the journal's commits on a thread of its own, so that the thread that reads the
// station never waits on the disk. Add() puts the entry into the journal's batch and
// wakes the thread; the thread commits everything queued with one sync, then reports
// the batch through `onCommit`. Entries added while a commit runs go into the next one.
//
// The callbacks run on the committer thread: the owner marshals them to its own thread
// (e.g. with a queued Qt call) and acknowledges a batch's frames only when its status
// is ok. After each commit the thread also compacts the journal when that is due; a
// failed compaction is reported through `onCompactionFailed` (the journal goes on with
// the old file).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "events/event_journal.h"

namespace orvelgate {

class JournalCommitter {
 public:
  using CommitDone = std::function<void(CommitResult)>;
  using CompactionFailed = std::function<void(const Failure&)>;

  JournalCommitter(EventJournal& journal, CommitDone onCommit,
                   CompactionFailed onCompactionFailed = {});
  ~JournalCommitter();  // Stop()
  JournalCommitter(const JournalCommitter&) = delete;
  JournalCommitter& operator=(const JournalCommitter&) = delete;

  // The entry's id (see EventJournal::Add); never waits for a commit.
  std::optional<uint64_t> Add(std::span<const uint8_t> payload);
  // Rides along with the next commit.
  bool Retire(uint64_t id);
  // Commits soon even when nothing was added, e.g. to write retirements before a pause.
  void Flush();
  // Returns once the commit in progress, if any, has ended and been reported; what is
  // still queued stays in the journal's batch (commit it there, or let the station
  // send those frames again). Idempotent; not from within a callback. A sync the disk
  // never returns from holds it up too.
  void Stop();

 private:
  void Wake();
  void Run();

  EventJournal& journal_;
  const CommitDone onCommit_;
  const CompactionFailed onCompactionFailed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace orvelgate
