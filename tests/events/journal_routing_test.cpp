// The router and the start-up replay as the event journal sees them: which entries are
// retired when, and what a crash leaves to spool.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <future>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/fake_clock.h"
#include "events/event_router.h"
#include "events/journal_replay.h"
#include "events/journaled_event.h"
#include "link_fakes.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::Day8;
using testing::FakeT7;
using testing::FakeT8;
using testing::FileNames;
using testing::MakeEvent;
using testing::ReadFileBytes;
using testing::ScopedCwd;
using testing::TempDir;

// A T8 link that numbers its messages 1, 2, 3 ... as the worker does.
class NumberedT8 final : public FakeT8 {
 public:
  using FakeT8::FakeT8;
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    if (!QueueMessage(type, payload)) return std::nullopt;
    return ++next_;
  }

 private:
  uint64_t next_ = 0;
};

// Notes every entry the router retires.
class RecordedRetirement final : public JournalRetirement {
 public:
  void Retire(uint64_t journalId) override { ids.push_back(journalId); }
  std::vector<uint64_t> ids;
};

class JournalRoutingTest : public ::testing::Test {
 protected:
  EventRouter MakeRouter(T8Outbox* t8, RoutingSettings settings = {}) {
    EventRouter router(t8, nullptr, store, settings);
    router.UseJournal(journal, acks);
    return router;
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
  SpoolStore store{{.spoolPrefix = ""}, clock};
  EventAckBook acks;
  RecordedRetirement journal;
  std::vector<uint64_t>& retired = journal.ids;
};

TEST_F(JournalRoutingTest, AQueuedEventIsRetiredOnlyByTheEventAckOfItsOwnMessage) {
  NumberedT8 t8(/*up=*/true);
  EventRouter router = MakeRouter(&t8);
  ASSERT_EQ(router.RouteEvent(MakeEvent(1), 11), Routed::Sent);
  ASSERT_EQ(router.RouteEvent(MakeEvent(2), 12), Routed::Sent);
  EXPECT_TRUE(retired.empty());
  EXPECT_EQ(acks.Answered(2), std::optional<uint64_t>(12));
  EXPECT_EQ(acks.Answered(2), std::nullopt);  // answered once
  EXPECT_EQ(acks.Answered(7), std::nullopt);  // a message the book never saw
  EXPECT_EQ(acks.Answered(1), std::optional<uint64_t>(11));
}

// A T8 link whose worker answers every message at once: the EventAck is read on the
// worker's thread while QueueNumbered has not even returned.
class AnsweredAtOnceT8 final : public FakeT8 {
 public:
  explicit AnsweredAtOnceT8(EventAckBook& acks) : FakeT8(/*up=*/true), acks_(acks) {}
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    if (!QueueMessage(type, payload)) return std::nullopt;
    const uint64_t sequence = ++next_;
    worker_ = std::async(std::launch::async, [this, sequence] { return acks_.Answered(sequence); });
    // Gives the answer every chance to come first; it waits for the booking instead.
    worker_.wait_for(std::chrono::milliseconds(100));
    return sequence;
  }
  std::optional<uint64_t> Answer() { return worker_.get(); }

 private:
  EventAckBook& acks_;
  uint64_t next_ = 0;
  std::future<std::optional<uint64_t>> worker_;
};

TEST_F(JournalRoutingTest, AnEventAckReadBeforeQueueingReturnedStillFindsItsEntry) {
  AnsweredAtOnceT8 t8(acks);
  EventRouter router = MakeRouter(&t8);
  ASSERT_EQ(router.RouteEvent(MakeEvent(1), 41), Routed::Sent);
  EXPECT_EQ(t8.Answer(), std::optional<uint64_t>(41));
  EXPECT_EQ(acks.Size(), 0u) << "nothing left to be retired at the next start";
}

