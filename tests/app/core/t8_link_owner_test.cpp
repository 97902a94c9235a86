// The T8 link owner against the reference monitoring server on a free loopback port,
// with a real spool folder: the worker's log and indicator reach the view, and at the
// stop the events the server never answered go to spool files.
#include "app/core/t8_link_owner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/wire_constants.h"
#include "events/event_record.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "support/child_process.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::PumpUntil;
using testing::RecordingView;
using testing::TempDir;
using testing::WriteFileText;

class T8LinkOwnerTest : public ::testing::Test {
 protected:
  T8LinkOwnerTest() {
    testing::CoreApp();
    WriteFileText(dir_ / "orvelgate.ini",
                  "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port_) + "\n");
  }
  ~T8LinkOwnerTest() override { link_.reset(); }

  void StartServer(std::vector<std::string> extra = {}) {
    ChildOptions options;
    options.args = {"--port", std::to_string(port_)};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ChildProcess>(testing::BuiltProgram("tools/t8-server/t8-server"),
                                             options);
    ASSERT_TRUE(server_->WaitReady());
  }
  void StartLink(bool dropUndelivered = false, EventAckBook* acks = nullptr) {
    T8LinkSettings settings;
    settings.ConfigFile = (dir_ / "orvelgate.ini").string();
    settings.FirstNumber = 4;
    settings.DropUndeliveredT8 = dropUndelivered;
    link_ = std::make_unique<T8LinkOwner>(view_, clock_, spool_,
                                          [] { return PortStatus{"COM3", true}; }, settings);
    if (acks) link_->UseJournal(*acks);
    link_->Start();
  }
  bool ServerLine(const std::string& prefix) {
    return PumpUntil(
        [&] {
          return server_->FindLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; })
              .has_value();
        },
        15000);
  }
  void QueueEvents(int count) {
    for (int object = 1; object <= count; ++object) {
      const EventRecord event{.Account = 40000 + object, .Group = 1, .Code = "BA",
                              .EventTime = 45000.5};
      const EventRecord::Bytes bytes = event.Serialize();
      ASSERT_TRUE(link_->Outbox().QueueNumbered(kT8EventMessageType, bytes));
    }
  }
  std::size_t SpoolFiles() {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_.path())) n += e.path().extension() == ".dd8";
    return n;
  }
  SpoolStore::Options SpoolOptions() {
    SpoolStore::Options options;
    options.spoolPrefix = dir_.path().string() + "/";
    options.errorLog = (dir_ / "error.txt").string();
    return options;
  }

  TempDir dir_;
  uint16_t port_ = testing::UnusedPort();
  FakeClock clock_{45000.25};
  SpoolStore spool_{SpoolOptions(), clock_};
  RecordingView view_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<T8LinkOwner> link_;
};

TEST_F(T8LinkOwnerTest, TheWorkersLogAndIndicatorReachTheView) {
  StartServer();
  StartLink();
  EXPECT_EQ(view_.calls.front(), "DrawT8Indicator 0 0") << "drawn once at the start";
  ASSERT_TRUE(PumpUntil([&] { return link_->LinkUp(); }));
  ASSERT_TRUE(PumpUntil([&] { return view_.CallsStartingWith("LogLine").size() == 2; }));
  EXPECT_EQ(view_.CallsStartingWith("LogLine"),
            (std::vector<std::string>{"LogLine Соединение...", "LogLine Соединение установлено."}));
  // Every step of the counter is drawn with the link's state.
  EXPECT_TRUE(PumpUntil([&] {
    const auto draws = view_.CallsStartingWith("DrawT8Indicator");
    return link_->ActivityCounter() > 0 &&
           draws.back() == "DrawT8Indicator 1 " + std::to_string(link_->ActivityCounter());
  }));
}

// The greeting tells the port the keeper reports; later notices are queued as asked.
TEST_F(T8LinkOwnerTest, PortNoticesReachTheServer) {
  StartServer();
  StartLink();
  ASSERT_TRUE(ServerLine("FRAME 1 PortNotice"));
  link_->QueuePortNotice("COM7", false);
  ASSERT_TRUE(PumpUntil(
      [&] { return server_->LinesStartingWith("FRAME 1 PortNotice").size() == 2; }, 10000));
  const auto notices = server_->LinesStartingWith("FRAME 1 PortNotice");
  EXPECT_NE(notices[0].find("payload=04434F4D33000001"), std::string::npos) << notices[0];
  EXPECT_NE(notices[1].find("payload=04434F4D37000000"), std::string::npos) << notices[1];
}

// A server that takes events without answering them, then the stop: what the worker
// wrote or still had queued is in spool files afterwards, or dropped with
// NotSendToDiskT8.
struct Unanswered {
  const char* what;
  bool dropUndelivered;
  std::size_t notKept;
  std::size_t files;
};

class T8LinkOwnerStopTest : public T8LinkOwnerTest,
                            public ::testing::WithParamInterface<Unanswered> {};

