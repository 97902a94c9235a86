#include "events/spool_resender.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "common/wire_constants.h"
#include "events/event_router.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::Day8;
using testing::ErrorLine;
using testing::FakeT7;
using testing::FakeT8;
using testing::FileNames;
using testing::MakeEvent;
using testing::NumberedT8;
using testing::PutThreeEventFiles;
using testing::QueuedMessage;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::SetMtime;
using testing::TempDir;
using testing::WriteFileBytes;

QueuedMessage EventMessage(int32_t account) {
  const auto record = MakeEvent(account).Serialize();
  return {kT8EventMessageType, {record.begin(), record.end()}};
}

class SpoolResenderTest : public ::testing::Test {
 protected:
  // One 200 ms tick: its first two steps.
  void Tick() {
    clock.Advance(200);
    resender().ResendT8Step();
    resender().ResendT7Step();
  }
  SpoolStore& store() {
    if (!store_) store_.emplace(SpoolStore::Options{.spoolPrefix = ""}, clock);
    return *store_;
  }
  SpoolResender& resender() {
    if (!resender_) resender_.emplace(&t8, &t7, store(), clock);
    return *resender_;
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
  FakeT8 t8{/*up=*/true};
  FakeT7 t7{/*connected=*/false};
  std::optional<SpoolStore> store_;
  std::optional<SpoolResender> resender_;
};

TEST_F(SpoolResenderTest, AcknowledgedFilesGoOutOldestFirstOnePerTick) {
  PutThreeEventFiles(dir.path());
  Tick();  // LastSpoolResend starts at 0: due at once
  EXPECT_EQ(t8.Queued(), std::vector<QueuedMessage>{EventMessage(1)});
  EXPECT_EQ(resender().PendingSpoolFile(), "7000000.dd8");
  Tick();  // no acknowledgement yet: nothing more
  EXPECT_EQ(t8.Queued().size(), 1u);

  for (int32_t next = 2; next <= 3; ++next) {
    resender().OnEventAck();  // the server's EventAck, on the worker
    Tick();
    ASSERT_EQ(t8.Queued().size(), static_cast<std::size_t>(next));
    EXPECT_EQ(t8.Queued().back(), EventMessage(next));
  }
  resender().OnEventAck();
  EXPECT_TRUE(FileNames(dir.path()).empty());
  Tick();
  EXPECT_EQ(t8.Queued().size(), 3u);
  EXPECT_EQ(resender().PendingSpoolFile(), "");  // nothing left in flight
}

TEST_F(SpoolResenderTest, WithoutAcknowledgementTheSameFileEveryThreeSeconds) {
  PutThreeEventFiles(dir.path());
  std::vector<int> sentAtMs;
  for (int ms = 200; ms <= 14000; ms += 200) {
    const std::size_t before = t8.Queued().size();
    Tick();
    if (t8.Queued().size() > before) sentAtMs.push_back(ms);
  }
  // More than 3 s apart, on the 200 ms tick grid: 3.2 s.
  EXPECT_EQ(sentAtMs, (std::vector<int>{200, 3400, 6600, 9800, 13000}));
  for (const auto& m : t8.Queued()) EXPECT_EQ(m, EventMessage(1));
  EXPECT_EQ(FileNames(dir.path()).size(), 3u);
}

TEST_F(SpoolResenderTest, NothingWhileTheLinkIsDownOrWithoutTheWorker) {
  PutThreeEventFiles(dir.path());
  t8.SetUp(false);
  Tick();
  EXPECT_TRUE(t8.Queued().empty());
  SpoolResender noWorker(nullptr, &t7, store(), clock);
  noWorker.ResendT8Step();
  EXPECT_TRUE(t8.Queued().empty());
  t8.SetUp(true);
  Tick();
  EXPECT_EQ(t8.Queued().size(), 1u);
}

TEST_F(SpoolResenderTest, ANewConnectionMakesTheNextFileDueAtOnce) {
  PutThreeEventFiles(dir.path());
  Tick();
  Tick();
  EXPECT_EQ(t8.Queued().size(), 1u);
  resender().OnConnectionEstablished();
  EXPECT_NEAR(resender().LastSpoolResend(), clock.LocalNow() - 1.0, 1e-9);
  Tick();
  EXPECT_EQ(t8.Queued(), (std::vector<QueuedMessage>{EventMessage(1), EventMessage(1)}));
}

TEST_F(SpoolResenderTest, AClockSetBackDoesNotHoldTheBacklog) {
  PutThreeEventFiles(dir.path());
  Tick();
  clock.SetNow(clock.LocalNow() - 1.0 / 24);  // an hour back
  Tick();
  EXPECT_EQ(t8.Queued().size(), 2u);
}

TEST_F(SpoolResenderTest, FileIsReSentGenerically) {
  WriteFileBytes("5265C00.dd8", {0x00, 0x00, 0x00, 0x02});  // 4 bytes: a Poll, no payload
  WriteFileBytes("6000000.dd8", {0xFF, 0xFF, 0xFF, 0x02, 0xAA, 0xBB});
  SetMtime(dir / "5265C00.dd8", 1000);
  SetMtime(dir / "6000000.dd8", 2000);
  Tick();
  resender().OnEventAck();
  Tick();
  EXPECT_EQ(t8.Queued(), (std::vector<QueuedMessage>{{0x02000000, {}}, {0x02FFFFFF, {0xAA, 0xBB}}}));
}

TEST_F(SpoolResenderTest, ABadFileIsSetAsideAndTheNextGoesOutInTheSameTick) {
  PutThreeEventFiles(dir.path());
  WriteFileBytes("7000000.dd8", {0x22, 0x00});  // the oldest, only 2 bytes
  SetMtime(dir / "7000000.dd8", 1000);
  WriteFileBytes("8000000.dd8", std::vector<uint8_t>(SpoolResender::kMaxT8SpoolFileBytes + 1, 0));
  SetMtime(dir / "8000000.dd8", 1500);
  store();
  // Read fails outright: the file became a folder after it was listed.
  fs::remove(dir / "6000000.dd8");
  fs::create_directory(dir / "6000000.dd8");
  Tick();
  EXPECT_EQ(t8.Queued(), std::vector<QueuedMessage>{EventMessage(3)});
  EXPECT_EQ(FileNames(dir.path()),
            (std::vector<std::string>{"5265C00.dd8", "6000000.dd8.bad", "7000000.dd8.bad",
                                      "8000000.dd8.bad", "error.txt"}));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(12) + ErrorLine(12) + ErrorLine(12));
}

