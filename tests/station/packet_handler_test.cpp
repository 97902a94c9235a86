#include "station/packet_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framecodec/frame_codec.h"
#include "support/fake_clock.h"
#include "support/sample_frames.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::ReadFileBytes;
using testing::ScopedCwd;
using testing::TempDir;

enum class Kind { Send, Route, Draw, T7, Problem };

struct Call {
  Kind kind = Kind::Send;
  Bytes bytes;          // Send
  EventRecord event;    // Route
  int32_t account = 0;  // T7
  std::string code;
  uint8_t group = 0;
  DayCount time = 0.0;
  PacketProblem problem{};
};

class RecordingHost : public PacketHandlerHost {
 public:
  void SendBytes(std::span<const uint8_t> bytes) override {
    Record(Kind::Send).bytes.assign(bytes.begin(), bytes.end());
  }
  void RouteEvent(const EventRecord& current) override { Record(Kind::Route).event = current; }
  void DrawStationIndicator() override {
    Record(Kind::Draw);
    if (onDraw) onDraw();
  }
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override {
    Call& c = Record(Kind::T7);
    c.account = account;
    c.code = code;
    c.group = group;
    c.time = time;
  }
  void ReportPacketProblem(PacketProblem problem) override {
    Record(Kind::Problem).problem = problem;
  }
  void FrameCounted(FrameKind kind, FrameResult result) override {
    counted.push_back({kind, result});
  }

  std::vector<Kind> Kinds() const {
    std::vector<Kind> kinds;
    for (const auto& c : calls) kinds.push_back(c.kind);
    return kinds;
  }

  std::vector<Call> calls;
  std::vector<std::pair<FrameKind, FrameResult>> counted;  // one per packet
  std::function<void()> onDraw;

 private:
  Call& Record(Kind kind) {
    calls.push_back(Call{});
    calls.back().kind = kind;
    return calls.back();
  }
};

// Gives bound - 1 and remembers the bounds it was asked for.
class HighestRandom : public RandomSource {
 public:
  int Below(int bound) override {
    bounds.push_back(bound);
    return bound - 1;
  }
  std::vector<int> bounds;
};

const CalendarTime kNowCalendar{2010, 9, 8, 12, 34, 56, 0};
const DayCount kNow = *EncodeDateTime(kNowCalendar);

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

template <typename Array>
Bytes ToBytes(const Array& a) {
  return Bytes(a.begin(), a.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The codec's sample with a decimal object number and a date of its own.
GbFields SampleGb() {
  GbFields f = testing::SampleGbFields();
  f.object = 123;
  f.time = {2011, 3, 4, 5, 6, 7, 0};
  return f;
}

class PacketHandlerTest : public ::testing::Test {
 protected:
  PacketHandlerTest() : clock(kNow), random({0x5A, 0x33}) {}

  PacketHandler& Handler() {
    if (!handler) handler = std::make_unique<PacketHandler>(host, clock, random, LogPath());
    return *handler;
  }
  void Receive(const Bytes& packet) {
    Handler().HandlePacket(packet.data(), static_cast<uint32_t>(packet.size()));
  }
  template <typename Array>
  void Receive(const Array& packet) {
    Receive(ToBytes(packet));
  }
  std::string LogPath() const { return (dir / "orvelgate.log").string(); }
  Bytes Log() const { return ReadFileBytes(dir / "orvelgate.log"); }
  static Bytes SizeLine(std::size_t n) { return Text("Packsize " + std::to_string(n) + "\r\n"); }

  TempDir dir;
  RecordingHost host;
  FakeClock clock;
  ScriptedRandom random;
  std::unique_ptr<PacketHandler> handler;
};

// ---- ASCII frames --------------------------------------------------------------------

TEST_F(PacketHandlerTest, AsciiExampleFillsTheEventAndLogsThreeParts) {
  const AsciiFrame frame = EncodeAsciiFrame('1', "0123", "01");
  Receive(frame);

  EXPECT_EQ(Log(), Concat({ToBytes(frame), Text("Packsize 13\r\n"), Text("1 0\r\n")}));
  const EventRecord& e = Handler().CurrentEvent();
  EXPECT_EQ(e.Account, 40123);
  EXPECT_EQ(e.Group, 1);
  EXPECT_EQ(e.Code, "01");
  EXPECT_EQ(e.EventTime, kNow);
  EXPECT_EQ(Handler().ActivityCounter(), 1);
  EXPECT_EQ(Handler().LastFrameTime(), kNow);
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Draw, Kind::Route}));
  EXPECT_EQ(host.calls[1].event, e);
}

