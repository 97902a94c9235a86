// The power-cut disk under the driver's own storage: the spool's file functions, where
// it must catch a missing folder sync, and the spool store and event journal, whose
// written files and committed entries must survive a cut. Needs root and /dev/fuse;
// otherwise each test is skipped with the reason.

#include "faults/power_cut_disk.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "common/whole_file.h"
#include "events/event_journal.h"
#include "events/spool_files.h"
#include "events/spool_store.h"
#include "support/fake_clock.h"
#include "support/no_failure.h"
#include "support/temp_dir.h"

namespace orvelgate::faults {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // leaf -> contents

const std::vector<uint8_t> kEvent{0x22, 0x00, 0x00, 0x03, 'e', 'v', 'e', 'n', 't'};
const std::string kEventText(kEvent.begin(), kEvent.end());

class PowerCutDiskTest : public ::testing::Test {
 public:
  void SetUp() override {
    if (const auto why = EnterOwnMountNamespace()) GTEST_SKIP() << "no power-cut disk: " << *why;
    disk_.emplace(temp_ / "backing", temp_ / "disk");
    if (!disk_->Mounted()) GTEST_SKIP() << "no power-cut disk: " << disk_->WhyNot();
    fs::create_directory(temp_ / "disk" / "spool");
    disk_->Settle();  // the spool folder was there before
  }
  void TearDown() override {
    if (disk_) {
      EXPECT_EQ(disk_->Problems(), std::vector<std::string>{});
    }
  }

  std::string Folder() const { return (temp_ / "disk" / "spool").string() + "/"; }

  // The files in the spool folder as the disk shows them, temporary ones included.
  Files Listed() const {
    Files files;
    for (const auto& entry : fs::directory_iterator(temp_ / "disk" / "spool")) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return files;
  }

  // The spool store's write: a whole temporary file, renamed to its name.
  void WriteSpoolFile(const std::string& leaf) {
    const auto written = WriteTempFile(Folder(), kEvent);
    const TempFile* temp = std::get_if<TempFile>(&written);
    ASSERT_TRUE(temp) << std::get<Failure>(written).Describe();
    ASSERT_EQ(RenameNoReplace(temp->path, Folder() + leaf), PublishResult::Done);
  }

