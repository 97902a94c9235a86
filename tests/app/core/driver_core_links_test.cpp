// The core with both server links against the reference servers on free loopback
// ports: events delivered, spooled while a server is away and delivered from the spool
// once it is back, and the T8 worker ended in order.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/core/driver_core.h"
#include "common/hex_text.h"
#include "app/qt_core_app.h"
#include "app/recording_view.h"
#include "events/event_record.h"
#include "framecodec/frame_codec.h"
#include "station_line.h"
#include "support/child_process.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::PumpUntil;
using testing::RecordingView;
using testing::ScopedCwd;
using testing::StationLine;
using testing::TempDir;
using testing::WriteFileText;

const std::string kAsciiFrame = "10123xxxx01yy";

class CoreLinksTest : public ::testing::Test {
 protected:
  CoreLinksTest() : cwd_(dir_.path()) { testing::CoreApp(); }
  ~CoreLinksTest() override { core_.reset(); }

  std::unique_ptr<ChildProcess> StartServer(const std::string& tool, uint16_t port,
                                            std::vector<std::string> extra = {}) {
    ChildOptions options;
    options.args = {"--port", std::to_string(port)};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    auto server = std::make_unique<ChildProcess>(testing::BuiltProgram(tool), options);
    if (!server->WaitReady()) throw std::runtime_error(tool + " did not start");
    return server;
  }
  void MakeCore(const std::string& main) {
    WriteFileText(dir_ / "orvelgate.ini", "[main]\nComPort=" + comPort_ + "\n" + main +
                                              "\n[ServerHost]\nPort=" +
                                              std::to_string(t8ServerPort_) + "\n" +
                                              line_.PortsSection() + extraPorts_);
    CoreEnvironment environment;
    environment.clock = &clock_;
    environment.t7Port = t7ServerPort_;
    core_ = std::make_unique<DriverCore>(view_, environment);
    core_->Start();
  }
  // Pumps the event loop until `server` prints a line starting with `prefix`.
  std::optional<std::string> Line(ChildProcess& server, const std::string& prefix,
                                  std::size_t from = 0, int timeoutMs = 10000) {
    std::optional<std::string> line;
    PumpUntil(
        [&] {
          line = server.FindLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; },
                                 from);
          return line.has_value();
        },
        timeoutMs);
    return line;
  }
  void Packet(std::span<const uint8_t> bytes) { ASSERT_TRUE(line_.Send(bytes)); }
  void Packet(const std::string& bytes) { ASSERT_TRUE(line_.Send(bytes)); }
  // What the T8 indicator shows now: the last drawing.
  std::string T8Shown() const {
    const auto draws = view_.CallsStartingWith("DrawT8Indicator ");
    return draws.empty() ? std::string() : draws.back();
  }
  bool T8ShownUp() const { return T8Shown().rfind("DrawT8Indicator 1 ", 0) == 0; }
  GbFrame Gb(uint16_t object) {
    GbFields fields;
    fields.object = object;
    fields.group = 2;
    fields.code = "BA";
    fields.time = {.year = 2024, .month = 5, .day = 6, .hour = 7, .minute = 8, .second = 9};
    return EncodeGbFrame(fields, 0x21);
  }
  // A port configured other than as COMn runs, and both servers are told it as COM0 (no
  // COM port has that number) on every connection: no cut path, no message to the
  // operator.
  void ExpectPortToldAsComZero(const std::string& comPort, const std::string& portsLine) {
    auto t8 = StartServer("tools/t8-server/t8-server", t8ServerPort_);
    auto t7 = StartServer("tools/t7-server/t7-server", t7ServerPort_);
    comPort_ = comPort;
    extraPorts_ = portsLine;
    MakeCore("SendT8=1\nSendT7=1\nhost=127.0.0.1");
    EXPECT_TRUE(core_->PortKeeper().IsOpen());
    // A counted string of six characters, "COM0", then the port open.
    const auto notice = Line(*t8, "FRAME 1 PortNotice");
    ASSERT_TRUE(notice);
    EXPECT_NE(notice->find("payload=04434F4D30000001"), std::string::npos) << *notice;
    EXPECT_EQ(Line(*t7, "RECORD 2 "), "RECORD 2 port-notice port=0");
    ASSERT_TRUE(t7->Write("hangup\n"));
    ASSERT_TRUE(PumpUntil([&] { return !core_->T7()->Connected(); }));
    core_->T7RetryTick();  // the next connection says the same
    ASSERT_TRUE(PumpUntil([&] { return t7->LinesStartingWith("RECORD 2 ").size() == 2; }));
    EXPECT_EQ(t7->LinesStartingWith("RECORD 2 ").back(), "RECORD 2 port-notice port=0");
    EXPECT_TRUE(view_.CallsStartingWith("ShowError").empty());
  }
  std::size_t Files(const std::string& extension) {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir_.path())) n += e.path().extension() == extension;
    return n;
  }

  TempDir dir_;
  ScopedCwd cwd_;
  FakeClock clock_{45000.25};
  RecordingView view_;
  StationLine line_{dir_.path()};
  std::string comPort_ = "COM3";  // [ports] maps COM3 to the station's line
  std::string extraPorts_;        // more lines of [ports]
  uint16_t t8ServerPort_ = testing::UnusedPort();
  uint16_t t7ServerPort_ = testing::UnusedPort();
  std::unique_ptr<DriverCore> core_;
};

