#include "app/core/journaled_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/qt_core_app.h"
#include "support/fake_clock.h"
#include "support/sample_frames.h"
#include "support/scripted_random.h"
#include "events/journal_fakes.h"
#include "events/journaled_event.h"
#include "framecodec/frame_codec.h"
#include "station/packet_handler.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::CoreApp;
using testing::FakeDisk;
using testing::FakeJournalStorage;
using testing::PumpUntil;

// The sample GB frame's fields with an object of its own, so each event has its account.
GbFields Gb(int object) {
  GbFields f = testing::SampleGbFields();
  f.object = static_cast<uint16_t>(object);
  return f;
}

// A real packet handler in front of the journaled frames, over a journal on a recording
// disk. Every acknowledgement written to the "line" is noted in the disk's own log, so
// the log shows the order of syncs and acknowledgements as they happened.
class JournaledFramesTest : public ::testing::Test {
 protected:
  JournaledFramesTest() {
    CoreApp();
    handler_.SetSettings({.FirstNumber = 4, .SendT8 = true, .SendT7 = true});
  }

  std::unique_ptr<JournaledFrames> MakeFrames(bool journalOpens = true) {
    JournaledFrames::Targets targets;
    targets.sendAck = [this](std::span<const uint8_t> bytes) {
      disk_->Note("ack " + std::to_string(bytes.size()));
      acks_.emplace_back(bytes.begin(), bytes.end());
    };
    targets.routeEvent = [this](const EventRecord& event, uint64_t id) {
      disk_->Note("route " + std::to_string(event.Account));
      routed_.push_back(id);
    };
    targets.sendT7EventReport = [this](const T7EventReportRequest&, uint64_t id) {
      reports_.push_back(id);
    };
    targets.drawStationIndicator = [] {};
    targets.reportProblem = [](PacketProblem) {};
    targets.t7SpoolBytes = [](const T7EventReportRequest&) { return std::vector<uint8_t>(39, 7); };
    targets.journalFailing = [this](const JournalStatus& status) { failures_.push_back(status.text); };
    targets.journalWorksAgain = [this] { ++recoveries_; };
    targets.monotonicNow = [this] { return now_; };
    targets.ackWritten = [this](std::chrono::nanoseconds waited) { ackWaits_.push_back(waited); };
    opens_ = journalOpens;
    return std::make_unique<JournaledFrames>(
        [this]() -> std::unique_ptr<EventJournal> {
          if (!opens_) return nullptr;
          return std::move(EventJournal::Open(std::make_unique<FakeJournalStorage>(disk_)).journal);
        },
        std::move(targets));
  }

  template <typename Frame>
  void Receive(const Frame& frame) {
    handler_.HandlePacket(frame.data(), static_cast<uint32_t>(frame.size()));
  }

  std::vector<JournalEntry> EntriesOnDisk() {
    disk_->Crash();  // only what was synced
    auto opening = EventJournal::Open(std::make_unique<FakeJournalStorage>(disk_));
    return opening.recovery.entries;
  }

  ::orvelgate::testing::TempDir dir_;
  std::shared_ptr<FakeDisk> disk_ = std::make_shared<FakeDisk>();
  bool opens_ = true;
  std::vector<std::vector<uint8_t>> acks_;
  std::vector<uint64_t> routed_;
  std::vector<uint64_t> reports_;
  std::vector<std::string> failures_;
  int recoveries_ = 0;
  std::chrono::nanoseconds now_{0};  // the monotonic time the frames read
  std::vector<std::chrono::nanoseconds> ackWaits_;
  std::unique_ptr<JournaledFrames> frames_ = MakeFrames();
  FakeClock clock_;
  ScriptedRandom random_;
  PacketHandler handler_{*frames_, clock_, random_, (dir_ / "orvelgate.log").string()};
};

