// The driver's storage mends under the power-cut disk: the event journal's creation, a
// damaged journal kept aside and the fresh one that takes its place, and a spool write
// whose folder sync failed, each as a cut leaves them. Needs root and /dev/fuse;
// otherwise each test is skipped with the reason.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "events/event_journal.h"
#include "events/spool_files.h"
#include "faults/power_cut_disk.h"
#include "support/temp_dir.h"

namespace orvelgate::faults {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class PowerCutStorageTest : public ::testing::Test {
 public:
  void SetUp() override {
    if (const auto why = EnterOwnMountNamespace()) GTEST_SKIP() << "no power-cut disk: " << *why;
    disk_.emplace(temp_ / "backing", temp_ / "disk");
    if (!disk_->Mounted()) GTEST_SKIP() << "no power-cut disk: " << disk_->WhyNot();
  }
  void TearDown() override {
    if (disk_) EXPECT_EQ(disk_->Problems(), std::vector<std::string>{});
  }

  std::vector<std::vector<uint8_t>> Reopened() {
    const auto opening = EventJournal::OpenFile(journal_);
    EXPECT_TRUE(opening.journal) << opening.status->Describe();
    EXPECT_EQ(opening.recovery.setAside, "");
    std::vector<std::vector<uint8_t>> payloads;
    for (const JournalEntry& entry : opening.recovery.entries) payloads.push_back(entry.payload);
    return payloads;
  }

  testing::TempDir temp_;
  std::optional<PowerCutDisk> disk_;
  const std::string journal_ = (temp_ / "disk" / "events.journal").string();
};

// Its name is durable before anything can be written to it.
TEST_F(PowerCutStorageTest, AJournalJustCreatedSurvivesACut) {
  ASSERT_TRUE(EventJournal::OpenFile(journal_).journal);
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_TRUE(fs::is_regular_file(journal_));
}

// The damaged file's second name and the fresh file in its place are both durable once
// Open returns: after a cut the foreign bytes are still kept, and the journal holds
// what was recovered, so it is not set aside again.
TEST_F(PowerCutStorageTest, ADamagedJournalKeptAsideAndItsFreshFileSurviveACut) {
  std::vector<uint8_t> file;
  {
    // Two good entries, then a foreign tail.
    auto opening = EventJournal::OpenFile(journal_);
    ASSERT_TRUE(opening.journal);
    opening.journal->Add(std::vector<uint8_t>{1});
    opening.journal->Add(std::vector<uint8_t>{2});
    ASSERT_FALSE(opening.journal->Commit().status);
  }
  file = ReadFileBytes(journal_);
  file.resize(file.size() + 200000, 'x');
  WriteFileBytes(journal_, file);
  disk_->Settle();

  {
    const auto opening = EventJournal::OpenFile(journal_);
    ASSERT_TRUE(opening.journal) << opening.status->Describe();
    EXPECT_EQ(opening.recovery.setAside, journal_ + ".damaged-1");
  }
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_EQ(ReadFileBytes(journal_ + ".damaged-1"), file);
  EXPECT_EQ(Reopened(), (std::vector<std::vector<uint8_t>>{{1}, {2}}));
}

// A folder in the journal's place: moved away, and the fresh file is durable.
TEST_F(PowerCutStorageTest, AFolderMovedAsideAndTheFreshJournalSurviveACut) {
  fs::create_directories(journal_ + "/inner");
  WriteFileBytes(journal_ + "/inner/kept", {7});
  disk_->Settle();
  {
    auto opening = EventJournal::OpenFile(journal_);
    ASSERT_TRUE(opening.journal) << opening.status->Describe();
    opening.journal->Add(std::vector<uint8_t>{3});
    ASSERT_FALSE(opening.journal->Commit().status);
  }
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_EQ(ReadFileBytes(journal_ + ".damaged-1/inner/kept"), (std::vector<uint8_t>{7}));
  EXPECT_EQ(Reopened(), (std::vector<std::vector<uint8_t>>{{3}}));
}

}  // namespace
}  // namespace orvelgate::faults
