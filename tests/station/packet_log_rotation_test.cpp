#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framecodec/frame_codec.h"
#include "station/packet_handler.h"
#include "support/fake_clock.h"
#include "support/scoped_log_max_size.h"
#include "support/scripted_random.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::ReadFileBytes;
using testing::ScopedLogMaxSize;
using testing::TempDir;

class CountingHost : public PacketHandlerHost {
 public:
  void SendBytes(std::span<const uint8_t>) override { ++sends; }
  void RouteEvent(const EventRecord&) override { ++routes; }
  void DrawStationIndicator() override {}
  void SendT7EventReport(int32_t, const std::string&, uint8_t, DayCount) override {}
  int sends = 0;
  int routes = 0;
};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes AsciiEntry(const AsciiFrame& frame) {
  Bytes entry(frame.begin(), frame.end());
  for (const char* part : {"Packsize 13\r\n", "1 0\r\n"}) {
    const Bytes b = Text(part);
    entry.insert(entry.end(), b.begin(), b.end());
  }
  return entry;
}

// An ASCII entry is the packet, its size line and the settings line: 13 + 13 + 5 bytes.
// With a limit of 40 the first entry (31 bytes) stays, the second goes to the same file
// (31 < 40), and the third finds 62 bytes and starts a new log.
TEST(PacketLogRotation, FullLogIsMovedAsideBetweenPacketsNeverWithinOne) {
  TempDir dir;
  const ScopedLogMaxSize limit(40);
  CountingHost host;
  FakeClock clock;
  ScriptedRandom random;
  PacketHandler handler(host, clock, random, (dir / "orvelgate.log").string());

  const AsciiFrame frames[] = {EncodeAsciiFrame('1', "0001", "01"),
                               EncodeAsciiFrame('2', "0002", "02"),
                               EncodeAsciiFrame('3', "0003", "03")};
  for (const auto& f : frames) handler.HandlePacket(f.data(), f.size());

  Bytes firstTwo = AsciiEntry(frames[0]);
  const Bytes second = AsciiEntry(frames[1]);
  firstTwo.insert(firstTwo.end(), second.begin(), second.end());
  EXPECT_EQ(ReadFileBytes(dir / "orvelgate.log.1"), firstTwo);
  EXPECT_EQ(ReadFileBytes(dir / "orvelgate.log"), AsciiEntry(frames[2]));
  EXPECT_EQ(host.routes, 3);  // rotation costs no event
}

// A log that cannot be moved aside is appended to as before: the event goes on.
TEST(PacketLogRotation, LogThatCannotBeMovedKeepsGrowing) {
  TempDir dir;
  const ScopedLogMaxSize limit(1);
  fs::create_directory(dir / "orvelgate.log.1");
  testing::WriteFileText(dir / "orvelgate.log.1" / "x", "x");
  CountingHost host;
  FakeClock clock;
  ScriptedRandom random;
  PacketHandler handler(host, clock, random, (dir / "orvelgate.log").string());

  const AsciiFrame frame = EncodeAsciiFrame('1', "0001", "01");
  handler.HandlePacket(frame.data(), frame.size());
  handler.HandlePacket(frame.data(), frame.size());

  EXPECT_EQ(ReadFileBytes(dir / "orvelgate.log").size(), 2 * AsciiEntry(frame).size());
  EXPECT_EQ(host.routes, 2);
}

}  // namespace
}  // namespace orvelgate