TEST_F(SpoolResenderTest, AFileRemovedBehindOurBackIsSkippedQuietly) {
  PutThreeEventFiles(dir.path());
  store();
  fs::remove("7000000.dd8");
  Tick();
  EXPECT_EQ(t8.Queued(), std::vector<QueuedMessage>{EventMessage(2)});
  EXPECT_FALSE(fs::exists("error.txt"));
}

TEST_F(SpoolResenderTest, AFileTheFullRingRefusesStaysAndIsTriedThreeSecondsLater) {
  FakeT8 full(/*up=*/true, /*capacity=*/0);
  SpoolResender resender(&full, nullptr, store(), clock);
  store().WriteEventFile(MakeEvent(7).Serialize());
  resender.ResendT8Step();
  EXPECT_EQ(full.Offered(), 1u);
  EXPECT_EQ(resender.PendingSpoolFile(), "");  // never went out: not pending
  resender.OnEventAck();  // an acknowledgement of some live event
  EXPECT_EQ(FileNames(dir.path()), std::vector<std::string>{"2DAE23B3.dd8"});
  clock.Advance(3000);
  resender.ResendT8Step();
  EXPECT_EQ(full.Offered(), 1u);
  clock.Advance(200);
  resender.ResendT8Step();
  EXPECT_EQ(full.Offered(), 2u);
}

// The pending file's copy may wait in the ring behind live events: their EventAcks
// must not delete it, or a crash before it leaves would lose it.
TEST_F(SpoolResenderTest, OnlyTheEventAckOfThePendingFilesOwnMessageDeletesIt) {
  NumberedT8 t8;
  PutThreeEventFiles(dir.path());
  SpoolResender resender(&t8, nullptr, store(), clock);
  resender.ResendT8Step();
  ASSERT_EQ(resender.PendingSpoolFile(), "7000000.dd8");
  EXPECT_TRUE(resender.IsPendingCopy(40));
  EXPECT_FALSE(resender.IsPendingCopy(39));

  resender.OnEventAck(39);                 // a live event queued ahead of it
  resender.OnEventAck(T8Outbox::kUnnumbered);  // an EventAck that answers nothing known
  EXPECT_TRUE(fs::exists("7000000.dd8"));
  resender.OnEventAck(40);
  EXPECT_FALSE(fs::exists("7000000.dd8"));
  EXPECT_FALSE(resender.IsPendingCopy(40));
}

TEST_F(SpoolResenderTest, AckWithoutAPendingFileChangesNothing) {
  PutThreeEventFiles(dir.path());
  Tick();
  resender().OnEventAck();
  const DayCount last = resender().LastSpoolResend();
  resender().OnEventAck();  // the pending file has gone already
  EXPECT_EQ(resender().LastSpoolResend(), last);
  EXPECT_EQ(FileNames(dir.path()).size(), 2u);
}