  testing::TempDir temp_;
  std::optional<PowerCutDisk> disk_;
};

TEST_F(PowerCutDiskTest, ASpoolFileSurvivesACutOnlyWhenItsFolderWasSynced) {
  struct Case {
    const char* name;
    std::function<void(PowerCutDiskTest&)> steps;
    Files beforeCut, afterCut;
  };
  const std::vector<Case> cases = {
      {"written, renamed into place, folder synced: kept",
       [](PowerCutDiskTest& t) {
         t.WriteSpoolFile("1.dd8");
         SyncFolder(t.Folder());
       },
       {{"1.dd8", kEventText}},
       {{"1.dd8", kEventText}}},
      {"written and renamed into place without the folder sync: gone, temporary name and all",
       [](PowerCutDiskTest& t) { t.WriteSpoolFile("2.dd8"); },
       {{"2.dd8", kEventText}},
       {}},
      {"removed without a folder sync: back after the cut",
       [](PowerCutDiskTest& t) {
         t.WriteSpoolFile("3.dd8");
         SyncFolder(t.Folder());
         EXPECT_EQ(RemoveFile(t.Folder() + "3.dd8"), RemoveResult::Removed);
       },
       {},
       {{"3.dd8", kEventText}}},
      {"removed, then the folder synced: gone",
       [](PowerCutDiskTest& t) {
         t.WriteSpoolFile("4.dd8");
         SyncFolder(t.Folder());
         EXPECT_EQ(RemoveFile(t.Folder() + "4.dd8"), RemoveResult::Removed);
         SyncFolder(t.Folder());
       },
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.steps(*this);
    EXPECT_EQ(Listed(), c.beforeCut);
    ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
    EXPECT_EQ(Listed(), c.afterCut);
    // The next case starts from a clean folder.
    for (const auto& [leaf, bytes] : c.afterCut) fs::remove(temp_ / "disk" / "spool" / leaf);
    SyncFolder(Folder());
  }
}

// The disk's other side: a file's data and a new folder's name, as the model rules.
TEST_F(PowerCutDiskTest, UnsyncedDataAndNamesAreGoneAfterACutAndTheDiskGoesOn) {
  const fs::path disk = temp_ / "disk";
  std::ofstream(disk / "log", std::ios::binary) << "lost";
  fs::create_directory(disk / "new-folder");
  SyncFolder(disk.string());  // the names, not the log's data
  std::ofstream(disk / "spool" / "unnamed", std::ios::binary) << "x";

  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_EQ(fs::file_size(disk / "log"), 0u);
  EXPECT_TRUE(fs::is_directory(disk / "new-folder"));
  EXPECT_FALSE(fs::exists(disk / "spool" / "unnamed"));
  // Mounted again: it takes writes and a second cut.
  WriteSpoolFile("5.dd8");
  SyncFolder(Folder());
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_EQ(Listed(), (Files{{"5.dd8", kEventText}}));
  EXPECT_EQ(disk_->Cuts(), 2);
}

// Once the store's Write has returned, the event's journal entry is retired: the file
// must be durable by then.
TEST_F(PowerCutDiskTest, AFileTheSpoolStoreWroteSurvivesACut) {
  FakeClock clock;
  SpoolStore store({.spoolPrefix = Folder(), .errorLog = (temp_ / "error.txt").string()}, clock);
  EventRecord::Bytes record{};
  record[0] = 7;
  const auto name = store.WriteEventFile(record);
  ASSERT_TRUE(name.has_value());
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  const Files files = Listed();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first, fs::path(*name).filename().string());
  EXPECT_EQ(files.begin()->second.size(), kEventSpoolFileSize);
}

// The configuration is rewritten whole (the port a scan chose, say): once the write has
// said it is done, the new contents must be what a cut leaves, not the old file.
TEST_F(PowerCutDiskTest, AReplacedWholeFileKeepsItsNewContentsAfterACut) {
  const std::string path = Folder() + "orvelgate.ini";
  ASSERT_TRUE(testing::NoFailure(ReplaceWholeFile(path, "[main]\nComPort=COM1\n")));
  ASSERT_TRUE(testing::NoFailure(ReplaceWholeFile(path, "[main]\nComPort=COM7\n")));
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  EXPECT_EQ(Listed(), (Files{{"orvelgate.ini", "[main]\nComPort=COM7\n"}}));
}

// A committed entry may be acknowledged to the station: it must survive a cut, through
// the journal's creation and a compaction that renames a new file into its place.
TEST_F(PowerCutDiskTest, WhatTheEventJournalCommittedSurvivesACut) {
  const std::string path = (temp_ / "disk" / "orvelgate.journal").string();
  const std::vector<uint8_t> first{1}, second{2}, third{3};
  {
    // Compacted as soon as any of it is dead.
    auto opening = EventJournal::OpenFile(path, {.compactFromBytes = 1, .deadPerLive = 0});
    ASSERT_TRUE(opening.journal) << opening.status->Describe();
    EventJournal& journal = *opening.journal;
    const auto firstId = journal.Add(first);
    journal.Add(second);
    ASSERT_FALSE(journal.Commit().status);
    ASSERT_TRUE(journal.Retire(*firstId));
    ASSERT_FALSE(journal.Commit().status);
    ASSERT_FALSE(journal.CompactIfDue());
    ASSERT_EQ(journal.Stats().compactions, 1u);
    journal.Add(third);
    ASSERT_FALSE(journal.Commit().status);
  }
  ASSERT_TRUE(disk_->Cut()) << disk_->WhyNot();
  const auto reopened = EventJournal::OpenFile(path);
  ASSERT_TRUE(reopened.journal) << reopened.status->Describe();
  std::vector<std::vector<uint8_t>> payloads;
  for (const JournalEntry& entry : reopened.recovery.entries) payloads.push_back(entry.payload);
  EXPECT_EQ(payloads, (std::vector<std::vector<uint8_t>>{second, third}));
}

}  // namespace
}  // namespace orvelgate::faults
