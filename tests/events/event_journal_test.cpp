#include "events/event_journal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "journal_fakes.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::FakeDisk;
using testing::OpenOnDisk;
using testing::PayloadList;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// A kind byte and an 18-byte event record, as the driver journals a T8 event.
std::vector<uint8_t> EventPayload(int n) {
  std::vector<uint8_t> payload(19);
  payload[0] = 1;
  for (std::size_t i = 1; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(n * 7 + i);
  return payload;
}
constexpr std::size_t kEventRecordSize = JournalRecordSize(19);

PayloadList PayloadsOf(const std::vector<JournalEntry>& entries) {
  PayloadList payloads;
  for (const auto& entry : entries) payloads.push_back(entry.payload);
  return payloads;
}

uint64_t AddOne(EventJournal& journal, int n) {
  const auto id = journal.Add(EventPayload(n));
  EXPECT_TRUE(id);
  return id.value_or(0);
}

void ExpectCommitted(EventJournal& journal) {
  const CommitResult result = journal.Commit();
  EXPECT_FALSE(result.status) << result.status->Describe();
}

class EventJournalFileTest : public ::testing::Test {
 protected:
  JournalOpening Open(JournalOptions options = {}) {
    JournalOpening opening = EventJournal::OpenFile(path.string(), options);
    EXPECT_FALSE(opening.status) << opening.status->Describe();
    EXPECT_TRUE(opening.journal);
    return opening;
  }
  uint64_t FileSize() const { return fs::file_size(path); }

  TempDir dir;
  fs::path path = dir / "events.journal";
};

TEST_F(EventJournalFileTest, ReopenRecoversCommittedEntriesInOrderWithoutTheRetiredOnes) {
  std::vector<uint64_t> ids;
  {
    auto opening = Open();
    EXPECT_TRUE(opening.recovery.entries.empty());
    EventJournal& journal = *opening.journal;
    for (int n = 0; n < 3; ++n) ids.push_back(AddOne(journal, n));
    ExpectCommitted(journal);
    for (int n = 3; n < 6; ++n) ids.push_back(AddOne(journal, n));
    EXPECT_TRUE(journal.Retire(ids[1]));  // committed in the batch before
    EXPECT_TRUE(journal.Retire(ids[4]));  // in the same batch as its ADD
    const CommitResult result = journal.Commit();
    EXPECT_FALSE(result.status);
    EXPECT_EQ(result.ids, (std::vector<uint64_t>{ids[3], ids[4], ids[5]}));
    EXPECT_EQ(result.records, 5u);
    AddOne(journal, 99);  // never committed: its frame was never acknowledged
  }
  const auto opening = Open();
  const JournalRecovery& recovery = opening.recovery;
  EXPECT_EQ(recovery.entries, (std::vector<JournalEntry>{{ids[0], EventPayload(0)},
                                                         {ids[2], EventPayload(2)},
                                                         {ids[3], EventPayload(3)},
                                                         {ids[5], EventPayload(5)}}));
  EXPECT_EQ(recovery.records, 8u);
  EXPECT_FALSE(recovery.droppedTail);
  EXPECT_TRUE(recovery.skipped.empty());
  EXPECT_EQ(opening.journal->Stats().liveEntries, 4u);
}

TEST_F(EventJournalFileTest, RecoveredEntriesStayLiveUntilRetiredAndIdsAreNeverReused) {
  uint64_t last = 0;
  {
    auto opening = Open();
    AddOne(*opening.journal, 1);
    last = AddOne(*opening.journal, 2);
    ExpectCommitted(*opening.journal);
    EXPECT_TRUE(opening.journal->Retire(last));
    ExpectCommitted(*opening.journal);
  }
  {
    auto opening = Open();
    ASSERT_EQ(opening.recovery.entries.size(), 1u);
    // Ids go on from the largest in the file, so entries come back in the order added.
    const uint64_t next = AddOne(*opening.journal, 3);
    EXPECT_GT(next, last);
    EXPECT_TRUE(opening.journal->Retire(opening.recovery.entries[0].id));
    ExpectCommitted(*opening.journal);
  }
  EXPECT_EQ(PayloadsOf(Open().recovery.entries), (PayloadList{EventPayload(3)}));
}

TEST_F(EventJournalFileTest, RetiringAnEntryThatIsNotLiveWritesNothing) {
  auto opening = Open();
  EventJournal& journal = *opening.journal;
  const uint64_t id = AddOne(journal, 1);
  ExpectCommitted(journal);
  const uint64_t size = FileSize();
  EXPECT_TRUE(journal.Retire(id));
  EXPECT_FALSE(journal.Retire(id));
  EXPECT_FALSE(journal.Retire(id + 1000));
  EXPECT_EQ(journal.Commit().records, 1u);
  EXPECT_EQ(FileSize(), size + JournalRecordSize(0));
  const CommitResult idle = journal.Commit();
  EXPECT_FALSE(idle.status);
  EXPECT_EQ(idle.records, 0u);
  EXPECT_EQ(FileSize(), size + JournalRecordSize(0));
}

TEST_F(EventJournalFileTest, PayloadsUpToTheLimitAreTakenLargerOnesRefused) {
  auto opening = Open();
  EXPECT_FALSE(opening.journal->Add(std::vector<uint8_t>(kMaxJournalPayload + 1, 7)));
  EXPECT_TRUE(opening.journal->Add(std::vector<uint8_t>(kMaxJournalPayload, 7)));
  EXPECT_TRUE(opening.journal->Add(std::vector<uint8_t>{}));
  ExpectCommitted(*opening.journal);
  opening.journal.reset();
  EXPECT_EQ(PayloadsOf(Open().recovery.entries),
            (PayloadList{std::vector<uint8_t>(kMaxJournalPayload, 7), std::vector<uint8_t>{}}));
}

// The record layout of event_journal.cpp, byte for byte: a RETIRE record written by
// hand is read, and the journal writes its ADD and RETIRE records exactly so.
TEST(EventJournalFormatTest, RecordsAreWrittenAndReadAsTheLayoutTableSays) {
  const std::vector<uint8_t> handWritten{0xA2, 0x00, 0x00, 0x00, 0x00, 0x07, 0x07, 0x06, 0x05,
                                         0x04, 0x03, 0x02, 0x01, 0xCB, 0xBD, 0xF2, 0x65};
  const std::vector<uint8_t> add{0xA1, 0x02, 0x00, 0x00, 0x00, 0x08, 0x07, 0x06, 0x05, 0x04,
                                 0x03, 0x02, 0x01, 0xAA, 0xBB, 0x87, 0x7D, 0x44, 0xD5};
  const std::vector<uint8_t> retire{0xA2, 0x00, 0x00, 0x00, 0x00, 0x08, 0x07, 0x06, 0x05,
                                    0x04, 0x03, 0x02, 0x01, 0x67, 0xAF, 0xD2, 0xBC};
  auto disk = std::make_shared<FakeDisk>();
  disk->file = handWritten;
  auto opening = OpenOnDisk(disk);
  ASSERT_TRUE(opening.journal);
  EXPECT_EQ(opening.recovery.records, 1u);
  EXPECT_FALSE(opening.recovery.droppedTail);
  const auto id = opening.journal->Add(std::vector<uint8_t>{0xAA, 0xBB});
  ASSERT_EQ(id, 0x0102030405060708u);
  EXPECT_TRUE(opening.journal->Retire(*id));
  ExpectCommitted(*opening.journal);
  std::vector<uint8_t> expected = handWritten;
  expected.insert(expected.end(), add.begin(), add.end());
  expected.insert(expected.end(), retire.begin(), retire.end());
  EXPECT_EQ(disk->File(), expected);
}

// Three committed events; the file is then damaged and opened again.
class EventJournalDamageTest : public EventJournalFileTest {
 protected:
  void SetUp() override {
    auto opening = Open();
    for (int n = 0; n < 3; ++n) ids.push_back(AddOne(*opening.journal, n));
    ExpectCommitted(*opening.journal);
    bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 3 * kEventRecordSize);
  }
  // After the damage is dealt with, the journal works as before and the file is clean.
  void ExpectUsableAfterwards(const PayloadList& before) {
    {
      auto opening = Open();
      EXPECT_FALSE(opening.recovery.droppedTail);
      EXPECT_TRUE(opening.recovery.skipped.empty());
      AddOne(*opening.journal, 50);
      ExpectCommitted(*opening.journal);
    }
    const auto opening = Open();
    auto expected = before;
    expected.push_back(EventPayload(50));
    EXPECT_EQ(PayloadsOf(opening.recovery.entries), expected);
    EXPECT_FALSE(opening.recovery.droppedTail);
    EXPECT_TRUE(opening.recovery.skipped.empty());
  }

  std::vector<uint64_t> ids;
  std::vector<uint8_t> bytes;
  const std::size_t lastStart = 2 * kEventRecordSize;
};

