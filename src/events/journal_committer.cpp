#include "events/journal_committer.h"

namespace orvelgate {

JournalCommitter::JournalCommitter(EventJournal& journal, CommitDone onCommit,
                                   CompactionFailed onCompactionFailed)
    : journal_(journal),
      onCommit_(std::move(onCommit)),
      onCompactionFailed_(std::move(onCompactionFailed)),
      thread_([this] { Run(); }) {}

JournalCommitter::~JournalCommitter() { Stop(); }

std::optional<uint64_t> JournalCommitter::Add(std::span<const uint8_t> payload) {
  const auto id = journal_.Add(payload);
  if (id) Wake();
  return id;
}

bool JournalCommitter::Retire(uint64_t id) { return journal_.Retire(id); }

void JournalCommitter::Flush() { Wake(); }

void JournalCommitter::Wake() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  wake_.notify_one();
}

void JournalCommitter::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void JournalCommitter::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stopping_; });
    if (stopping_) return;
    pending_ = false;
    lock.unlock();
    CommitResult result = journal_.Commit();
    if (result.records > 0 && onCommit_) onCommit_(std::move(result));
    lock.lock();
    if (stopping_) return;
    lock.unlock();
    const std::optional<Failure> compaction = journal_.CompactIfDue();
    if (compaction.has_value() && onCompactionFailed_) onCompactionFailed_(*compaction);
    lock.lock();
  }
}

}  // namespace orvelgate