TEST_F(PacketHandlerTest, DefaultPacketLogIsInTheWorkingDirectory) {
  ScopedCwd cwd(dir.path());
  PacketHandler h(host, clock, random);
  EXPECT_EQ(h.PacketLogPath(), "orvelgate.log");
  const Bytes packet = ToBytes(EncodeAsciiFrame('1', "0123", "01"));
  h.HandlePacket(packet.data(), 13);
  h.HandlePacket(packet.data(), 13);
  const Bytes one = Concat({packet, SizeLine(13), Text("1 0\r\n")});
  EXPECT_EQ(ReadFileBytes(dir / "orvelgate.log"), Concat({one, one}));
}

TEST_F(PacketHandlerTest, SeventeenAsciiFramesStepTheCounterThroughSixteen) {
  std::vector<int32_t> counters;
  for (int i = 0; i < 17; ++i) {
    clock.Advance(1000);
    Receive(EncodeAsciiFrame('1', "0123", "01"));
    counters.push_back(Handler().ActivityCounter());
    EXPECT_EQ(Handler().LastFrameTime(), clock.LocalNow());
  }
  EXPECT_EQ(counters, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                            16, 1}));
  int draws = 0;
  for (Kind k : host.Kinds()) draws += k == Kind::Draw;
  EXPECT_EQ(draws, 17);
}

TEST_F(PacketHandlerTest, AsciiSettingsDecideTheLogLineAndTheHandOffs) {
  struct Case {
    bool t8, t7;
    std::string line;
    std::vector<Kind> kinds;
  };
  const std::vector<Case> cases{
      {true, false, "1 0\r\n", {Kind::Draw, Kind::Route}},
      {true, true, "1 1\r\n", {Kind::Draw, Kind::Route, Kind::T7}},
      {false, true, "0 1\r\n", {Kind::Draw, Kind::T7}},
      {false, false, "0 0\r\n", {Kind::Draw}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(LogPath());
    host.calls.clear();
    Handler().SetSettings({7, c.t8, c.t7});
    const AsciiFrame frame = EncodeAsciiFrame('9', "4321", "Z\xC0");
    Receive(frame);
    EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(13), Text(c.line)})) << c.line;
    ASSERT_EQ(host.Kinds(), c.kinds) << c.line;
    // The current event is filled whatever the settings.
    EXPECT_EQ(Handler().CurrentEvent(), (EventRecord{74321, 9, "Z\xC0", kNow}));
    if (c.t7) {
      const Call& t7 = host.calls.back();
      EXPECT_EQ(t7.account, 74321);
      EXPECT_EQ(t7.code, "Z\xC0");
      EXPECT_EQ(t7.group, 9);
      EXPECT_EQ(t7.time, kNow);
    }
  }
}

TEST_F(PacketHandlerTest, AsciiObjectThatIsNotANumberGivesAccountZero) {
  Receive(EncodeAsciiFrame('2', "12a4", "01"));
  EXPECT_EQ(Handler().CurrentEvent(), (EventRecord{0, 2, "01", kNow}));
  EXPECT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Draw, Kind::Route}));
}

TEST_F(PacketHandlerTest, AsciiWithANonDigitFirstCharacterStopsAfterTheAccount) {
  Handler().SetSettings({4, true, true});
  const AsciiFrame frame = EncodeAsciiFrame('A', "0123", "01");
  Receive(frame);
  // Step 1 happened: the station counts as alive.
  EXPECT_EQ(Handler().ActivityCounter(), 1);
  EXPECT_EQ(Handler().LastFrameTime(), kNow);
  // No event: not filled, no settings line, nothing routed or reported.
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});
  EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(13)}));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Draw, Kind::Problem}));
  EXPECT_EQ(host.calls[1].problem, PacketProblem::AsciiGroupNotDigit);
}

// ---- packets of other lengths --------------------------------------------------------

