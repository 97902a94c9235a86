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
#include "events/event_ack_book.h"
#include "events/event_router.h"
#include "events/journal_fakes.h"
#include "events/journaled_event.h"
#include "events/link_fakes.h"
#include "events/spool_store.h"
#include "common/wire_constants.h"
#include "framecodec/frame_codec.h"
#include "station/packet_handler.h"
#include "station/serial_device.h"
#include "station/serial_port.h"
#include "station/serial_settings.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::CoreApp;
using testing::FakeDisk;
using testing::FakeT7;
using testing::NumberedT8;
using testing::FakeJournalStorage;
using testing::PumpUntil;

// The sample GB frame's fields with an object of its own, so each event has its account.
GbFields Gb(int object) {
  GbFields f = testing::SampleGbFields();
  f.object = static_cast<uint16_t>(object);
  return f;
}

// The station line the acknowledgements are written to: every write is noted in the
// disk's own log, so the log shows the order of syncs and acknowledgements as they
// happened. Nothing arrives on it.
class NotingLine final : public SerialDevice {
 public:
  NotingLine(std::shared_ptr<FakeDisk> disk, std::vector<std::vector<uint8_t>>& acks)
      : disk_(std::move(disk)), acks_(acks) {}
  bool Configure(const LineSettings&) override { return true; }
  std::optional<uint32_t> BytesWaiting() override { return 0; }
  long Read(uint8_t*, std::size_t) override { return 0; }
  long Write(const uint8_t* data, std::size_t size) override {
    disk_->Note("ack " + std::to_string(size));
    acks_.emplace_back(data, data + size);
    return static_cast<long>(size);
  }
  void WaitWritable(int) override {}
  uint32_t OutputQueued() override { return 0; }
  bool Purge(bool, bool) override { return true; }
  bool SetDtr(bool) override { return true; }
  uint8_t ModemLines() override { return kModemCts | kModemDsr; }
  void Close() override {}

 private:
  std::shared_ptr<FakeDisk> disk_;
  std::vector<std::vector<uint8_t>>& acks_;
};

// A T8 link that numbers its messages and notes each event it takes in the disk's log.
class NotingT8 final : public NumberedT8 {
 public:
  explicit NotingT8(std::shared_ptr<FakeDisk> disk) : disk_(std::move(disk)) {}
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    disk_->Note("route " + std::to_string(EventRecord::Parse(payload)->Account));
    return NumberedT8::QueueNumbered(type, payload);
  }

 private:
  std::shared_ptr<FakeDisk> disk_;
};

// Times the waits with a clock the test sets, and notes what the stage tells.
class RecordingWatch final : public JournaledFramesWatch {
 public:
  void JournalFailing(const Failure& failure) override { failures.push_back(failure.Describe()); }
  void JournalWorksAgain() override { ++recoveries; }
  void AcknowledgementWritten(std::chrono::nanoseconds waited) override {
    ackWaits.push_back(waited);
  }
  std::chrono::nanoseconds MonotonicNow() const override { return now; }

  std::vector<std::string> failures;
  int recoveries = 0;
  std::chrono::nanoseconds now{0};  // the monotonic time the frames read
  std::vector<std::chrono::nanoseconds> ackWaits;
};

// A real packet handler in front of the journaled frames, over a journal on a recording
// disk, writing to a serial port whose device notes the acknowledgements, and routing
// through a real event router to recording links.
class JournaledFramesTest : public ::testing::Test {
 protected:
  JournaledFramesTest() {
    CoreApp();
    LoadDesignValues(line_);
    ApplyStartupSettings(line_, StartupSettings("COM3", "2400"));
    EXPECT_TRUE(line_.OpenPort());
    handler_.SetSettings({.FirstNumber = 4, .SendT8 = true, .SendT7 = true});
  }

  SerialPortEnvironment LineEnvironment() {
    SerialPortEnvironment env;
    env.clock = &clock_;
    env.resolvePort = [](const std::string&) { return std::optional<std::string>("noting"); };
    env.openDevice = [this](const std::string&) -> std::unique_ptr<SerialDevice> {
      return std::make_unique<NotingLine>(disk_, acks_);
    };
    return env;
  }