// A crash while the last record was written: the file ends inside it.
TEST_F(EventJournalDamageTest, TornLastRecordIsCutOffAndReported) {
  const std::size_t payloadEnd = 13 + 19;
  const std::size_t cuts[] = {1, 4, 5, 12, 13, 14, payloadEnd - 1, payloadEnd,
                              payloadEnd + 1, kEventRecordSize - 1};
  for (const std::size_t cut : cuts) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes of the last record");
    WriteFileBytes(path, {bytes.begin(), bytes.begin() + static_cast<long>(lastStart + cut)});
    {
      const auto opening = Open();
      const JournalRecovery& recovery = opening.recovery;
      EXPECT_EQ(PayloadsOf(recovery.entries), (PayloadList{EventPayload(0), EventPayload(1)}));
      EXPECT_EQ(recovery.records, 2u);
      EXPECT_EQ(recovery.droppedTail, (JournalDamage{lastStart, cut, RecordFault::Short}));
      EXPECT_FALSE(recovery.tidy);
      EXPECT_EQ(FileSize(), lastStart);
    }
    ExpectUsableAfterwards({EventPayload(0), EventPayload(1)});
  }
}

struct Corruption {
  const char* field;
  std::size_t offset;  // in the last record
  uint8_t value;
  RecordFault fault;
};