TEST_F(PacketHandlerTest, PacketsOfOtherLengthsAreOnlyLogged) {
  const GbFrame gb = EncodeGbFrame(SampleGb(), 0x5A);
  Bytes expectedLog;
  for (std::size_t n : {34, 20, 36, 32, 30, 14, 12, 1}) {
    Bytes packet(n, 0x30);
    std::copy_n(gb.begin(), std::min(n, gb.size()), packet.begin());
    Receive(packet);
    expectedLog = Concat({expectedLog, packet, SizeLine(n)});
  }
  EXPECT_EQ(Log(), expectedLog);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(Handler().ActivityCounter(), 0);
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});
}

TEST_F(PacketHandlerTest, EmptyOrMissingPacketIsLoggedAsSizeZero) {
  Handler().HandlePacket(nullptr, 0);
  Handler().HandlePacket(nullptr, 35);
  EXPECT_EQ(Log(), Concat({SizeLine(0), SizeLine(0)}));
  EXPECT_TRUE(host.calls.empty());
}

// ---- GB frames -----------------------------------------------------------------------

TEST_F(PacketHandlerTest, ValidGbFrameIsAcknowledgedThenRouted) {
  const GbFrame frame = EncodeGbFrame(SampleGb(), 0x21);
  Receive(frame);
  EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(35)}));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Route}));
  EXPECT_EQ(host.calls[0].bytes, ToBytes(BuildGbAck(SampleGb().echo, kNowCalendar, 0x5A)));
  const auto clockSent = VerifyGbAck(host.calls[0].bytes, SampleGb().echo);
  ASSERT_TRUE(clockSent);
  EXPECT_EQ(*clockSent, kNowCalendar);
  const EventRecord expected{40123, 3, "BA", *EncodeDateTime({2011, 3, 4, 5, 6, 7, 0})};
  EXPECT_EQ(Handler().CurrentEvent(), expected);
  EXPECT_EQ(host.calls[1].event, expected);
  // GB frames do not feed the station supervision.
  EXPECT_EQ(Handler().ActivityCounter(), 0);
  EXPECT_EQ(Handler().LastFrameTime(), 0.0);
}

TEST_F(PacketHandlerTest, AcknowledgementKeysAreDrawnBelow255) {
  HighestRandom highest;
  PacketHandler h(host, clock, highest, LogPath());
  const GbFrame gb = EncodeGbFrame(SampleGb(), 0x00);
  h.HandlePacket(gb.data(), 35);
  const CnFrame cn = EncodeCnFrame(testing::SampleCnFields(), 0x37, false);
  h.HandlePacket(cn.data(), 31);
  EXPECT_EQ(highest.bounds, (std::vector<int>{255, 255, 255}));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Route, Kind::Send, Kind::Route}));
  EXPECT_EQ(host.calls[0].bytes[21], 254);
  EXPECT_EQ(host.calls[2].bytes, ToBytes(BuildCnAck(254, 254)));
}

TEST_F(PacketHandlerTest, GbWithInvalidDateTakesTheReceptionTime) {
  GbFields f = SampleGb();
  f.time = {2010, 2, 30, 10, 0, 0, 0};
  Receive(EncodeGbFrame(f, 0x77));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Route}));
  EXPECT_EQ(Handler().CurrentEvent().EventTime, kNow);
}

TEST_F(PacketHandlerTest, GbWithoutGroupIsAcknowledgedButCarriesNoEvent) {
  Bytes frame(35, 0x00);
  const std::string open = "$GBBE$", close = "$GBEE$";
  std::copy(open.begin(), open.end(), frame.begin() + 5);
  std::copy(close.begin(), close.end(), frame.begin() + 29);
  Receive(frame);
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send}));
  EXPECT_TRUE(VerifyGbAck(host.calls[0].bytes, GbEcho{0, 0, 0, 0}));
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});
}

TEST_F(PacketHandlerTest, BrokenGbFrameIsOnlyLogged) {
  GbFrame frame = EncodeGbFrame(SampleGb(), 0x5A);
  frame[27] = static_cast<uint8_t>(((frame[27] ^ 0x5A) + 1) ^ 0x5A);  // check byte one off
  Receive(frame);
  GbFrame marker = EncodeGbFrame(SampleGb(), 0x5A);
  marker[30] = 'X';
  Receive(marker);
  EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(35), ToBytes(marker), SizeLine(35)}));
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});
}