TEST_F(SpoolResenderTest, T7FilesGoOutPaddedTo555BytesOldestFirstAndAreDeleted) {
  std::array<uint8_t, kT7RecordSize> report{};
  report[0] = report[1] = 0xFF;
  report[2] = 21;
  report[3] = report[4] = report[38] = 1;
  report[5] = 0x12, report[6] = 0xA1;
  std::array<uint8_t, kT7RecordSize> notice{};
  notice[0] = notice[1] = 0xFF;
  notice[2] = 'I';
  notice[5] = 1;
  notice[554] = 0x5A;  // the whole record is kept
  EventRouter router(nullptr, &t7, store(), {});
  router.RouteT7Event(report);
  clock.Advance(1);
  router.RouteStationNotice(notice);
  WriteFileBytes("9000000.ddk", std::vector<uint8_t>(600, 0x77));
  SetMtime(dir / "9000000.ddk", 4000000000);  // the newest
  store().Rescan();

  Tick();
  EXPECT_TRUE(t7.sent.empty());  // not connected
  t7.connected_ = true;
  Tick();  // the socket takes them all at once
  ASSERT_EQ(t7.sent.size(), 3u);
  EXPECT_EQ(t7.sent[0], std::vector<uint8_t>(report.begin(), report.end()));
  EXPECT_EQ(t7.sent[1], std::vector<uint8_t>(notice.begin(), notice.end()));
  EXPECT_EQ(t7.sent[2], std::vector<uint8_t>(kT7RecordSize, 0x77));  // only its first record
  Tick();
  EXPECT_EQ(t7.sent.size(), 3u);
  EXPECT_TRUE(FileNames(dir.path()).empty());
  EXPECT_TRUE(t8.Queued().empty());  // .ddk files never reach T8
}

// A .ddk file goes only once the socket took its whole record; a connection lost
// while part of it waited leaves the file, which goes out again on the next one.
TEST_F(SpoolResenderTest, AT7FileIsDeletedOnlyOnceTheSocketTookItsWholeRecord) {
  EventRouter router(nullptr, &t7, store(), {});
  for (uint8_t letter : {'H', 'I'}) {
    std::array<uint8_t, kT7RecordSize> notice{0xFF, 0xFF, letter};
    router.RouteStationNotice(notice);
    clock.Advance(1);
  }
  ASSERT_EQ(store().Count(SpoolKind::T7), 2u);
  t7.connected_ = true;
  t7.socketTook = 0;  // the first record only in part
  Tick();
  Tick();  // still waiting: nothing more goes, nothing is deleted
  EXPECT_EQ(t7.sent.size(), 1u);
  EXPECT_EQ(store().Count(SpoolKind::T7), 2u);

  t7.socketTook = 1;  // its rest went; the second is taken only in part
  Tick();
  ASSERT_EQ(t7.sent.size(), 2u);
  EXPECT_EQ(t7.sent[1][2], 'I');
  EXPECT_EQ(store().Count(SpoolKind::T7), 1u);

  t7.connectionLost = true;  // before the rest of the second went
  t7.connected_ = false;
  Tick();
  EXPECT_EQ(store().Count(SpoolKind::T7), 1u);
  t7.connected_ = true;
  t7.connectionLost = false;
  t7.socketTook = SIZE_MAX;
  Tick();
  ASSERT_EQ(t7.sent.size(), 3u);
  EXPECT_EQ(t7.sent[2], t7.sent[1]);
  EXPECT_EQ(store().Count(SpoolKind::T7), 0u);
}

// The worker acknowledges each message it takes from the ring while the UI thread goes
// on ticking: every file ends up sent and deleted.
TEST_F(SpoolResenderTest, AcknowledgementsFromTheWorkerThreadRaceWithTicks) {
  t8.SetUp(false);
  EventRouter router(&t8, nullptr, store(), {});
  for (int32_t i = 0; i < 200; ++i) {
    router.RouteEvent(MakeEvent(i));
    clock.Advance(1);
  }
  t8.SetUp(true);
  resender();  // made before the worker starts
  std::atomic<bool> done{false};
  std::thread worker([&] {
    std::size_t answered = 0;
    while (!done) {
      if (t8.Offered() > answered) {
        ++answered;
        t8.Drain();
        resender().OnEventAck();
      }
      std::this_thread::yield();
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (store().Count(SpoolKind::T8) > 0 && std::chrono::steady_clock::now() < deadline) {
    Tick();
    std::this_thread::yield();
  }
  done = true;
  worker.join();
  EXPECT_EQ(store().Count(SpoolKind::T8), 0u);
  EXPECT_TRUE(FileNames(dir.path()).empty());
  std::set<int32_t> accounts;
  for (const auto& m : t8.Queued()) accounts.insert(EventRecord::Parse(m.payload)->Account);
  EXPECT_EQ(accounts.size(), 200u);
}

}  // namespace
}  // namespace orvelgate