TEST_P(T8LinkOwnerStopTest, EventsTheServerNeverAnsweredAtTheStop) {
  StartServer();
  StartLink(GetParam().dropUndelivered);
  ASSERT_TRUE(PumpUntil([&] { return link_->LinkUp(); }));
  ASSERT_TRUE(ServerLine("REPLY 1 LoginAccepted"));
  server_->Write("silent on\n");
  ASSERT_TRUE(ServerLine("OK silent"));
  QueueEvents(3);
  ASSERT_TRUE(ServerLine("EVENT"));
  EXPECT_EQ(SpoolFiles(), 0u);

  const std::optional<std::size_t> notKept = link_->Stop();
  ASSERT_TRUE(notKept) << "joined within the bound";
  EXPECT_EQ(*notKept, GetParam().notKept);
  EXPECT_EQ(SpoolFiles(), GetParam().files);
  EXPECT_TRUE(link_->Stopped());
  EXPECT_FALSE(link_->LinkUp());
  EXPECT_FALSE(link_->Stop()) << "once only";
}

INSTANTIATE_TEST_SUITE_P(Spooling, T8LinkOwnerStopTest,
                         ::testing::Values(Unanswered{"Spooled", false, 0, 3},
                                           // dropped as configured, not "could not be kept"
                                           Unanswered{"Dropped", true, 0, 0}),
                         [](const ::testing::TestParamInfo<Unanswered>& info) {
                           return std::string(info.param.what);
                         });

// Notes the journal entries retired; the worker's thread retires them.
class RetiredEntries final : public JournalRetirement {
 public:
  void Retire(uint64_t journalId) override {
    std::lock_guard lock(mutex_);
    ids_.push_back(journalId);
  }
  std::vector<uint64_t> Ids() const {
    std::lock_guard lock(mutex_);
    return ids_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<uint64_t> ids_;
};

// A server that answers events with Poll answers: each event is kept in a spool file
// (or dropped with a line in the log memo, with NotSendToDiskT8) and only then is its
// journal entry retired, so the journal keeps no entry for it.
struct OtherReply {
  const char* what;
  bool dropUndelivered;
  std::size_t files;
  std::size_t lines;
};

class T8LinkOwnerOtherReplyTest : public T8LinkOwnerTest,
                                  public ::testing::WithParamInterface<OtherReply> {
 protected:
  RetiredEntries retired_;
  EventAckBook acks_{retired_};
};

TEST_P(T8LinkOwnerOtherReplyTest, EventsAnsweredWithoutEventAckAreKeptThenRetired) {
  StartServer({"--no-ack"});
  StartLink(GetParam().dropUndelivered, &acks_);
  ASSERT_TRUE(PumpUntil([&] { return link_->LinkUp(); }));
  ASSERT_TRUE(ServerLine("REPLY 1 LoginAccepted"));
  for (uint64_t entry = 101; entry <= 103; ++entry) {
    const EventRecord event{.Account = static_cast<int32_t>(entry), .Group = 1, .Code = "BA",
                            .EventTime = 45000.5};
    const EventRecord::Bytes bytes = event.Serialize();
    ASSERT_TRUE(acks_.QueueAndExpect(
        [&] { return link_->Outbox().QueueNumbered(kT8EventMessageType, bytes); }, entry,
        T8Outbox::kUnnumbered));
  }
  ASSERT_TRUE(PumpUntil([&] { return retired_.Ids().size() == 3; }, 15000));
  auto ids = retired_.Ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint64_t>{101, 102, 103}));
  EXPECT_EQ(acks_.Size(), 0u);
  EXPECT_EQ(SpoolFiles(), GetParam().files);
  const std::string dropped = std::string("LogLine ") + kT8TextEventDropped;
  EXPECT_TRUE(PumpUntil(
      [&] { return view_.CallsStartingWith(dropped).size() == GetParam().lines; }, 5000));
  EXPECT_EQ(view_.CallsStartingWith(dropped).size(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Keeping, T8LinkOwnerOtherReplyTest,
                         ::testing::Values(OtherReply{"Spooled", false, 3, 0},
                                           OtherReply{"Dropped", true, 0, 3}),
                         [](const ::testing::TestParamInfo<OtherReply>& info) {
                           return std::string(info.param.what);
                         });

// Stopped in the middle of a connection: the server sees it close, and nothing the
// worker does reaches the view any more.
TEST_F(T8LinkOwnerTest, StopEndsTheConnectionAndCutsTheViewOff) {
  StartServer({"--silent"});
  StartLink();
  ASSERT_TRUE(PumpUntil([&] { return link_->LinkUp(); }));  // now waiting for a reply
  ASSERT_TRUE(link_->Stop());
  const std::size_t callsAtStop = view_.calls.size();
  EXPECT_TRUE(ServerLine("CLOSE 1"));
  EXPECT_EQ(view_.calls.size(), callsAtStop);
  EXPECT_FALSE(link_->LinkUp());
}

// Nothing listens: the worker's first log line waits for the UI thread, which is busy
// stopping it; the stop releases it and the line never reaches the view.
TEST_F(T8LinkOwnerTest, StopWithoutAServerNeverReachesTheView) {
  StartLink();
  EXPECT_TRUE(link_->Stop());
  EXPECT_TRUE(view_.CallsStartingWith("LogLine").empty());
  EXPECT_EQ(view_.calls, std::vector<std::string>{"DrawT8Indicator 0 0"});
}

}  // namespace
}  // namespace orvelgate