TEST_F(PacketHandlerTest, WithoutSendT8EventsAreAcknowledgedButNotRouted) {
  Handler().SetSettings({4, false, true});
  Receive(EncodeGbFrame(SampleGb(), 0x5A));
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, false));
  // T7 reports are for ASCII frames only.
  EXPECT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Send}));
  EXPECT_EQ(Handler().CurrentEvent().Account, 41234);
}

// ---- CN frames -----------------------------------------------------------------------

TEST_F(PacketHandlerTest, ValidCnFrameIsAcknowledgedThenRouted) {
  const CnFrame frame = EncodeCnFrame(testing::SampleCnFields(), 0x37, false, 0x42);
  Receive(frame);
  EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(31)}));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Route}));
  // K' is drawn first (0x5A), then R (0x33).
  EXPECT_EQ(host.calls[0].bytes, (Bytes{0x5A, 0x69, 0x76, 0x77, 0x5F, 0x6E, 0x77, 0x7E, 0x0A}));
  const EventRecord expected{41234, 0, "AB", *EncodeDateTime({2010, 9, 8, 12, 34, 0, 0})};
  EXPECT_EQ(Handler().CurrentEvent(), expected);
  EXPECT_EQ(host.calls[1].event, expected);
  EXPECT_EQ(Handler().ActivityCounter(), 0);
}

TEST_F(PacketHandlerTest, CnNoEventFrameIsAcknowledgedOnly) {
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, true));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send}));
  EXPECT_TRUE(VerifyCnAck(host.calls[0].bytes));
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});
}

TEST_F(PacketHandlerTest, CnWithInvalidMonthTakesTheReceptionTime) {
  CnFields f = testing::SampleCnFields();
  f.month = 0x13;
  f.minute = 0x5A;
  Receive(EncodeCnFrame(f, 0x01, false));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Send, Kind::Route}));
  EXPECT_EQ(Handler().CurrentEvent().EventTime, kNow);
}

TEST_F(PacketHandlerTest, BrokenCnFrameIsOnlyLogged) {
  CnFrame frame = EncodeCnFrame(testing::SampleCnFields(), 0x37, false);
  frame[20] ^= 0x04;
  Receive(frame);
  CnFrame marker = EncodeCnFrame(testing::SampleCnFields(), 0x37, false);
  marker[1] = 'G';
  Receive(marker);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(Log(), Concat({ToBytes(frame), SizeLine(31), ToBytes(marker), SizeLine(31)}));
}

TEST_F(PacketHandlerTest, CurrentEventKeepsTheLastEventUntilTheNextOne) {
  Receive(EncodeAsciiFrame('1', "0123", "01"));
  const EventRecord first = Handler().CurrentEvent();
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, true));  // no event
  GbFrame broken = EncodeGbFrame(SampleGb(), 0x5A);
  broken[5] = 0;
  Receive(broken);
  EXPECT_EQ(Handler().CurrentEvent(), first);
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, false));
  EXPECT_EQ(Handler().CurrentEvent().Account, 41234);
}

// ---- what became of each packet -----------------------------------------------------

Bytes GbWithoutGroup() {
  Bytes frame(35, 0x00);
  const std::string open = "$GBBE$", close = "$GBEE$";
  std::copy(open.begin(), open.end(), frame.begin() + 5);
  std::copy(close.begin(), close.end(), frame.begin() + 29);
  return frame;
}

Bytes GbWithCheckOneOff() {
  GbFrame frame = EncodeGbFrame(SampleGb(), 0x5A);
  frame[27] = static_cast<uint8_t>(((frame[27] ^ 0x5A) + 1) ^ 0x5A);
  return ToBytes(frame);
}

Bytes CnWithFlippedBit() {
  CnFrame frame = EncodeCnFrame(testing::SampleCnFields(), 0x37, false);
  frame[20] ^= 0x04;
  return ToBytes(frame);
}

