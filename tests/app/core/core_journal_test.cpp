// The core and its event journal across starts: what an earlier run left is spooled
// before the port opens, a broken tail is dropped with a journal line, and frames are
// acknowledged only while the journal can be written.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/core/driver_core.h"
#include "common/diagnostics.h"
#include "events/event_journal.h"
#include "events/journaled_event.h"
#include "framecodec/frame_codec.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "station_line.h"
#include "support/fake_clock.h"
#include "support/sample_frames.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::PumpUntil;

EventRecord Event(int32_t account) {
  EventRecord e;
  e.Account = account;
  e.Group = 1;
  e.Code = "E1";
  e.EventTime = 45000.5;
  return e;
}

class CoreJournalTest : public ::testing::Test {
 protected:
  CoreJournalTest() : cwd_(dir_.path()) { testing::CoreApp(); }

  // Entries an earlier run committed and never retired, in this order.
  void LeaveEntries(const std::vector<int32_t>& accounts) {
    auto opening = EventJournal::OpenFile(Journal().string());
    ASSERT_TRUE(opening.journal);
    for (int32_t account : accounts) {
      const auto bytes = Event(account).Serialize();
      opening.journal->Add(EncodeJournaledEvent(JournaledKind::T8Event, bytes));
    }
    ASSERT_FALSE(opening.journal->Commit().status);
  }
  fs::path Journal() const { return dir_.path() / "orvelgate.journal"; }

  void StartCore(const std::string& journalFile = kEventJournalName) {
    // SendT8 with nobody listening: routed events go to spool files.
    testing::WriteFileText(dir_ / "orvelgate.ini",
                           "[main]\nComPort=COM3\nSendT8=1\n" + line_.PortsSection() +
                               "[ServerHost]\nPort=" + std::to_string(testing::UnusedPort()) + "\n");
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.random = &random_;
    environment.t7Port = testing::UnusedPort();
    environment.journalFile = journalFile;
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->Start();
  }
  std::vector<int32_t> SpooledAccounts() const {
    std::vector<int32_t> accounts;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      if (e.path().extension() != ".dd8") continue;
      const std::string bytes = testing::ReadFileText(e.path());
      const auto record = EventRecord::Parse(
          std::span(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, EventRecord::kSize));
      if (record) accounts.push_back(record->Account);
    }
    std::sort(accounts.begin(), accounts.end());
    return accounts;
  }
  bool Logged(const std::string& part) const {
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  // An acknowledgement (any bytes) back on the station's end within `ms`.
  bool Acknowledged(int ms) {
    std::vector<uint8_t> got;
    PumpUntil([&] {
      const auto bytes = line_.Line().ReadFor(std::chrono::milliseconds(0));
      got.insert(got.end(), bytes.begin(), bytes.end());
      return !got.empty();
    }, ms);
    return !got.empty();
  }

  testing::TempDir dir_;
  testing::ScopedCwd cwd_;
  std::vector<std::string> lines_;
  ScopedDiagnosticsSink sink_{[this](Severity, std::string_view text) { lines_.emplace_back(text); }};
  FakeClock clock_{45000.25};
  ScriptedRandom random_{{12345}};
  testing::RecordingView view_;
  testing::StationLine line_{dir_.path()};
  std::unique_ptr<DriverCore> core_;
};

TEST_F(CoreJournalTest, WhatAnEarlierRunLeftIsSpooledOnceBeforeThePortOpens) {
  LeaveEntries({40001, 40002, 40003});
  testing::WriteFileText(dir_ / ".orvelgate-spool-Xy12Ab", "cut short by the crash");
  StartCore();
  EXPECT_EQ(SpooledAccounts(), (std::vector<int32_t>{40001, 40002, 40003}));
  EXPECT_FALSE(fs::exists(dir_ / ".orvelgate-spool-Xy12Ab"));
  EXPECT_TRUE(Logged("3 events recovered into spool files, 1 temporary spool files removed"));

  core_.reset();  // a second start spools nothing twice
  lines_.clear();
  StartCore();
  EXPECT_EQ(SpooledAccounts().size(), 3u);
  EXPECT_TRUE(Logged("0 events recovered"));
}

// A power cut in the middle of the last write, or a damaged byte in it.
struct Damage {
  const char* name;
  int cutBytes;    // taken off the end
  int flipFromEnd;  // a byte changed, counted from the end (0: none)
};

