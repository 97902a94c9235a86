#include "events/event_router.h"

#include <gtest/gtest.h>

#include <array>

#include "common/wire_constants.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::Day8;
using testing::FakeT7;
using testing::FakeT8;
using testing::FileNames;
using testing::MakeEvent;
using testing::QueuedMessage;
using testing::ReadFileBytes;
using testing::ScopedCwd;
using testing::TempDir;

std::vector<uint8_t> Vec(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

class EventRouterTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
  SpoolStore store{{.spoolPrefix = ""}, clock};
};

TEST_F(EventRouterTest, WithoutTheT8WorkerNothingIsQueuedOrSpooled) {
  EventRouter router(nullptr, nullptr, store, {});
  EXPECT_EQ(router.RouteEvent(MakeEvent(1)), Routed::Dropped);
  EXPECT_EQ(router.RouteT7Event(std::array<uint8_t, kT7RecordSize>{}), Routed::Dropped);
  EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST_F(EventRouterTest, LinkUpQueuesTheRecordEvenBeforeLogin) {
  FakeT8 t8(/*up=*/true);  // connected, greetings not yet answered
  EventRouter router(&t8, nullptr, store, {});
  const EventRecord event = MakeEvent(40123);
  EXPECT_EQ(router.RouteEvent(event), Routed::Sent);
  EXPECT_EQ(t8.Queued(), (std::vector<QueuedMessage>{{kT8EventMessageType, Vec(event.Serialize())}}));
  EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST_F(EventRouterTest, LinkDownWritesOne22ByteFilePerEvent) {
  FakeT8 t8(/*up=*/false);
  EventRouter router(&t8, nullptr, store, {});
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(router.RouteEvent(MakeEvent(i)), Routed::Spooled);
    clock.Advance(1);
  }
  EXPECT_TRUE(t8.Queued().empty());
  const auto names = FileNames(dir.path());
  EXPECT_EQ(names, (std::vector<std::string>{"2DAE23B3.dd8", "2DAE23B4.dd8", "2DAE23B5.dd8"}));
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto bytes = ReadFileBytes(names[i]);
    ASSERT_EQ(bytes.size(), 22u);
    EXPECT_EQ(Vec(std::span(bytes).first(4)), (std::vector<uint8_t>{0x22, 0x00, 0x00, 0x03}));
    EXPECT_EQ(EventRecord::Parse(std::span(bytes).subspan(4)), MakeEvent(static_cast<int32_t>(i)));
  }
}

TEST_F(EventRouterTest, NotSendToDiskT8KeepsNothingForADownLink) {
  FakeT8 t8(/*up=*/false);
  EventRouter router(&t8, nullptr, store, {.DropUndeliveredT8 = true});
  EXPECT_EQ(router.RouteEvent(MakeEvent(1)), Routed::Dropped);
  EXPECT_TRUE(FileNames(dir.path()).empty());
  EXPECT_TRUE(t8.Queued().empty());
}

TEST_F(EventRouterTest, AnEventTheFullRingRefusesIsSpooled) {
  FakeT8 t8(/*up=*/true, /*capacity=*/100);
  EventRouter router(&t8, nullptr, store, {});
  for (int32_t i = 0; i < 100; ++i) ASSERT_EQ(router.RouteEvent(MakeEvent(i)), Routed::Sent);
  EXPECT_EQ(router.RouteEvent(MakeEvent(100)), Routed::Spooled);
  EXPECT_EQ(t8.Queued().size(), 100u);
  const auto bytes = ReadFileBytes("2DAE23B3.dd8");
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(EventRecord::Parse(std::span(bytes).subspan(4))->Account, 100);

  // ... unless spooling for T8 is switched off.
  EventRouter noDisk(&t8, nullptr, store, {.DropUndeliveredT8 = true});
  EXPECT_EQ(noDisk.RouteEvent(MakeEvent(101)), Routed::Dropped);
  EXPECT_EQ(FileNames(dir.path()).size(), 1u);
}

TEST_F(EventRouterTest, WhatAFileCannotBeWrittenForIsHeld) {
  testing::WriteFileText("blocker", "not a folder");
  SpoolStore blocked({.spoolPrefix = "blocker/"}, clock);
  FakeT8 t8(/*up=*/false);
  FakeT7 t7(/*connected=*/false);
  EventRouter router(&t8, &t7, blocked, {});
  // The station has been answered already: nothing may be given up.
  EXPECT_EQ(router.RouteEvent(MakeEvent(1)), Routed::Held);
  EXPECT_EQ(router.RouteStationNotice(std::array<uint8_t, kT7RecordSize>{}), Routed::Held);
  EXPECT_EQ(router.KeepT7Event(std::array<uint8_t, kT7RecordSize>{}), Routed::Held);
  EXPECT_EQ(FileNames(dir.path()), std::vector<std::string>{"blocker"});
  EXPECT_EQ(router.HeldCount(), 3u);
}