TEST_F(PacketHandlerTest, EveryPacketIsCountedByKindAndResult) {
  const struct {
    const char* name;
    Bytes packet;
    FrameKind kind;
    FrameResult result;
  } cases[] = {
      {"gb event", ToBytes(EncodeGbFrame(SampleGb(), 0x5A)), FrameKind::Gb, FrameResult::Event},
      {"gb without group", GbWithoutGroup(), FrameKind::Gb, FrameResult::NoEvent},
      {"gb check one off", GbWithCheckOneOff(), FrameKind::Gb, FrameResult::Rejected},
      {"cn event", ToBytes(EncodeCnFrame(testing::SampleCnFields(), 0x37, false)), FrameKind::Cn,
       FrameResult::Event},
      {"cn no-event marker", ToBytes(EncodeCnFrame(testing::SampleCnFields(), 0x37, true)),
       FrameKind::Cn, FrameResult::NoEvent},
      {"cn bit flipped", CnWithFlippedBit(), FrameKind::Cn, FrameResult::Rejected},
      {"ascii event", ToBytes(EncodeAsciiFrame('1', "0123", "01")), FrameKind::Ascii,
       FrameResult::Event},
      {"ascii group not a digit", ToBytes(EncodeAsciiFrame('A', "0123", "01")), FrameKind::Ascii,
       FrameResult::NoEvent},
      {"twenty bytes", Bytes(20, 0x30), FrameKind::Other, FrameResult::Ignored},
      {"empty", Bytes{}, FrameKind::Other, FrameResult::Ignored},
  };
  Handler().SetSettings({4, true, true});
  for (const auto& c : cases) {
    host.counted.clear();
    Receive(c.packet);
    EXPECT_EQ(host.counted, (std::vector<std::pair<FrameKind, FrameResult>>{{c.kind, c.result}}))
        << c.name;
  }
}

// ---- packet log failures -------------------------------------------------------------

TEST_F(PacketHandlerTest, UnwritablePacketLogStopsTheHandlingOfEveryKind) {
  std::filesystem::create_directory(LogPath());  // a folder where the log should be
  Handler().SetSettings({4, true, true});
  Receive(EncodeGbFrame(SampleGb(), 0x5A));
  Receive(EncodeCnFrame(testing::SampleCnFields(), 0x37, false));
  Receive(EncodeAsciiFrame('1', "0123", "01"));
  Bytes other(20, 0);
  Receive(other);
  ASSERT_EQ(host.calls.size(), 4u);
  for (const Call& c : host.calls) {
    EXPECT_EQ(c.kind, Kind::Problem);
    EXPECT_EQ(c.problem, PacketProblem::PacketLogNotWritten);
  }
  EXPECT_EQ(host.counted, (std::vector<std::pair<FrameKind, FrameResult>>{
                              {FrameKind::Gb, FrameResult::NotLogged},
                              {FrameKind::Cn, FrameResult::NotLogged},
                              {FrameKind::Ascii, FrameResult::NotLogged},
                              {FrameKind::Other, FrameResult::NotLogged}}));
  EXPECT_EQ(Handler().ActivityCounter(), 0);
  EXPECT_EQ(Handler().LastFrameTime(), 0.0);
  EXPECT_EQ(Handler().CurrentEvent(), EventRecord{});

  // The driver goes on once the log can be written again.
  std::filesystem::remove(LogPath());
  Receive(EncodeGbFrame(SampleGb(), 0x5A));
  EXPECT_EQ(host.calls.size(), 6u);
  EXPECT_EQ(host.calls[4].kind, Kind::Send);
  EXPECT_EQ(host.calls[5].kind, Kind::Route);
}

TEST_F(PacketHandlerTest, AsciiSettingsLineThatCannotBeWrittenStopsBeforeRouting) {
  Handler().SetSettings({4, true, true});
  // The log turns into a folder between the packet's first write and its settings line.
  host.onDraw = [this] {
    std::filesystem::remove(LogPath());
    std::filesystem::create_directory(LogPath());
  };
  Receive(EncodeAsciiFrame('1', "0123", "01"));
  ASSERT_EQ(host.Kinds(), (std::vector<Kind>{Kind::Draw, Kind::Problem}));
  EXPECT_EQ(host.calls[1].problem, PacketProblem::PacketLogNotWritten);
  EXPECT_EQ(host.counted, (std::vector<std::pair<FrameKind, FrameResult>>{
                              {FrameKind::Ascii, FrameResult::NotLogged}}));
  EXPECT_EQ(Handler().ActivityCounter(), 1);
}

}  // namespace
}  // namespace orvelgate