class CoreJournalDamageTest : public CoreJournalTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(CoreJournalDamageTest, EveryCompleteRecordIsRecoveredAndTheBrokenTailDropped) {
  LeaveEntries({40001, 40002, 40003});
  const auto size = fs::file_size(Journal());
  std::string bytes = testing::ReadFileText(Journal());
  if (GetParam().flipFromEnd > 0) bytes[size - GetParam().flipFromEnd] ^= 0x40;
  bytes.resize(size - GetParam().cutBytes);
  testing::WriteFileText(Journal(), bytes);

  StartCore();
  EXPECT_EQ(SpooledAccounts(), (std::vector<int32_t>{40001, 40002}));
  EXPECT_TRUE(Logged("a broken last record")) << GetParam().name;
  EXPECT_TRUE(Logged("2 events recovered"));
  // And it goes on: a frame is journaled and acknowledged.
  ASSERT_TRUE(line_.Send(EncodeGbFrame(testing::SampleGbFields(), 0x5A)));
  EXPECT_TRUE(Acknowledged(5000));
}

INSTANTIATE_TEST_SUITE_P(Tails, CoreJournalDamageTest,
                         ::testing::Values(Damage{"torn_in_the_checksum", 2, 0},
                                           Damage{"torn_in_the_payload", 12, 0},
                                           Damage{"torn_in_the_header", 30, 0},
                                           Damage{"flipped_payload_byte", 0, 8},
                                           Damage{"flipped_checksum_byte", 0, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CoreJournalTest, NoAcknowledgementWhileTheJournalCannotBeWrittenAndThenAgain) {
  // A journal that cannot be opened: its folder is not there (a folder under its own name
  // would be set aside and a fresh journal made).
  StartCore("absent/orvelgate.journal");
  EXPECT_TRUE(Logged("event journal absent/orvelgate.journal"));
  const GbFrame frame = EncodeGbFrame(testing::SampleGbFields(), 0x5A);
  ASSERT_TRUE(line_.Send(frame));
  EXPECT_FALSE(Acknowledged(300));
  EXPECT_TRUE(SpooledAccounts().empty());
  EXPECT_TRUE(Logged("frames are not acknowledged until it can be written"));

  fs::create_directory(dir_.path() / "absent");
  ASSERT_TRUE(PumpUntil([&] { return Logged("written again"); }));  // the next tick opens it
  ASSERT_TRUE(line_.Send(frame));  // the station sends it again
  EXPECT_TRUE(Acknowledged(5000));
  ASSERT_TRUE(PumpUntil([&] { return SpooledAccounts().size() == 1; }));
}

// What the service manager and the metrics are told: the port, the links as configured,
// what waits in spool files and in the journal, and when the last event came.
TEST_F(CoreJournalTest, StatusTellsThePortTheBacklogAndTheLastEvent) {
  LeaveEntries({40001});
  StartCore();
  DriverStatus status = core_->Status();
  EXPECT_EQ(status.portName, "COM3");
  EXPECT_TRUE(status.portOpen);
  EXPECT_TRUE(status.t8Used);
  EXPECT_FALSE(status.t8Up) << "nobody listens";
  EXPECT_FALSE(status.t7Used);
  EXPECT_EQ(status.t8Spool.Files, 1u) << "the event an earlier run left";
  EXPECT_GT(status.t8Spool.OldestModifiedNs, 0);
  EXPECT_EQ(status.t7Spool.Files, 0u);
  EXPECT_FALSE(status.lastEvent.has_value());
  EXPECT_GT(status.takenNs, 0);

  clock_.Advance(60000);
  ASSERT_TRUE(line_.Send(EncodeGbFrame(testing::SampleGbFields(), 0x5A)));
  ASSERT_TRUE(Acknowledged(5000));
  ASSERT_TRUE(PumpUntil([&] { return core_->Status().t8Spool.Files == 2; }));
  status = core_->Status();
  ASSERT_TRUE(status.lastEvent.has_value());
  EXPECT_EQ(*status.lastEvent, clock_.LocalNow());
  EXPECT_EQ(status.journalLive, 0u) << "a spool file keeps an event: its entry is retired";
}

}  // namespace
}  // namespace orvelgate