// T7 records held for a full disk: a file once the disk takes it, or the link once it
// is connected (a report whole, its unstored rest zeros).
TEST_F(EventRouterTest, HeldT7RecordsGoToTheSpoolOrTheLinkWhenTheyCan) {
  testing::WriteFileText("full", "stands where the spool folder should be");
  SpoolStore spool({.spoolPrefix = "full/"}, clock);
  FakeT7 t7(/*connected=*/false);
  EventRouter router(nullptr, &t7, spool, {.NoticeFileNumber = 5});
  std::array<uint8_t, kT7RecordSize> report{};
  report[0] = report[1] = 0xFF;
  report[38] = 0x38;
  report[100] = 0x99;  // beyond what a report file keeps
  std::array<uint8_t, kT7RecordSize> notice{};
  notice[2] = 72;
  ASSERT_EQ(router.KeepT7Event(report), Routed::Held);
  ASSERT_EQ(router.KeepStationNotice(notice), Routed::Held);

  fs::remove("full");
  fs::create_directory("full");
  ASSERT_EQ(router.KeepT7Event(report), Routed::Spooled);
  EXPECT_EQ(router.RetryHeld(), 0u);
  EXPECT_EQ(spool.Count(SpoolKind::T7), 3u);

  fs::remove_all("full");
  testing::WriteFileText("full", "full again");
  ASSERT_EQ(router.KeepT7Event(report), Routed::Held);
  t7.connected_ = true;
  EXPECT_EQ(router.RetryHeld(), 0u);
  ASSERT_EQ(t7.sent.size(), 1u);
  std::vector<uint8_t> expected(kT7RecordSize, 0);
  std::copy_n(report.begin(), kT7EventSpoolSize, expected.begin());
  EXPECT_EQ(t7.sent[0], expected);
}

// A full disk: events are held in order, kept on the next tick the disk takes them,
// or sent on the ring once the link is up, and never dropped meanwhile.
TEST_F(EventRouterTest, HeldEventsGoToTheSpoolOrTheRingWhenTheyCan) {
  testing::WriteFileText("full", "stands where the spool folder should be");
  SpoolStore spool({.spoolPrefix = "full/"}, clock);
  FakeT8 t8(/*up=*/false);
  EventRouter router(&t8, nullptr, spool, {});
  for (int32_t i = 1; i <= 3; ++i) ASSERT_EQ(router.RouteEvent(MakeEvent(i)), Routed::Held);
  EXPECT_EQ(router.RetryHeld(), 3u);  // the disk still refuses

  fs::remove("full");
  fs::create_directory("full");
  EXPECT_EQ(router.RetryHeld(), 0u);
  EXPECT_EQ(spool.Count(SpoolKind::T8), 3u);

  fs::remove_all("full");
  testing::WriteFileText("full", "full again");
  for (int32_t i = 4; i <= 5; ++i) ASSERT_EQ(router.RouteEvent(MakeEvent(i)), Routed::Held);
  t8.SetUp(true);
  EXPECT_EQ(router.RetryHeld(), 0u);
  ASSERT_EQ(t8.Queued().size(), 2u);
  EXPECT_EQ(EventRecord::Parse(t8.Queued()[0].payload)->Account, 4);
  EXPECT_EQ(EventRecord::Parse(t8.Queued()[1].payload)->Account, 5);
}

TEST_F(EventRouterTest, T7EventReportGoesOutWhileConnectedElse39ByteFile) {
  std::array<uint8_t, kT7RecordSize> report{};
  report[0] = report[1] = 0xFF;
  report[2] = 21;
  report[38] = 1;
  FakeT7 t7(/*connected=*/true);
  EventRouter router(nullptr, &t7, store, {});
  EXPECT_EQ(router.RouteT7Event(report), Routed::Sent);
  ASSERT_EQ(t7.sent.size(), 1u);
  EXPECT_EQ(t7.sent[0], Vec(report));
  EXPECT_TRUE(FileNames(dir.path()).empty());

  t7.connected_ = false;
  EXPECT_EQ(router.RouteT7Event(report), Routed::Spooled);
  EXPECT_EQ(ReadFileBytes("2DAE23B3.ddk"), Vec(std::span(report).first(kT7EventSpoolSize)));
  EXPECT_EQ(t7.sent.size(), 1u);
}

TEST_F(EventRouterTest, StationNoticeWhileT7DownIsA555ByteFileNamedWithTheNoticeNumber) {
  std::array<uint8_t, kT7RecordSize> notice{};
  notice[0] = notice[1] = 0xFF;
  notice[2] = 'H';
  notice[5] = 1;
  FakeT7 t7(/*connected=*/false);
  EventRouter unset(nullptr, &t7, store, {});  // NoticeFileNumber not set in the configuration
  EXPECT_EQ(unset.RouteStationNotice(notice), Routed::Spooled);
  EXPECT_EQ(ReadFileBytes("2DAE23B3_-1.ddk"), Vec(notice));
  EventRouter set(nullptr, &t7, store, {.NoticeFileNumber = 17});
  set.RouteStationNotice(notice);
  EXPECT_EQ(ReadFileBytes("2DAE23B3_17.ddk"), Vec(notice));
  t7.connected_ = true;
  EXPECT_EQ(set.RouteStationNotice(notice), Routed::Sent);
  EXPECT_EQ(t7.sent, std::vector<std::vector<uint8_t>>{Vec(notice)});
  EXPECT_EQ(FileNames(dir.path()).size(), 2u);
}

}  // namespace
}  // namespace orvelgate