  std::unique_ptr<JournaledFrames> MakeFrames(bool journalOpens = true) {
    opens_ = journalOpens;
    auto frames = std::make_unique<JournaledFrames>(
        [this]() -> std::unique_ptr<EventJournal> {
          if (!opens_) return nullptr;
          return std::move(EventJournal::Open(std::make_unique<FakeJournalStorage>(disk_)).journal);
        },
        line_, router_, watch_);
    acks_book_ = std::make_unique<EventAckBook>(*frames);
    router_.UseJournal(*frames, *acks_book_);
    return frames;
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

  // The T8 events routed so far.
  std::size_t Routed() const { return t8_.sequences.size(); }
  // The journal entry each routed T8 event carries, in the order they were queued (as
  // their EventAcks will find them); read once.
  std::vector<uint64_t> RoutedIds() {
    std::vector<uint64_t> ids;
    for (const uint64_t sequence : t8_.sequences) ids.push_back(acks_book_->Answered(sequence).value_or(0));
    return ids;
  }

  ::orvelgate::testing::TempDir dir_;
  std::shared_ptr<FakeDisk> disk_ = std::make_shared<FakeDisk>();
  bool opens_ = true;
  FakeClock clock_;
  ScriptedRandom random_;
  std::vector<std::vector<uint8_t>> acks_;
  SerialPort line_{LineEnvironment()};
  NotingT8 t8_{disk_};
  FakeT7 t7_{true};
  SpoolStore spool_{{.spoolPrefix = (dir_.path() / "").string()}, clock_};
  EventRouter router_{&t8_, &t7_, spool_, RoutingSettings{}};
  RecordingWatch watch_;
  std::vector<std::string>& failures_ = watch_.failures;
  int& recoveries_ = watch_.recoveries;
  std::chrono::nanoseconds& now_ = watch_.now;
  std::vector<std::chrono::nanoseconds>& ackWaits_ = watch_.ackWaits;
  std::unique_ptr<EventAckBook> acks_book_;
  std::unique_ptr<JournaledFrames> frames_ = MakeFrames();
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
  const auto routed = RoutedIds();
  ASSERT_EQ(routed.size(), 1u);
  EXPECT_NE(routed[0], 0u);
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, routed[0]);
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
  EXPECT_EQ(Routed(), 0u);
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_NE(failures_[0].find("No space left on device"), std::string::npos);

  Receive(EncodeGbFrame(Gb(5), 0x05));  // the station sends it again
  ASSERT_TRUE(PumpUntil([&] { return acks_.size() == 1; }));
  EXPECT_EQ(Routed(), 1u);
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
  ASSERT_TRUE(PumpUntil([&] { return Routed() == 1 && t7_.sent.size() == 1; }));
  EXPECT_TRUE(acks_.empty());
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(DecodeJournaledEvent(entries[0].payload)->Kind, JournaledKind::T8Event);
  EXPECT_EQ(DecodeJournaledEvent(entries[1].payload)->Kind, JournaledKind::T7EventReport);
  EXPECT_EQ(RoutedIds(), std::vector<uint64_t>{entries[0].id});
  // The report the T7 link got is the one journaled (its first kT7EventSpoolSize bytes).
  ASSERT_EQ(t7_.sent[0].size(), kT7RecordSize);
  EXPECT_EQ(DecodeJournaledEvent(entries[1].payload)->Bytes,
            std::vector<uint8_t>(t7_.sent[0].begin(), t7_.sent[0].begin() + kT7EventSpoolSize));
}

TEST_F(JournaledFramesTest, TheRouterRetiresAReportTheT7LinkTookAndKeepsAnEventTheT8LinkHas) {
  Receive(EncodeAsciiFrame('1', "0123", "E1"));
  ASSERT_TRUE(PumpUntil([&] { return Routed() == 1 && t7_.sent.size() == 1; }));
  frames_->Tick();  // writes the report's retirement
  ASSERT_TRUE(PumpUntil([&] { return frames_->LiveEntries() == 1; }));
  frames_->Stop();
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 1u) << "the T8 event waits for its EventAck";
  EXPECT_EQ(DecodeJournaledEvent(entries[0].payload)->Kind, JournaledKind::T8Event);
}

TEST_F(JournaledFramesTest, RetiredEntriesAreGoneAfterTheTick) {
  Receive(EncodeGbFrame(Gb(7), 0x07));
  Receive(EncodeGbFrame(Gb(8), 0x08));
  ASSERT_TRUE(PumpUntil([&] { return Routed() == 2; }));
  const auto routed = RoutedIds();
  frames_->Retire(routed[0]);
  frames_->Tick();
  ASSERT_TRUE(PumpUntil([&] { return frames_->LiveEntries() == 1; }));
  frames_->Stop();
  const auto entries = EntriesOnDisk();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, routed[1]);
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
