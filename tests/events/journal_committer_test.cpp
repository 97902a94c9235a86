#include "events/journal_committer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

#include "journal_fakes.h"

namespace orvelgate {
namespace {

using testing::FakeDisk;
using testing::OpenOnDisk;
using testing::PayloadList;

std::vector<uint8_t> Payload(uint8_t n) { return std::vector<uint8_t>(19, n); }
constexpr std::size_t kRecordSize = JournalRecordSize(19);

std::string Joined(const std::vector<uint64_t>& ids) {
  std::string text;
  for (const uint64_t id : ids) text += " " + std::to_string(id);
  return text;
}

// What the committer reported, in order; the waits only guard against a hang.
class Reports {
 public:
  void Commit(CommitResult result) {
    std::lock_guard lock(mutex_);
    commits_.push_back(std::move(result));
    changed_.notify_all();
  }
  void CompactionFailed(Failure failure) {
    std::lock_guard lock(mutex_);
    compactionFailures_.push_back(std::move(failure));
    changed_.notify_all();
  }
  bool WaitForCommits(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return commits_.size() >= count; });
  }
  bool WaitForCompactionFailures(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return compactionFailures_.size() >= count; });
  }
  std::vector<CommitResult> Commits() {
    std::lock_guard lock(mutex_);
    return commits_;
  }
  std::vector<Failure> CompactionFailures() {
    std::lock_guard lock(mutex_);
    return compactionFailures_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<CommitResult> commits_;
  std::vector<Failure> compactionFailures_;
};

class JournalCommitterTest : public ::testing::Test {
 protected:
  // The callback writes the acknowledgement into the disk's log, so the log shows
  // whether any frame would be acknowledged before its sync returned.
  JournalCommitter MakeCommitter() {
    return JournalCommitter(
        journal,
        [this](CommitResult result) {
          if (!result.status.has_value()) disk->Note("acknowledge" + Joined(result.ids));
          reports.Commit(std::move(result));
        },
        [this](const Failure& failure) { reports.CompactionFailed(failure); });
  }
  PayloadList RecoveredAfterCrash() {
    disk->Crash();
    PayloadList payloads;
    for (const auto& entry : OpenOnDisk(disk).recovery.entries) payloads.push_back(entry.payload);
    return payloads;
  }

  std::shared_ptr<FakeDisk> disk = std::make_shared<FakeDisk>();
  // Rewritten from four records on, so that only the compaction test gets there.
  JournalOpening opening = OpenOnDisk(disk, {.compactFromBytes = 4 * kRecordSize, .deadPerLive = 3});
  EventJournal& journal = *opening.journal;
  Reports reports;
};

TEST_F(JournalCommitterTest, EntriesArrivingDuringACommitShareTheNextSyncAndAreAcknowledgedAfterIt) {
  disk->HoldSyncs(true);
  JournalCommitter committer = MakeCommitter();
  const auto first = committer.Add(Payload(1));
  ASSERT_TRUE(disk->WaitForSyncsStarted(1));
  std::vector<uint64_t> later;
  for (uint8_t n = 2; n <= 4; ++n) later.push_back(committer.Add(Payload(n)).value_or(0));
  disk->HoldSyncs(false);
  ASSERT_TRUE(reports.WaitForCommits(2));

  const auto commits = reports.Commits();
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_EQ(commits[0].ids, (std::vector{*first}));
  EXPECT_EQ(commits[1].ids, later);
  EXPECT_TRUE(!commits[0].status.has_value() && !commits[1].status.has_value());
  const std::string second = "write " + std::to_string(kRecordSize) + "+" + std::to_string(3 * kRecordSize);
  EXPECT_EQ(disk->Log(), (std::vector<std::string>{"open", "write 0+" + std::to_string(kRecordSize), "sync",
                                                   "acknowledge" + Joined({*first}), second, "sync",
                                                   "acknowledge" + Joined(later)}));
  EXPECT_EQ(RecoveredAfterCrash(), (PayloadList{Payload(1), Payload(2), Payload(3), Payload(4)}));
}