TEST_F(EventJournalDamageTest, CorruptLastRecordIsCutOffWithItsCause) {
  const Corruption corruptions[] = {
      {"kind zero", 0, 0x00, RecordFault::UnknownKind},
      {"kind of another record", 0, 0xA2, RecordFault::BadLength},
      {"length beyond the limit", 4, 0x7F, RecordFault::BadLength},
      {"length beyond the file", 1, 19 + 1, RecordFault::Short},
      {"length one short", 1, 19 - 1, RecordFault::BadChecksum},
      {"id", 9, 0x55, RecordFault::BadChecksum},
      {"payload", 20, 0x00, RecordFault::BadChecksum},
      {"checksum", kEventRecordSize - 1, 0x00, RecordFault::BadChecksum},
  };
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.field);
    std::vector<uint8_t> damaged = bytes;
    ASSERT_NE(damaged[lastStart + c.offset], c.value);
    damaged[lastStart + c.offset] = c.value;
    WriteFileBytes(path, damaged);
    {
      const auto opening = Open();
      const JournalRecovery& recovery = opening.recovery;
      EXPECT_EQ(PayloadsOf(recovery.entries), (PayloadList{EventPayload(0), EventPayload(1)}));
      EXPECT_EQ(recovery.droppedTail, (JournalDamage{lastStart, kEventRecordSize, c.fault}));
      EXPECT_TRUE(recovery.skipped.empty());
      EXPECT_EQ(FileSize(), lastStart);
    }
    ExpectUsableAfterwards({EventPayload(0), EventPayload(1)});
  }
}