TEST_F(JournalRoutingTest, SpooledAndDroppedEventsAreRetiredAtOnce) {
  NumberedT8 down(/*up=*/false);
  EventRouter spooling = MakeRouter(&down);
  EXPECT_EQ(spooling.RouteEvent(MakeEvent(1), 21), Routed::Spooled);
  EventRouter dropping = MakeRouter(&down, {.DropUndeliveredT8 = true});
  EXPECT_EQ(dropping.RouteEvent(MakeEvent(2), 22), Routed::Dropped);
  EventRouter withoutT8 = MakeRouter(nullptr);
  EXPECT_EQ(withoutT8.RouteEvent(MakeEvent(3), 23), Routed::Dropped);
  EXPECT_EQ(retired, (std::vector<uint64_t>{21, 22, 23}));
  EXPECT_EQ(acks.Size(), 0u);
}

TEST_F(JournalRoutingTest, AHeldEventIsRetiredWhenItsFileIsFinallyWritten) {
  NumberedT8 down(/*up=*/false);
  // The spool folder is a file: nothing can be written under it.
  { std::ofstream("blocked") << "x"; }
  SpoolStore blocked({.spoolPrefix = "blocked/"}, clock);
  EventRouter held(&down, nullptr, blocked, {});
  held.UseJournal(journal, acks);
  EXPECT_EQ(held.RouteEvent(MakeEvent(5), 31), Routed::Held);
  EXPECT_EQ(held.RetryHeld(), 1u);
  EXPECT_TRUE(retired.empty());
  std::filesystem::remove("blocked");
  EXPECT_EQ(held.RetryHeld(), 0u);
  EXPECT_EQ(retired, (std::vector<uint64_t>{31}));
}

// The T7 event report of an ASCII frame: retired once the socket took it or its file is
// written; one the socket refuses is spooled; a held one waits for its file.
TEST_F(JournalRoutingTest, AT7ReportIsRetiredOnceSentOrSpooledAndAHeldOneWhenItsFileIsWritten) {
  const std::array<uint8_t, kT7RecordSize> report{0xFF, 0xFF, 0x30};
  FakeT7 t7(/*connected=*/true);
  EventRouter router(nullptr, &t7, store, {});
  router.UseJournal(journal, acks);
  EXPECT_EQ(router.RouteT7Event(report, 51), Routed::Sent);
  t7.takes = false;  // connected, but the socket refuses it
  EXPECT_EQ(router.RouteT7Event(report, 52), Routed::Spooled);
  EXPECT_EQ(store.Count(SpoolKind::T7), 1u);
  EXPECT_EQ(retired, (std::vector<uint64_t>{51, 52}));

  { std::ofstream("blocked") << "x"; }
  SpoolStore blocked({.spoolPrefix = "blocked/"}, clock);
  FakeT7 down(/*connected=*/false);
  EventRouter held(nullptr, &down, blocked, {});
  held.UseJournal(journal, acks);
  EXPECT_EQ(held.RouteT7Event(report, 53), Routed::Held);
  EXPECT_EQ(held.RetryHeld(), 1u);
  EXPECT_EQ(retired.size(), 2u);
  std::filesystem::remove("blocked");
  EXPECT_EQ(held.RetryHeld(), 0u);
  EXPECT_EQ(retired, (std::vector<uint64_t>{51, 52, 53}));
}

// A report the T7 link took but kept in part in its own buffer is not yet safe: its
// entry goes once the socket took the rest; if the connection ends first, the report is
// spooled like one prepared while disconnected (and its notice likewise), then retired.
TEST_F(JournalRoutingTest, AT7ReportWaitingForTheSocketIsRetiredOnlyOnceTakenElseSpooled) {
  const std::array<uint8_t, kT7RecordSize> report{0xFF, 0xFF, 0x30};
  const std::array<uint8_t, kT7RecordSize> notice{0xFF, 0xFF, 0x31};
  FakeT7 t7(/*connected=*/true);
  EventRouter router(nullptr, &t7, store, {});
  router.UseJournal(journal, acks);
  t7.socketTook = 0;  // the socket takes nothing yet
  EXPECT_EQ(router.RouteT7Event(report, 61), Routed::Sent);
  EXPECT_EQ(router.RouteT7Event(report, 62), Routed::Sent);
  EXPECT_EQ(router.RouteStationNotice(notice), Routed::Sent);
  EXPECT_EQ(router.T7InFlightCount(), 3u);
  router.RetryHeld();
  EXPECT_EQ(retired, std::vector<uint64_t>{});

  t7.socketTook = 1;  // the first report is in the socket; the others still wait
  router.RetryHeld();
  EXPECT_EQ(retired, std::vector<uint64_t>{61});
  EXPECT_EQ(store.Count(SpoolKind::T7), 0u);

  t7.connectionLost = true;  // what still waited is dropped with the connection
  router.RetryHeld();
  EXPECT_EQ(retired, (std::vector<uint64_t>{61, 62}));
  EXPECT_EQ(store.Count(SpoolKind::T7), 2u);  // the report's .ddk and the notice's
  EXPECT_EQ(router.T7InFlightCount(), 0u);
}