TEST_F(JournaledFramesTest, NoAcknowledgementReachesTheLineBeforeTheSyncOfItsEvent) {
  disk_->HoldSyncs(true);
  Receive(EncodeGbFrame(Gb(42), 0x5A));
  ASSERT_TRUE(disk_->WaitForSyncsStarted(1));
  PumpUntil([] { return false; }, 50);  // the loop runs on while the disk is held
  EXPECT_TRUE(acks_.empty());
  EXPECT_EQ(frames_->FramesWaiting(), 1u);

  disk_->HoldSyncs(false);
  ASSERT_TRUE(PumpUntil([&] { return acks_.size() == 1; }));
  const auto log = disk_->Log();
  const auto sync = std::find(log.begin(), log.end(), "sync");
  const auto ack = std::find(log.begin(), log.end(), "ack " + std::to_string(sizeof(GbAck)));
  ASSERT_NE(sync, log.end());
  ASSERT_NE(ack, log.end());
  EXPECT_LT(sync - log.begin(), ack - log.begin());
  // The event went out after its acknowledgement, carrying its journal entry.
  ASSERT_EQ(routed_.size(), 1u);
  EXPECT_NE(routed_[0], 0u);
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, routed_[0]);
  const auto event = DecodeJournaledEvent(entries[0].payload);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->Kind, JournaledKind::T8Event);
  EXPECT_EQ(EventRecord::Parse(event->Bytes)->Account, 40042);
}

TEST_F(JournaledFramesTest, FramesHandledDuringACommitShareTheNextSyncAndKeepTheirOrder) {
  disk_->HoldSyncs(true);
  Receive(EncodeGbFrame(Gb(1), 0x01));
  ASSERT_TRUE(disk_->WaitForSyncsStarted(1));
  Receive(EncodeGbFrame(Gb(2), 0x02));
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, true));  // no event: no entry, but it waits its turn
  Receive(EncodeGbFrame(Gb(3), 0x03));
  disk_->HoldSyncs(false);
  ASSERT_TRUE(PumpUntil([&] { return acks_.size() == 4; }));
  EXPECT_EQ(disk_->Count("sync"), 2u);
  EXPECT_EQ(acks_[2].size(), sizeof(CnAck));
  const auto log = disk_->Log();
  std::vector<std::string> routes;
  std::copy_if(log.begin(), log.end(), std::back_inserter(routes),
               [](const std::string& line) { return line.starts_with("route"); });
  EXPECT_EQ(routes, (std::vector<std::string>{"route 40001", "route 40002", "route 40003"}));
}

TEST_F(JournaledFramesTest, AFailedCommitAcknowledgesNothingAndTheNextFrameIsAcknowledgedAgain) {
  disk_->FailNext("sync", ENOSPC);
  Receive(EncodeGbFrame(Gb(5), 0x05));
  ASSERT_TRUE(PumpUntil([&] { return frames_->FramesWaiting() == 0; }));
  EXPECT_TRUE(acks_.empty());
  EXPECT_TRUE(routed_.empty());
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("No space left on device"), std::string::npos);

  Receive(EncodeGbFrame(Gb(5), 0x05));  // the station sends it again
  ASSERT_TRUE(PumpUntil([&] { return acks_.size() == 1; }));
  EXPECT_EQ(routed_.size(), 1u);
  EXPECT_EQ(recoveries_, 1);
  EXPECT_EQ(failures_.size(), 1u);  // said once
  EXPECT_EQ(EntriesOnDisk().size(), 1u);
}

TEST_F(JournaledFramesTest, EachAcknowledgementIsTimedFromItsRequestToTheLine) {
  using std::chrono::milliseconds;
  disk_->HoldSyncs(true);
  now_ = milliseconds(1);
  Receive(EncodeGbFrame(Gb(1), 0x01));
  ASSERT_TRUE(disk_->WaitForSyncsStarted(1));
  now_ = milliseconds(3);
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, true));  // no event, waits its turn
  Receive(EncodeAsciiFrame('1', "0123", "01"));                    // never acknowledged
  now_ = milliseconds(10);
  disk_->HoldSyncs(false);
  ASSERT_TRUE(PumpUntil([&] { return frames_->FramesWaiting() == 0; }));
  EXPECT_EQ(acks_.size(), 2u);
  EXPECT_EQ(ackWaits_, (std::vector<std::chrono::nanoseconds>{milliseconds(9), milliseconds(7)}));

  // A frame whose commit failed writes no acknowledgement, so it is not timed either.
  disk_->FailNext("sync", EIO);
  Receive(EncodeGbFrame(Gb(2), 0x02));
  ASSERT_TRUE(PumpUntil([&] { return frames_->FramesWaiting() == 0; }));
  EXPECT_EQ(ackWaits_.size(), 2u);
}