TEST_F(CoreLinksTest, EventsOfEveryKindReachTheT8ServerAsTheirRecords) {
  auto t8 = StartServer("tools/t8-server/t8-server", t8ServerPort_);
  MakeCore("SendT8=1\nSendT7=0");
  ASSERT_TRUE(PumpUntil([&] { return T8ShownUp(); }));
  // LinkUp comes first, the worker's line right after it.
  ASSERT_TRUE(PumpUntil([&] { return view_.CallsStartingWith("LogLine").size() == 2; }));
  EXPECT_EQ(view_.CallsStartingWith("LogLine"),
            (std::vector<std::string>{"LogLine Соединение...", "LogLine Соединение установлено."}));
  // The greetings tell the server the configured port and that it is not open.
  ASSERT_TRUE(Line(*t8, "FRAME 1 PortNotice"));

  // The GB event carries the frame's time, the ASCII event the time it came.
  Packet(Gb(42));
  const EventRecord gbEvent{.Account = 40042, .Group = 2, .Code = "BA",
                            .EventTime = *EncodeDateTime({.year = 2024, .month = 5, .day = 6,
                                                          .hour = 7, .minute = 8, .second = 9})};
  const std::string gbRecord = Hex(gbEvent.Serialize());
  Packet(kAsciiFrame);
  const EventRecord asciiEvent{.Account = 40123, .Group = 1, .Code = "01",
                               .EventTime = clock_.LocalNow()};
  const std::string asciiRecord = Hex(asciiEvent.Serialize());
  const auto first = Line(*t8, "EVENT 1 ");
  ASSERT_TRUE(first);
  EXPECT_NE(first->find("record=" + gbRecord + " account=40042 group=2 code=BA"),
            std::string::npos)
      << *first;
  ASSERT_TRUE(PumpUntil([&] { return t8->LinesStartingWith("EVENT").size() == 2; }));
  EXPECT_NE(t8->LinesStartingWith("EVENT")[1].find("record=" + asciiRecord + " account=40123"),
            std::string::npos);
  EXPECT_EQ(Files(".dd8"), 0u);
  EXPECT_NE(T8Shown(), "DrawT8Indicator 1 0") << "the worker steps the counter";
}

TEST_F(CoreLinksTest, T8OutageGoesToSpoolFilesDeliveredOnceTheServerIsBack) {
  MakeCore("SendT8=1\nSendT7=0");
  ASSERT_TRUE(PumpUntil([&] { return !view_.CallsStartingWith("LogLine").empty(); }));
  for (uint16_t object = 1; object <= 5; ++object) {
    Packet(Gb(object));
    ASSERT_TRUE(PumpUntil([&] { return Files(".dd8") == object; }));  // once journaled
    clock_.Advance(1);  // each file is named from the time it is written
  }

  auto t8 = StartServer("tools/t8-server/t8-server", t8ServerPort_);
  clock_.Advance(5001);  // the next connection attempt is due
  ASSERT_TRUE(PumpUntil([&] { return T8ShownUp(); }));
  // One file per 3 s at most, the next one at once after each acknowledgement.
  ASSERT_TRUE(PumpUntil([&] { return Files(".dd8") == 0; }, 20000));
  ASSERT_TRUE(PumpUntil([&] { return t8->LinesStartingWith("EVENT").size() == 5; }));
  for (uint16_t object = 1; object <= 5; ++object) {
    const std::string account = " account=" + std::to_string(40000 + object) + " ";
    EXPECT_TRUE(t8->FindLine([&](const std::string& l) {
      return l.rfind("EVENT", 0) == 0 && l.find(account) != std::string::npos;
    })) << account;
  }
}