// Damage with good records after it costs only the record it hit; the file is rewritten.
TEST_F(EventJournalDamageTest, DamageInTheMiddleSkipsOnlyTheDamagedRecord) {
  bytes[kEventRecordSize + 20] ^= 0x01;
  WriteFileBytes(path, bytes);
  {
    const auto opening = Open();
    const JournalRecovery& recovery = opening.recovery;
    EXPECT_EQ(PayloadsOf(recovery.entries), (PayloadList{EventPayload(0), EventPayload(2)}));
    EXPECT_EQ(recovery.skipped, (std::vector{JournalDamage{kEventRecordSize, kEventRecordSize,
                                                           RecordFault::BadChecksum}}));
    EXPECT_FALSE(recovery.droppedTail);
    EXPECT_FALSE(recovery.tidy);
    EXPECT_EQ(FileSize(), 2 * kEventRecordSize);
    EXPECT_EQ(opening.journal->Stats().compactions, 1u);
  }
  ExpectUsableAfterwards({EventPayload(0), EventPayload(2)});
}

TEST_F(EventJournalDamageTest, FileOfNothingButGarbageIsEmptiedAndUsable) {
  WriteFileBytes(path, std::vector<uint8_t>(100, 0));
  {
    const auto opening = Open();
    EXPECT_TRUE(opening.recovery.entries.empty());
    EXPECT_EQ(opening.recovery.droppedTail, (JournalDamage{0, 100, RecordFault::UnknownKind}));
    EXPECT_EQ(FileSize(), 0u);
  }
  ExpectUsableAfterwards({});
}

// The names beside the journal that hold a file kept aside.
std::vector<fs::path> KeptAside(const fs::path& journal) {
  std::vector<fs::path> kept;
  for (int n = 1; fs::exists(journal.string() + ".damaged-" + std::to_string(n)); ++n)
    kept.push_back(journal.string() + ".damaged-" + std::to_string(n));
  return kept;
}