// What the watchdog watches: a frame held by a sync that does not return.
TEST_F(JournaledFramesTest, TheOldestFrameWaitGrowsWhileItsSyncHangsAndEndsWithIt) {
  using std::chrono::milliseconds;
  EXPECT_EQ(frames_->OldestFrameWait(), milliseconds(0)) << "nothing waits";
  disk_->HoldSyncs(true);
  now_ = milliseconds(1000);
  Receive(EncodeGbFrame(Gb(1), 0x01));
  ASSERT_TRUE(disk_->WaitForSyncsStarted(1));
  now_ = milliseconds(2000);
  Receive(EncodeGbFrame(Gb(2), 0x02));  // a younger one behind it
  now_ = milliseconds(31000);
  EXPECT_EQ(frames_->OldestFrameWait(), milliseconds(30000)) << "the oldest one counts";
  disk_->HoldSyncs(false);
  ASSERT_TRUE(PumpUntil([&] { return frames_->FramesWaiting() == 0; }));
  EXPECT_EQ(frames_->OldestFrameWait(), milliseconds(0));
}

TEST_F(JournaledFramesTest, AsciiFramesAreJournaledForBothLinksAndRoutedWithoutAcknowledgement) {
  Receive(EncodeAsciiFrame('1', "0123", "E1"));
  ASSERT_TRUE(PumpUntil([&] { return !routed_.empty() && !reports_.empty(); }));
  EXPECT_TRUE(acks_.empty());
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(DecodeJournaledEvent(entries[0].payload)->Kind, JournaledKind::T8Event);
  EXPECT_EQ(DecodeJournaledEvent(entries[1].payload)->Kind, JournaledKind::T7EventReport);
  EXPECT_EQ(routed_[0], entries[0].id);
  EXPECT_EQ(reports_[0], entries[1].id);
}

TEST_F(JournaledFramesTest, RetiredEntriesAreGoneAfterTheTick) {
  Receive(EncodeGbFrame(Gb(7), 0x07));
  Receive(EncodeGbFrame(Gb(8), 0x08));
  ASSERT_TRUE(PumpUntil([&] { return routed_.size() == 2; }));
  frames_->Retire(routed_[0]);
  frames_->Tick();
  ASSERT_TRUE(PumpUntil([&] { return frames_->LiveEntries() == 1; }));
  frames_->Stop();
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, routed_[1]);
}

TEST_F(JournaledFramesTest, WithoutAJournalNothingIsAcknowledgedUntilItOpens) {
  frames_.reset();
  frames_ = MakeFrames(false);
  PacketHandler handler(*frames_, clock_, random_, (dir_ / "other.log").string());
  const GbFrame frame = EncodeGbFrame(Gb(9), 0x09);
  handler.HandlePacket(frame.data(), static_cast<uint32_t>(frame.size()));
  PumpUntil([] { return false; }, 20);
  EXPECT_TRUE(acks_.empty());
  EXPECT_EQ(failures_.size(), 1u);

  opens_ = true;
  frames_->Tick();
  EXPECT_TRUE(frames_->JournalOpen());
  EXPECT_EQ(recoveries_, 1);
  handler.HandlePacket(frame.data(), static_cast<uint32_t>(frame.size()));
  ASSERT_TRUE(PumpUntil([&] { return acks_.size() == 1; }));
}

}  // namespace
}  // namespace orvelgate