// A file whose name may not survive a power cut is no safe place: the entry stays live
// and the event is held until a write is durable.
TEST_F(JournalRoutingTest, AnEventWhoseFolderSyncFailedIsHeldNotRetired) {
  NumberedT8 down(/*up=*/false);
  bool folderSyncFails = true;
  SpoolStore unsynced({.spoolPrefix = "",
                       .syncFolder = [&](const std::string& folder) -> std::optional<Failure> {
                         if (folderSyncFails) return Failure::FromErrno(EIO, "fsync folder");
                         return SyncFolder(folder);
                       }},
                      clock);
  EventRouter held(&down, nullptr, unsynced, {});
  held.UseJournal(journal, acks);
  EXPECT_EQ(held.RouteEvent(MakeEvent(6), 61), Routed::Held);
  EXPECT_EQ(held.RetryHeld(), 1u);
  EXPECT_TRUE(retired.empty());
  EXPECT_TRUE(FileNames(dir.path()).empty()) << "no file left behind per attempt";
  folderSyncFails = false;
  EXPECT_EQ(held.RetryHeld(), 0u);
  EXPECT_EQ(retired, (std::vector<uint64_t>{61}));
  EXPECT_EQ(FileNames(dir.path()).size(), 1u);
}

TEST_F(JournalRoutingTest, EventsWithoutAnEntryTouchNeitherJournalNorBook) {
  NumberedT8 up(/*up=*/true);
  EventRouter router = MakeRouter(&up);
  EXPECT_EQ(router.RouteEvent(MakeEvent(1)), Routed::Sent);
  up.SetUp(false);
  EXPECT_EQ(router.RouteEvent(MakeEvent(2)), Routed::Spooled);
  EXPECT_TRUE(retired.empty());
  EXPECT_EQ(acks.Size(), 0u);
}

TEST(EventAckBook, RetiresTheEntryOfAnAnsweredMessageOnce) {
  RecordedRetirement journal;
  EventAckBook book(journal);
  book.QueueAndExpect([] { return std::optional<uint64_t>(5); }, 12, T8Outbox::kUnnumbered);
  book.RetireAnswered(7);  // a message the book never saw
  EXPECT_TRUE(journal.ids.empty());
  book.RetireAnswered(5);
  book.RetireAnswered(5);  // answered once
  EXPECT_EQ(journal.ids, (std::vector<uint64_t>{12}));
}

// A held-back event queued again under a new number: the entry follows it, and only the
// new number's answer retires it.
TEST(EventAckBook, ARenumberedMessageCarriesItsEntry) {
  RecordedRetirement journal;
  EventAckBook book(journal);
  book.QueueAndExpect([] { return std::optional<uint64_t>(5); }, 12, T8Outbox::kUnnumbered);
  book.Renumber(5, 9);
  book.Renumber(6, 10);  // unknown: nothing
  EXPECT_EQ(book.Size(), 1u);
  book.RetireAnswered(5);
  EXPECT_TRUE(journal.ids.empty());
  book.RetireAnswered(9);
  EXPECT_EQ(journal.ids, (std::vector<uint64_t>{12}));
  EXPECT_EQ(book.Size(), 0u);
}

