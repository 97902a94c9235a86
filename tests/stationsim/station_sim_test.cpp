// The station simulator's own logic: the frames it builds, the answers it accepts and
// what it counts. The driver side of the same line is tested in tests/station.

#include "station_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>


namespace orvelgate::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

CalendarTime Now() {
  CalendarTime t;
  t.year = 2024;
  t.month = 12;
  t.day = 31;
  t.hour = 23;
  t.minute = 59;
  t.second = 58;
  return t;
}

BuiltFrame Build(const std::string& text, uint32_t seed = 1) {
  std::string error;
  const auto recipe = ParseFrameRecipe(text, &error);
  EXPECT_TRUE(recipe.has_value()) << error;
  std::mt19937 rng(seed);
  return recipe ? BuildFrame(*recipe, Now(), rng) : BuiltFrame{};
}

TEST(SimFrames, RejectsWhatNamesNoFrame) {
  for (const char* text : {"", "gbx", "gb:maybe", "gb,object", "gb,object=65536", "gb,group=0",
                           "gb,code=ABC", "cn,object=12a4", "cn,object=123", "cn,group=1",
                           "cn,code=Ab", "cn,code=70000", "ascii,group=12", "ascii,group=a",
                           "ascii,object=12345", "gb,key=256", "gb,time=2024-13", "gb,colour=red",
                           "raw:", "raw:ABC", "raw:zz"}) {
    std::string error;
    EXPECT_FALSE(ParseFrameRecipe(text, &error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(SimFrames, GbFramesPassTheDriversCheckUnlessCorrupt) {
  const BuiltFrame valid = Build("gb,object=4321,group=7,code=BA,key=90,time=2010-02-28T01:02:03");
  ASSERT_EQ(valid.bytes.size(), kGbFrameSize);
  EXPECT_EQ(valid.answer, Answer::kGbAck);
  const auto payload = CheckGbFrame(valid.bytes);
  ASSERT_TRUE(payload.has_value());
  const GbFields fields = GbFieldsFromPayload(*payload);
  EXPECT_EQ(fields.object, 4321);
  EXPECT_EQ(fields.group, 7);
  EXPECT_EQ(fields.code, "BA");
  EXPECT_EQ(fields.time.year, 2010);
  EXPECT_EQ(fields.time.second, 3);
  EXPECT_EQ(fields.echo, valid.echo);
  EXPECT_EQ(valid.bytes[kGbPayloadOffset + 17], 90);

  const BuiltFrame noEvent = Build("gb:noevent");
  ASSERT_TRUE(CheckGbFrame(noEvent.bytes).has_value());
  EXPECT_FALSE(GbCarriesEvent(*CheckGbFrame(noEvent.bytes)));
  EXPECT_EQ(noEvent.answer, Answer::kGbAck);

  const BuiltFrame corrupt = Build("gb:corrupt");
  EXPECT_FALSE(CheckGbFrame(corrupt.bytes).has_value());
  EXPECT_EQ(corrupt.answer, Answer::kNone);
}

TEST(SimFrames, CnFramesPassTheDriversCheckUnlessCorrupt) {
  const BuiltFrame valid = Build("cn,object=1234,code=BB,time=2024-05-06T07:08:00");
  ASSERT_EQ(valid.bytes.size(), kCnFrameSize);
  const auto frame = CheckCnFrame(valid.bytes);
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(CnCarriesEvent(*frame));
  const CnFields fields = DescrambleCnFrame(*frame);
  EXPECT_EQ(CnAccount(fields.objectHigh, fields.objectLow, 4), 41234);
  EXPECT_EQ(CnCode(fields.code), "BB");
  EXPECT_EQ(CnCalendar(fields).year, 2024);
  EXPECT_EQ(CnCalendar(fields).minute, 8);
  EXPECT_EQ(CnCode(DescrambleCnFrame(*CheckCnFrame(Build("cn,code=675").bytes)).code), "ZZ");

  const BuiltFrame noEvent = Build("cn:noevent");
  ASSERT_TRUE(CheckCnFrame(noEvent.bytes).has_value());
  EXPECT_FALSE(CnCarriesEvent(*CheckCnFrame(noEvent.bytes)));
  EXPECT_EQ(noEvent.answer, Answer::kCnAck);

  EXPECT_FALSE(CheckCnFrame(Build("cn:corrupt").bytes).has_value());
  EXPECT_EQ(Build("cn:corrupt").answer, Answer::kNone);
}

TEST(SimFrames, AsciiAndRawFrames) {
  const BuiltFrame valid = Build("ascii,group=3,object=0042,code=E1");
  const auto fields = ParseAsciiFrame(valid.bytes);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->group, 3);
  EXPECT_EQ(fields->object, 42);
  EXPECT_EQ(fields->code, "E1");
  EXPECT_EQ(valid.answer, Answer::kNone);
  EXPECT_FALSE(ParseAsciiFrame(Build("ascii:noevent").bytes)->group.has_value());
  EXPECT_EQ(Build("raw:00FF24").bytes, (Bytes{0x00, 0xFF, 0x24}));
}

TEST(SimFrames, KeysAndEchoesChangeFromFrameToFrame) {
  std::mt19937 rng(3);
  const auto recipe = *ParseFrameRecipe("gb", nullptr);
  const BuiltFrame a = BuildFrame(recipe, Now(), rng);
  const BuiltFrame b = BuildFrame(recipe, Now(), rng);
  EXPECT_NE(a.echo, b.echo);
  EXPECT_NE(a.bytes, b.bytes);
}

TEST(SimFrames, AcceptsOnlyTheRightAcknowledgement) {
  const BuiltFrame gb = Build("gb");
  const GbAck ack = BuildGbAck(gb.echo, Now(), 17);
  EXPECT_TRUE(AnswerIsValid(gb, Bytes(ack.begin(), ack.end())));
  GbEcho other = gb.echo;
  other[0] ^= 1;
  const GbAck wrongEcho = BuildGbAck(other, Now(), 17);
  EXPECT_FALSE(AnswerIsValid(gb, Bytes(wrongEcho.begin(), wrongEcho.end())));
  const CnAck cnAck = BuildCnAck(3, 4);
  EXPECT_FALSE(AnswerIsValid(gb, Bytes(cnAck.begin(), cnAck.end())));
  EXPECT_TRUE(AnswerIsValid(Build("cn"), Bytes(cnAck.begin(), cnAck.end())));
  EXPECT_FALSE(AnswerIsValid(Build("ascii"), {}));
}

TEST(SimScript, Lines) {
  std::string error;
  EXPECT_FALSE(ParseScriptLine("  # only a comment", &error)->has_value());
  EXPECT_FALSE(ParseScriptLine("", &error)->has_value());
  const auto sleep = ParseScriptLine("sleep 250", &error);
  ASSERT_TRUE(sleep && *sleep);
  EXPECT_EQ((*sleep)->pauseMs, 250);
  EXPECT_FALSE((*sleep)->frame.has_value());
  const auto frame = ParseScriptLine("  cn:noevent   # no event", &error);
  ASSERT_TRUE(frame && *frame && (*frame)->frame);
  EXPECT_EQ((*frame)->frame->variant, FrameVariant::kNoEvent);
  EXPECT_FALSE(ParseScriptLine("sleep soon", &error).has_value());
  EXPECT_FALSE(ParseScriptLine("sleep -5", &error).has_value());
  EXPECT_FALSE(ParseScriptLine("hello", &error).has_value());
}

TEST(SimSummary, Percentiles) {
  SimSummary s;
  EXPECT_EQ(s.Percentile(99), 0);
  for (int i = 100; i >= 1; --i) s.latenciesMs.push_back(i);
  EXPECT_EQ(s.Percentile(50), 50);
  EXPECT_EQ(s.Percentile(99), 99);
  EXPECT_EQ(s.Percentile(100), 100);
  EXPECT_EQ(s.MaxLatency(), 100);
  EXPECT_TRUE(s.AllOk());
  s.unexpected = 1;
  EXPECT_FALSE(s.AllOk());
}

// The simulator against a scripted driver on the other side of a pseudo-terminal.
TEST(StationSim, CountsAnswersAsTheyCome) {
  std::string error;
  auto line = SimLine::CreatePty(&error);
  ASSERT_NE(line, nullptr) << error;
  ASSERT_TRUE(line->IsPty());
  SimOptions options;
  options.baud = 0;
  options.ackTimeoutMs = 300;
  options.settleMs = 100;
  options.seed = 11;
  std::vector<FrameOutcome> outcomes;
  StationSim sim(*line, options, [&](const FrameOutcome& o) { outcomes.push_back(o); });

  // The driver's side, played by the test on the slave.
  const int slave = open(line->Path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  auto readFrame = [&](std::size_t size) {
    Bytes frame(size);
    std::size_t got = 0;
    while (got < size) {
      pollfd p{slave, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;  // the line is raw: a read does not wait
      const ssize_t n = read(slave, frame.data() + got, size - got);
      if (n < 0) break;
      got += static_cast<std::size_t>(n);
    }
    return frame;
  };
  std::thread driver([&] {
    // 1: right acknowledgement
    Bytes f = readFrame(kGbFrameSize);
    GbAck ack = BuildGbAck(GbFieldsFromPayload(*CheckGbFrame(f)).echo, Now(), 5);
    write(slave, ack.data(), ack.size());
    // 2: wrong echo
    readFrame(kGbFrameSize);
    ack = BuildGbAck(GbEcho{1, 2, 3, 4}, Now(), 5);
    write(slave, ack.data(), ack.size());
    // 3: nothing
    readFrame(kCnFrameSize);
    // 4: an answer to a frame that gets none
    readFrame(kAsciiFrameSize);
    write(slave, "?", 1);
  });
  sim.Send(*ParseFrameRecipe("gb", nullptr));
  sim.Send(*ParseFrameRecipe("gb", nullptr));
  sim.Send(*ParseFrameRecipe("cn", nullptr));
  sim.Send(*ParseFrameRecipe("ascii", nullptr));
  driver.join();
  close(slave);

  const SimSummary& s = sim.Summary();
  EXPECT_EQ(s.frames, 4);
  EXPECT_EQ(s.acked, 1);
  EXPECT_EQ(s.badAcks, 1);
  EXPECT_EQ(s.missingAcks, 1);
  EXPECT_EQ(s.unexpected, 1);
  EXPECT_EQ(s.latenciesMs.size(), 1u);
  EXPECT_FALSE(s.AllOk());
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_TRUE(outcomes[0].ok);
  EXPECT_EQ(outcomes[1].problem.rfind("wrong acknowledgement", 0), 0u);
  EXPECT_EQ(outcomes[2].problem, "no acknowledgement");
  EXPECT_EQ(outcomes[3].problem.rfind("answer to a frame that gets none", 0), 0u);
}

TEST(StationSim, PacesBytesAtTheLineSpeed) {
  std::string error;
  auto line = SimLine::CreatePty(&error);
  ASSERT_NE(line, nullptr) << error;
  const Bytes frame(35, 0x55);
  const auto start = std::chrono::steady_clock::now();
  const auto done = line->Write(frame, 9600);  // 34 gaps of 1.04 ms
  ASSERT_TRUE(done.has_value());
  EXPECT_GE(*done - start, 35ms);
}

}  // namespace
}  // namespace orvelgate::sim