TEST_F(JournalCommitterTest, FailedCommitIsReportedWithItsCauseAndTheNextOneWorks) {
  JournalCommitter committer = MakeCommitter();
  disk->FailNext("sync", EIO);
  const auto lost = committer.Add(Payload(1));
  ASSERT_TRUE(reports.WaitForCommits(1));
  const auto kept = committer.Add(Payload(2));
  ASSERT_TRUE(reports.WaitForCommits(2));

  const auto commits = reports.Commits();
  ASSERT_TRUE(commits[0].status);
  EXPECT_EQ(commits[0].status->error, EIO);
  EXPECT_NE(commits[0].status->Describe().find(std::strerror(EIO)), std::string::npos);
  EXPECT_EQ(commits[0].ids, (std::vector{*lost}));
  EXPECT_FALSE(commits[1].status);
  EXPECT_EQ(commits[1].ids, (std::vector{*kept}));
  EXPECT_EQ(disk->Count("acknowledge" + Joined({*lost})), 0u);
  EXPECT_EQ(RecoveredAfterCrash(), (PayloadList{Payload(2)}));
}

TEST_F(JournalCommitterTest, FlushWritesRetirementsWithoutNewEntries) {
  JournalCommitter committer = MakeCommitter();
  const auto id = committer.Add(Payload(1));
  ASSERT_TRUE(reports.WaitForCommits(1));
  EXPECT_TRUE(committer.Retire(*id));
  EXPECT_FALSE(committer.Retire(*id));
  committer.Flush();
  ASSERT_TRUE(reports.WaitForCommits(2));

  const CommitResult retired = reports.Commits()[1];
  EXPECT_FALSE(retired.status);
  EXPECT_TRUE(retired.ids.empty());
  EXPECT_EQ(retired.records, 1u);
  EXPECT_TRUE(RecoveredAfterCrash().empty());
}

// Stop ends with the commit in progress; every entry is then either reported committed
// or still in the journal's batch, never both and never neither.
TEST_F(JournalCommitterTest, StopEndsAfterTheCommitInProgressAndLeavesTheRestQueued) {
  disk->HoldSyncs(true);
  JournalCommitter committer = MakeCommitter();
  const uint64_t first = committer.Add(Payload(1)).value_or(0);
  ASSERT_TRUE(disk->WaitForSyncsStarted(1));
  const uint64_t second = committer.Add(Payload(2)).value_or(0);
  auto stopped = std::async(std::launch::async, [&] { committer.Stop(); });
  disk->HoldSyncs(false);
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  committer.Stop();

  std::vector<uint64_t> reported;
  for (const auto& commit : reports.Commits()) {
    EXPECT_FALSE(commit.status);
    reported.insert(reported.end(), commit.ids.begin(), commit.ids.end());
  }
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(reported[0], first);
  const CommitResult rest = journal.Commit();
  EXPECT_FALSE(rest.status);
  reported.insert(reported.end(), rest.ids.begin(), rest.ids.end());
  EXPECT_EQ(reported, (std::vector{first, second}));
}

TEST_F(JournalCommitterTest, StopDoesNotCommitWhatIsQueued) {
  JournalCommitter committer = MakeCommitter();
  const auto id = committer.Add(Payload(1));
  ASSERT_TRUE(reports.WaitForCommits(1));
  EXPECT_TRUE(committer.Retire(*id));
  committer.Stop();
  EXPECT_EQ(disk->Count("sync"), 1u);
  EXPECT_EQ(journal.Commit().records, 1u);
}

// Set up before the committer starts, so that its thread cannot compact in between.
TEST_F(JournalCommitterTest, CompactsWhenDueAndReportsAFailedRewrite) {
  for (uint8_t n = 1; n <= 5; ++n) journal.Retire(journal.Add(Payload(n)).value_or(0));
  disk->FailNext("replace", ENOSPC);
  JournalCommitter committer = MakeCommitter();
  committer.Flush();
  ASSERT_TRUE(reports.WaitForCompactionFailures(1));
  EXPECT_EQ(reports.CompactionFailures()[0].error, ENOSPC);
  ASSERT_EQ(reports.Commits().size(), 1u);
  EXPECT_EQ(reports.Commits()[0].records, 10u);
  EXPECT_EQ(journal.Stats().compactions, 0u);

  const std::size_t before = reports.Commits().size();
  committer.Add(Payload(6));
  ASSERT_TRUE(reports.WaitForCommits(before + 1));
  committer.Add(Payload(7));  // its report comes after the rewrite that followed Payload(6)
  ASSERT_TRUE(reports.WaitForCommits(before + 2));
  EXPECT_EQ(journal.Stats().compactions, 1u);
  EXPECT_EQ(disk->File().size(), 2 * kRecordSize);
  EXPECT_EQ(RecoveredAfterCrash(), (PayloadList{Payload(6), Payload(7)}));
}

}  // namespace
}  // namespace orvelgate