TEST(EventAckBook, KeepsTheNewestExpectationsWhenFull) {
  EventAckBook book;
  for (uint64_t s = 1; s <= EventAckBook::kMaxExpected + 5; ++s) {
    book.QueueAndExpect([s] { return std::optional<uint64_t>(s); }, s + 1000, 0);
  }
  EXPECT_EQ(book.Size(), EventAckBook::kMaxExpected);
  EXPECT_EQ(book.Answered(5), std::nullopt);
  EXPECT_EQ(book.Answered(EventAckBook::kMaxExpected + 5),
            std::optional<uint64_t>(EventAckBook::kMaxExpected + 1005));
}

class JournalReplayTest : public JournalRoutingTest {
 protected:
  std::unique_ptr<EventJournal> OpenJournal() {
    auto opening = EventJournal::OpenFile((dir.path() / "orvelgate.journal").string());
    recovered = opening.recovery.entries;
    return std::move(opening.journal);
  }
  std::vector<JournalEntry> recovered;
};

TEST_F(JournalReplayTest, EveryUnretiredEntryBecomesASpoolFileInOrderAndIsRetired) {
  {
    auto journal = OpenJournal();
    ASSERT_TRUE(journal);
    const auto first = MakeEvent(40001).Serialize();
    const auto second = MakeEvent(40002).Serialize();
    const std::vector<uint8_t> report(39, 0x5A);
    const auto a = journal->Add(EncodeJournaledEvent(JournaledKind::T8Event, first));
    const auto b = journal->Add(EncodeJournaledEvent(JournaledKind::T7EventReport, report));
    const auto c = journal->Add(EncodeJournaledEvent(JournaledKind::T8Event, second));
    journal->Add(std::vector<uint8_t>{9, 9, 9});  // no event: nothing to spool
    ASSERT_FALSE(journal->Commit().status);
    journal->Retire(*a);  // safe elsewhere before the crash
    ASSERT_FALSE(journal->Commit().status);
    (void)b;
    (void)c;
  }  // the driver ends without retiring the rest, as a crash would leave it

  auto journal = OpenJournal();
  ASSERT_EQ(recovered.size(), 3u);
  const JournalReplay replay = SpoolJournalEntries(recovered, *journal, store);
  EXPECT_EQ(replay.spooled, 2u);
  EXPECT_EQ(replay.unusable, 1u);
  EXPECT_EQ(replay.notWritten, 0u);
  EXPECT_FALSE(replay.commit) << replay.commit->Describe();

  const auto names = FileNames(dir.path());
  std::vector<std::string> spool;
  std::copy_if(names.begin(), names.end(), std::back_inserter(spool), [](const std::string& n) {
    return n.ends_with(".dd8") || n.ends_with(".ddk");
  });
  ASSERT_EQ(spool.size(), 2u);
  const auto dd8 = std::find_if(spool.begin(), spool.end(), [](auto& n) { return n.ends_with(".dd8"); });
  const auto bytes = ReadFileBytes(*dd8);
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(EventRecord::Parse(std::span(bytes).subspan(4))->Account, 40002);
  const auto ddk = std::find_if(spool.begin(), spool.end(), [](auto& n) { return n.ends_with(".ddk"); });
  EXPECT_EQ(ReadFileBytes(*ddk), std::vector<uint8_t>(39, 0x5A));

  journal.reset();
  OpenJournal();
  EXPECT_TRUE(recovered.empty());  // nothing is spooled twice
}

TEST_F(JournalReplayTest, LeftoverTemporarySpoolFilesAreRemovedAndSpoolFilesKept) {
  { std::ofstream(".orvelgate-spool-AbC123") << "half"; }
  { std::ofstream(".orvelgate-spool-Zz9999"); }
  { std::ofstream("2DAE23B3.dd8") << std::string(22, '\0'); }
  EXPECT_EQ(store.RemoveLeftoverTemporaries(), 2u);
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{"2DAE23B3.dd8"}));
}

}  // namespace
}  // namespace orvelgate