// A server that takes events without answering them, then the end of the program:
// the events the worker wrote or still had queued are in spool files afterwards.
TEST_F(CoreLinksTest, EventsTheServerNeverAnsweredAreSpooledAtTheEnd) {
  auto t8 = StartServer("tools/t8-server/t8-server", t8ServerPort_);
  MakeCore("SendT8=1\nSendT7=0");
  ASSERT_TRUE(PumpUntil([&] { return T8ShownUp(); }));
  ASSERT_TRUE(Line(*t8, "REPLY 1 LoginAccepted"));
  t8->Write("silent on\n");
  ASSERT_TRUE(Line(*t8, "OK silent"));
  for (uint16_t object = 1; object <= 3; ++object) Packet(Gb(object));
  // Each unanswered message costs the worker a read time-out.
  ASSERT_TRUE(PumpUntil([&] { return !t8->LinesStartingWith("EVENT").empty(); }, 15000));
  EXPECT_EQ(Files(".dd8"), 0u);

  core_->Shutdown();
  EXPECT_EQ(Files(".dd8"), 3u);
}

TEST_F(CoreLinksTest, NotSendToDiskT8DropsWhatTheLinkCannotTake) {
  MakeCore("SendT8=1\nSendT7=0\nNotSendToDiskT8=1");
  Packet(Gb(7));
  EXPECT_EQ(Files(".dd8"), 0u);
}

TEST_F(CoreLinksTest, WithoutSendT8ThereIsNoWorkerAndNoT8Spool) {
  WriteFileText(dir_ / "4C0FFEE.dd8", std::string("\x22\x00\x00\x03", 4) + std::string(18, 'x'));
  MakeCore("SendT8=0\nSendT7=0");
  Packet(Gb(7));
  for (int i = 0; i < 5; ++i) core_->SpoolTick();
  EXPECT_EQ(Files(".dd8"), 1u) << "no event spooled, none re-sent";
  EXPECT_TRUE(view_.CallsStartingWith("DrawT8Indicator").empty());
}

TEST_F(CoreLinksTest, T7OutageGoesToSpoolFilesDeliveredOnceTheServerIsBack) {
  MakeCore("SendT8=0\nSendT7=1\nhost=127.0.0.1\nn_abs=5");
  core_->SpoolTick();  // the station is heard: a notice, spooled (nobody listens)
  Packet(kAsciiFrame);   // an event report, spooled once the journal has it
  EXPECT_TRUE(PumpUntil([&] { return Files(".ddk") == 2u; }));
  EXPECT_TRUE(fs::exists(dir_ / "orvelgate.ini"));

  // The first attempt, refused, is over before the next tick tries again.
  ASSERT_TRUE(PumpUntil([&] { return !core_->T7()->Client().Active(); }));
  auto t7 = StartServer("tools/t7-server/t7-server", t7ServerPort_);
  core_->T7RetryTick();
  ASSERT_TRUE(PumpUntil([&] { return core_->T7()->Connected(); }));
  ASSERT_TRUE(PumpUntil([&] { return Files(".ddk") == 0; }));  // one file per 200 ms tick
  ASSERT_TRUE(Line(*t7, "RECORD 4 "));
  const auto records = t7->LinesStartingWith("RECORD");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[2], "RECORD 3 station-heard value=1");
  EXPECT_EQ(records[3].rfind("RECORD 4 event-report account=40123 code=01 group=1 ", 0), 0u)
      << records[3];
}

TEST_F(CoreLinksTest, ShutdownReleasesAWorkerWaitingForTheUiThread) {
  MakeCore("SendT8=1\nSendT7=0");  // nothing listens: the worker logs its attempt at once
  // The UI thread handles no events, so the worker's first LogLine waits for it.
  std::this_thread::sleep_for(200ms);
  const auto start = std::chrono::steady_clock::now();
  core_->Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(view_.CallsStartingWith("LogLine").empty()) << "nothing reaches the window";
}

TEST_F(CoreLinksTest, ShutdownStopsAWorkerInTheMiddleOfAConnection) {
  auto t8 = StartServer("tools/t8-server/t8-server", t8ServerPort_, {"--silent"});
  MakeCore("SendT8=1\nSendT7=0");
  ASSERT_TRUE(PumpUntil([&] { return T8ShownUp(); }));  // now waiting for a reply
  const auto start = std::chrono::steady_clock::now();
  core_->Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(Line(*t8, "CLOSE 1"));
}

TEST_F(CoreLinksTest, APortNamedByItsDevicePathIsToldToBothServersAsComZero) {
  ExpectPortToldAsComZero(line_.Line().SlavePath(), "");
}

TEST_F(CoreLinksTest, APortNamedByAnotherKeyOfPortsIsToldToBothServersAsComZero) {
  ExpectPortToldAsComZero("STATION", "STATION=" + line_.Line().SlavePath() + "\n");
}

}  // namespace
}  // namespace orvelgate