// A torn write of the journal's own is cut; nothing else is: bytes the journal did not
// write are kept under a new name, and a fresh journal holds what was recovered.
TEST_F(EventJournalDamageTest, OnlyATornRecordOfItsOwnIsCutAnythingElseIsKeptAside) {
  const std::vector<uint8_t> goodRecords(bytes.begin(), bytes.begin() + lastStart);
  const auto with = [&](std::vector<uint8_t> tail) {
    std::vector<uint8_t> file = goodRecords;
    file.insert(file.end(), tail.begin(), tail.end());
    return file;
  };
  std::vector<uint8_t> foreign(3 << 20);
  for (std::size_t i = 0; i < foreign.size(); ++i) foreign[i] = static_cast<uint8_t>(i * 31 + 7);
  const std::vector<uint8_t> text{'h', 'e', 'l', 'l', 'o', '\n'};
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    bool keptAside;
    PayloadList recovered;
  } cases[] = {
      {"torn last record", with({bytes.begin() + lastStart, bytes.end() - 1}), false,
       {EventPayload(0), EventPayload(1)}},
      {"zeros where the last write did not arrive", with(std::vector<uint8_t>(40, 0)), false,
       {EventPayload(0), EventPayload(1)}},
      {"a foreign file of 3 MB", foreign, true, {}},
      {"a line of text", text, true, {}},
      {"good records, then foreign bytes", with(foreign), true,
       {EventPayload(0), EventPayload(1)}},
      {"good records, then a short text", with(text), true, {EventPayload(0), EventPayload(1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir.path());
    fs::create_directories(dir.path());
    WriteFileBytes(path, c.file);
    {
      const auto opening = Open();
      EXPECT_EQ(PayloadsOf(opening.recovery.entries), c.recovered);
      ASSERT_TRUE(opening.recovery.droppedTail);
      EXPECT_EQ(opening.recovery.setAside.empty(), !c.keptAside);
    }
    const auto kept = KeptAside(path);
    if (c.keptAside) {
      ASSERT_EQ(kept.size(), 1u);
      EXPECT_EQ(ReadFileBytes(kept[0]), c.file) << "every byte kept";
    } else {
      EXPECT_TRUE(kept.empty());
    }
    EXPECT_EQ(FileSize(), c.recovered.size() * kEventRecordSize);
    ExpectUsableAfterwards(c.recovered);
  }
}

TEST_F(EventJournalDamageTest, DamageInTheMiddleKeepsTheFileAside) {
  bytes[kEventRecordSize + 20] ^= 0x01;
  WriteFileBytes(path, bytes);
  {
    const auto opening = Open();
    EXPECT_EQ(opening.recovery.setAside, path.string() + ".damaged-1");
  }
  EXPECT_EQ(ReadFileBytes(path.string() + ".damaged-1"), bytes);
  ExpectUsableAfterwards({EventPayload(0), EventPayload(2)});
}

// A folder (with files in it) under the journal's name: moved away whole, and the
// driver journals again in a fresh file.
TEST_F(EventJournalFileTest, AFolderInTheJournalsPlaceIsMovedAsideWhole) {
  fs::create_directories(path / "inner");
  WriteFileBytes(path / "inner" / "kept", {1, 2, 3});
  {
    auto opening = Open();
    ASSERT_TRUE(opening.journal);
    EXPECT_EQ(opening.recovery.setAside, path.string() + ".damaged-1");
    AddOne(*opening.journal, 1);
    ExpectCommitted(*opening.journal);
  }
  EXPECT_EQ(ReadFileBytes(path.string() + ".damaged-1/inner/kept"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(PayloadsOf(Open().recovery.entries), (PayloadList{EventPayload(1)}));
}

// While a damaged file cannot be kept aside, or no fresh file made, nothing is written
// to it (it is the very file kept aside) and the journal does not open.
TEST(EventJournalKeepAsideTest, ADamagedFileIsNeverWrittenToWhenItCannotBeSetAside) {
  const std::vector<uint8_t> foreign(100, 'x');
  for (const char* failing : {"keep-aside", "replace"}) {
    SCOPED_TRACE(failing);
    auto disk = std::make_shared<FakeDisk>();
    disk->file = disk->durable = foreign;
    disk->FailNext(failing, EACCES);
    const auto opening = OpenOnDisk(disk);
    EXPECT_FALSE(opening.journal);
    EXPECT_TRUE(opening.status);
    EXPECT_NE(opening.status->Describe().find("damaged"), std::string::npos) << opening.status->Describe();
    EXPECT_EQ(disk->File(), foreign);
    for (const std::string& line : disk->Log()) EXPECT_NE(line.substr(0, 5), "write") << line;
    EXPECT_EQ(disk->Count("truncate 0"), 0u);
    // Once it can: kept, and a fresh file.
    const auto reopened = OpenOnDisk(disk);
    ASSERT_TRUE(reopened.journal) << reopened.status->Describe();
    EXPECT_EQ(disk->asides.back(), foreign);
    EXPECT_TRUE(disk->File().empty());
  }
}

// Many events added and retired while a few stay live: the file stays under the bound
// of JournalOptions, and the live entries survive every rewrite.
TEST_F(EventJournalFileTest, CompactionBoundsTheFileAndKeepsLiveEntries) {
  const JournalOptions options{.compactFromBytes = 4096, .deadPerLive = 3};
  WriteFileBytes(dir / "events.journal.new", std::vector<uint8_t>(5000, 0xA1));  // from a crash
  PayloadList kept;
  {
    auto opening = Open(options);
    EventJournal& journal = *opening.journal;
    int n = 0;
    for (int round = 0; round < 300; ++round) {
      std::vector<uint64_t> batch;
      for (int i = 0; i < 5; ++i, ++n) batch.push_back(AddOne(journal, n));
      ExpectCommitted(journal);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (round % 50 == 0 && i == 0) kept.push_back(EventPayload(n - 5));
        else EXPECT_TRUE(journal.Retire(batch[i]));
      }
      EXPECT_FALSE(journal.CompactIfDue());
      // The live bytes stay far below a quarter of compactFromBytes, so that is the bound.
      ASSERT_LT(FileSize(), options.compactFromBytes) << "after round " << round;
    }
    ExpectCommitted(journal);  // the last round's retirements
    EXPECT_GE(journal.Stats().compactions, 10u);
    EXPECT_EQ(journal.Stats().fileBytes, FileSize());
  }
  const auto opening = Open(options);
  EXPECT_EQ(PayloadsOf(opening.recovery.entries), kept);
  EXPECT_FALSE(opening.recovery.droppedTail);
  EXPECT_FALSE(fs::exists(dir / "events.journal.new"));
}

// Entries added but not yet committed must not reach the file by a rewrite: their
// frames are acknowledged only after their own commit.
TEST(EventJournalCompactionTest, RewriteLeavesUncommittedEntriesToTheirCommit) {
  auto disk = std::make_shared<FakeDisk>();
  auto opening = OpenOnDisk(disk, {.compactFromBytes = 0, .deadPerLive = 3});
  EventJournal& journal = *opening.journal;
  const uint64_t survivor = AddOne(journal, 0);
  for (int n = 1; n < 10; ++n) journal.Retire(AddOne(journal, n));
  ExpectCommitted(journal);
  AddOne(journal, 10);  // in the batch, not committed
  ASSERT_FALSE(journal.CompactIfDue());
  EXPECT_EQ(disk->File().size(), kEventRecordSize);

  disk->Crash();
  EXPECT_EQ(PayloadsOf(OpenOnDisk(disk).recovery.entries), (PayloadList{EventPayload(0)}));

  ExpectCommitted(journal);
  disk->Crash();
  EXPECT_EQ(PayloadsOf(OpenOnDisk(disk).recovery.entries),
            (PayloadList{EventPayload(0), EventPayload(10)}));

  // A retirement after the rewrite goes into the new file.
  EXPECT_TRUE(journal.Retire(survivor));
  ExpectCommitted(journal);
  disk->Crash();
  EXPECT_EQ(PayloadsOf(OpenOnDisk(disk).recovery.entries), (PayloadList{EventPayload(10)}));
}

TEST(EventJournalCompactionTest, FailedRewriteKeepsTheOldFileInUse) {
  auto disk = std::make_shared<FakeDisk>();
  auto opening = OpenOnDisk(disk, {.compactFromBytes = 0, .deadPerLive = 3});
  EventJournal& journal = *opening.journal;
  AddOne(journal, 0);
  for (int n = 1; n < 10; ++n) journal.Retire(AddOne(journal, n));
  ExpectCommitted(journal);
  const auto before = disk->File();

  disk->FailNext("replace", ENOSPC);
  const std::optional<Failure> failed = journal.CompactIfDue();
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->error, ENOSPC);
  EXPECT_NE(failed->Describe().find(std::strerror(ENOSPC)), std::string::npos) << failed->Describe();
  EXPECT_EQ(disk->File(), before);
  EXPECT_EQ(journal.Stats().compactions, 0u);

  AddOne(journal, 10);
  ExpectCommitted(journal);
  EXPECT_FALSE(journal.CompactIfDue());
  EXPECT_EQ(journal.Stats().compactions, 1u);
  disk->Crash();
  EXPECT_EQ(PayloadsOf(OpenOnDisk(disk).recovery.entries),
            (PayloadList{EventPayload(0), EventPayload(10)}));
}

struct DiskFault {
  const char* name;
  std::vector<std::pair<std::string, int>> failures;  // for the failing commit
  std::size_t partialWrite;
  int error;  // reported for the batch
};

// A failed write or sync fails its batch with the cause; the file keeps none of its bytes,
// a retirement in it is written again, and the next commit works.
TEST(EventJournalFailureTest, FailedBatchIsReportedAndTheNextCommitWorks) {
  const DiskFault faults[] = {
      {"write refused", {{"write", ENOSPC}}, 0, ENOSPC},
      {"write torn", {{"write", ENOSPC}}, 7, ENOSPC},
      {"sync failed", {{"sync", EIO}}, 0, EIO},
      {"sync failed, cut failed", {{"sync", EIO}, {"truncate", EIO}}, 0, EIO},
  };
  for (const DiskFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    auto disk = std::make_shared<FakeDisk>();
    auto opening = OpenOnDisk(disk);
    EventJournal& journal = *opening.journal;
    const uint64_t first = AddOne(journal, 1);
    AddOne(journal, 2);
    ExpectCommitted(journal);
    const auto before = disk->File();

    const uint64_t lost = AddOne(journal, 3);
    EXPECT_TRUE(journal.Retire(first));
    for (const auto& [operation, error] : fault.failures) disk->FailNext(operation, error);
    disk->partialWrite = fault.partialWrite;
    const CommitResult failed = journal.Commit();
    EXPECT_EQ(failed.status->error, fault.error);
    EXPECT_NE(failed.status->Describe().find(std::strerror(fault.error)), std::string::npos)
        << failed.status->Describe();
    EXPECT_EQ(failed.ids, (std::vector{lost}));
    EXPECT_FALSE(journal.Retire(lost));  // dropped with its batch
    if (fault.failures.size() == 1) {
      EXPECT_EQ(disk->File(), before);
    }

    AddOne(journal, 4);
    const CommitResult next = journal.Commit();
    EXPECT_FALSE(next.status) << next.status->Describe();
    EXPECT_EQ(next.records, 2u);  // the new entry and the retirement once more
    disk->Crash();
    const auto reopened = OpenOnDisk(disk);
    EXPECT_EQ(PayloadsOf(reopened.recovery.entries), (PayloadList{EventPayload(2), EventPayload(4)}));
    EXPECT_FALSE(reopened.recovery.droppedTail);
    EXPECT_TRUE(reopened.recovery.skipped.empty());
  }
}

// The cut of a failed batch is retried before the next write; while it keeps failing
// nothing is written after the failed bytes.
TEST(EventJournalFailureTest, CommitFailsWhileTheFailedBatchCannotBeCutOff) {
  auto disk = std::make_shared<FakeDisk>();
  auto opening = OpenOnDisk(disk);
  EventJournal& journal = *opening.journal;
  AddOne(journal, 1);
  ExpectCommitted(journal);
  AddOne(journal, 2);
  disk->FailNext("sync", EIO);
  disk->FailNext("truncate", EROFS);
  EXPECT_EQ(journal.Commit().status->error, EIO);

  AddOne(journal, 3);
  disk->FailNext("truncate", EROFS);
  const CommitResult refused = journal.Commit();
  EXPECT_EQ(refused.status->error, EROFS);
  EXPECT_EQ(disk->Count("write " + std::to_string(kEventRecordSize) + "+" +
                        std::to_string(kEventRecordSize)), 1u);

  AddOne(journal, 4);
  ExpectCommitted(journal);
  disk->Crash();
  EXPECT_EQ(PayloadsOf(OpenOnDisk(disk).recovery.entries), (PayloadList{EventPayload(1), EventPayload(4)}));
}

TEST(EventJournalOpenTest, UnopenableFileIsReportedWithItsCause) {
  TempDir dir;
  const struct {
    fs::path path;
    int error;
  } cases[] = {{dir / "missing" / "events.journal", ENOENT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    const JournalOpening opening = EventJournal::OpenFile(c.path.string());
    EXPECT_FALSE(opening.journal);
    EXPECT_EQ(opening.status->error, c.error);
    EXPECT_NE(opening.status->Describe().find(c.path.string()), std::string::npos) << opening.status->Describe();
    EXPECT_NE(opening.status->Describe().find(std::strerror(c.error)), std::string::npos);
  }
}

// A folder under the journal's name that cannot be moved away: the journal stays closed
// (nothing is acknowledged) with both causes, and opens once the move works.
TEST(EventJournalOpenTest, AFolderThatCannotBeMovedLeavesTheJournalClosed) {
  auto disk = std::make_shared<FakeDisk>();
  disk->notAFile = true;
  disk->FailNext("keep-aside", EBUSY);
  const auto refused = OpenOnDisk(disk);
  EXPECT_FALSE(refused.journal);
  EXPECT_EQ(refused.status->error, kJournalNotAFile);
  EXPECT_NE(refused.status->Describe().find("not a regular file; keep-aside journal: "), std::string::npos)
      << refused.status->Describe();
  const auto opened = OpenOnDisk(disk);
  ASSERT_TRUE(opened.journal) << opened.status->Describe();
  EXPECT_EQ(opened.recovery.setAside, "aside-1");
}

}  // namespace
}  // namespace orvelgate
