// Arbitrary packets through the packet handler, as the serial port hands them over.
//
// Input: one settings byte, two bytes for the acknowledgement keys, then packets, each a
// length byte followed by that many bytes (fewer when the input ends).
//   settings bit 0: SendT8   bit 1: SendT7   bit 2: repair markers and check values of
//   35- and 31-byte packets (so that mutations reach the event paths)   bits 3-5: which
//   FirstNumber (a table with the extremes of the signed 32-bit product)
//
// After every packet the handler's work is compared with what the station protocol says
// it must do: the packet log grew by exactly the packet, its size line and (for an ASCII
// frame with a group digit) the settings line; a GB or CN frame is acknowledged exactly
// when its markers and check are right, and the acknowledgement passes the station's
// check; events, T7 reports and the activity counter follow the frame's fields.

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/day_count.h"
#include "framecodec/frame_codec.h"
#include "fuzz_input.h"
#include "station/packet_handler.h"
#include "support/fake_clock.h"
#include "support/scripted_random.h"

namespace orvelgate::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int32_t kFirstNumbers[8] = {4, 0, 1, -1, 214748, -214748, INT32_MAX, INT32_MIN};

struct T7Report {
  int32_t account;
  std::string code;
  uint8_t group;
  DayCount time;
};

class RecordingHost : public PacketHandlerHost {
 public:
  void SendBytes(std::span<const uint8_t> bytes) override { sent.emplace_back(bytes.begin(), bytes.end()); }
  void RouteEvent(const EventRecord& current) override { routed.push_back(current); }
  void DrawStationIndicator() override { ++draws; }
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override {
    reports.push_back({account, code, group, time});
  }
  void ReportPacketProblem(PacketProblem problem) override { problems.push_back(problem); }

  void Clear() { *this = RecordingHost(); }

  std::vector<Bytes> sent;
  std::vector<EventRecord> routed;
  int draws = 0;
  std::vector<T7Report> reports;
  std::vector<PacketProblem> problems;
};

// One folder per fuzzing process, removed when it ends.
const std::string& LogPath() {
  static const std::string path = [] {
    static char folder[] = "/tmp/orvelgate-fuzz-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    static std::string log = std::string(folder) + "/orvelgate.log";
    static constexpr auto cleanup = [] {
      std::remove(log.c_str());
      ::rmdir(folder);
    };
    std::atexit(cleanup);
    g_cleanupOnFailure = cleanup;
    return log;
  }();
  return path;
}

Bytes ReadFrom(const std::string& path, std::size_t offset) {
  Bytes bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
    uint8_t buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  }
  std::fclose(f);
  return bytes;
}

int32_t WithOffset(int64_t object, int32_t firstNumber) {
  return static_cast<int32_t>(static_cast<uint32_t>(object + int64_t{firstNumber} * 10000));
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

void Repair(Bytes& p) {
  if (p.size() == kGbFrameSize) {
    std::memcpy(&p[5], "$GBBE$", 6);
    std::memcpy(&p[29], "$GBEE$", 6);
    const uint8_t key = p[28];
    uint8_t sum = 0;
    for (int i = 0; i < 16; ++i) sum = static_cast<uint8_t>(sum + (p[11 + i] ^ key));
    p[27] = static_cast<uint8_t>(sum ^ key);
  } else if (p.size() == kCnFrameSize) {
    std::memcpy(&p[0], "$CNORD$", 7);
    uint8_t x = 0;
    for (int i = 7; i < 30; ++i) x ^= p[i];
    p[30] = x;
  }
}

struct Expected {
  bool ack = false;
  std::optional<EventRecord> event;  // the current event the frame fills
  bool accountKnown = true;
  bool flagsLine = false;
};

Expected ExpectGb(const Bytes& p, int32_t firstNumber, DayCount now) {
  Expected e;
  if (std::memcmp(&p[5], "$GBBE$", 6) != 0 || std::memcmp(&p[29], "$GBEE$", 6) != 0) return e;
  uint8_t plain[17];
  uint8_t sum = 0;
  for (int i = 0; i < 17; ++i) plain[i] = p[11 + i] ^ p[28];
  for (int i = 0; i < 16; ++i) sum = static_cast<uint8_t>(sum + plain[i]);
  if (sum != plain[16]) return e;
  e.ack = true;
  if (plain[6] == 0) return e;
  EventRecord ev;
  ev.Account = WithOffset(plain[4] * 256 + plain[5], firstNumber);
  ev.Group = plain[6];
  ev.Code = std::string{static_cast<char>(plain[7]), static_cast<char>(plain[8])};
  const CalendarTime carried{plain[9] | (plain[10] << 8), plain[11], plain[12], plain[13],
                             plain[14], plain[15], 0, 0};
  ev.EventTime = EncodeDateTime(carried).value_or(now);
  e.event = ev;
  return e;
}

int Bcd(uint8_t b, int fallback) { return (b >> 4) > 9 || (b & 15) > 9 ? fallback : (b >> 4) * 10 + (b & 15); }

Expected ExpectCn(const Bytes& p, int32_t firstNumber, DayCount now) {
  Expected e;
  if (std::memcmp(&p[0], "$CNORD$", 7) != 0) return e;
  uint8_t x = 0;
  for (int i = 7; i <= 30; ++i) x ^= p[i];
  if (x != 0) return e;
  e.ack = true;
  const uint8_t key = p[7];
  if (p[29] == key) return e;
  auto plain = [&](int i) { return static_cast<uint8_t>(p[i] ^ key ^ 0x01); };
  EventRecord ev;
  const uint8_t hi = plain(14), lo = plain(15);
  const bool decimal = (hi >> 4) <= 9 && (hi & 15) <= 9 && (lo >> 4) <= 9 && (lo & 15) <= 9;
  ev.Account = WithOffset(decimal ? Bcd(hi, 0) * 100 + Bcd(lo, 0) : 0, firstNumber);
  ev.Group = 0;
  const unsigned n = plain(16) * 256u + plain(17);
  ev.Code = std::string{static_cast<char>((0x41 + n / 26) & 0xFF), static_cast<char>(0x41 + n % 26)};
  const CalendarTime carried{2000 + Bcd(plain(13), 0), Bcd(plain(12), 1), Bcd(plain(11), 1),
                             Bcd(plain(10), 0), Bcd(plain(9), 0), 0, 0, 0};
  ev.EventTime = EncodeDateTime(carried).value_or(now);
  e.event = ev;
  return e;
}

Expected ExpectAscii(const Bytes& p, int32_t firstNumber, DayCount now) {
  Expected e;
  if (!IsDigit(p[0])) return e;
  EventRecord ev;
  ev.Group = static_cast<uint8_t>(p[0] - '0');
  ev.Code = std::string{static_cast<char>(p[9]), static_cast<char>(p[10])};
  ev.EventTime = now;
  // Four plain digits are the object number; other forms (a sign, blanks) are the
  // codec's own business and are only checked for not crashing.
  e.accountKnown = IsDigit(p[1]) && IsDigit(p[2]) && IsDigit(p[3]) && IsDigit(p[4]);
  if (e.accountKnown)
    ev.Account = WithOffset((p[1] - '0') * 1000 + (p[2] - '0') * 100 + (p[3] - '0') * 10 + (p[4] - '0'),
                            firstNumber);
  e.event = ev;
  e.flagsLine = true;
  return e;
}

void CheckEvent(const EventRecord& got, const Expected& expected) {
  const EventRecord& want = *expected.event;
  if (expected.accountKnown) FUZZ_CHECK(got.Account == want.Account);
  FUZZ_CHECK(got.Group == want.Group);
  FUZZ_CHECK(got.Code == want.Code);
  FUZZ_CHECK(got.EventTime == want.EventTime);
}

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;

  Input in(data, size);
  const uint8_t settingsByte = in.Byte();
  StationSettings settings;
  settings.SendT8 = settingsByte & 1;
  settings.SendT7 = settingsByte & 2;
  const bool repair = settingsByte & 4;
  settings.FirstNumber = kFirstNumbers[(settingsByte >> 3) & 7];
  const int key1 = in.Byte(), key2 = in.Byte();

  const std::string& log = LogPath();
  std::remove(log.c_str());

  static RecordingHost host;
  host.Clear();
  FakeClock clock(40432.5);  // 2010-09-10 12:00
  ScriptedRandom random({key1, key2});
  PacketHandler handler(host, clock, random, log);
  handler.SetSettings(settings);

  std::size_t logSize = 0;
  int32_t counter = 0;
  while (!in.Empty()) {
    const auto chunk = in.Bytes(in.Byte());
    Bytes p(chunk.begin(), chunk.end());
    if (repair) Repair(p);
    clock.Advance(5);
    const DayCount now = clock.LocalNow();
    const EventRecord before = handler.CurrentEvent();
    host.Clear();

    handler.HandlePacket(p.data(), static_cast<uint32_t>(p.size()));

    Expected want;
    if (p.size() == kGbFrameSize) want = ExpectGb(p, settings.FirstNumber, now);
    if (p.size() == kCnFrameSize) want = ExpectCn(p, settings.FirstNumber, now);
    if (p.size() == kAsciiFrameSize) want = ExpectAscii(p, settings.FirstNumber, now);

    // The log: the raw packet, "Packsize N" and, for an ASCII event, "T8 T7".
    Bytes entry = p;
    std::string lines = "Packsize " + std::to_string(p.size()) + "\r\n";
    if (want.flagsLine)
      lines += std::string(settings.SendT8 ? "1" : "0") + " " + (settings.SendT7 ? "1" : "0") + "\r\n";
    entry.insert(entry.end(), lines.begin(), lines.end());
    FUZZ_CHECK(ReadFrom(log, logSize) == entry);
    logSize += entry.size();

    // Acknowledgements: one for a sound GB or CN frame, none otherwise.
    FUZZ_CHECK(host.sent.size() == (want.ack ? 1u : 0u));
    if (want.ack && p.size() == kGbFrameSize) {
      GbEcho echo;
      for (int i = 0; i < 4; ++i) echo[i] = p[11 + i] ^ p[28];
      const auto acked = VerifyGbAck(host.sent[0], echo);
      FUZZ_CHECK(acked.has_value());
      const auto today = DecodeDateTime(now);
      FUZZ_CHECK(acked->year == today->year && acked->month == today->month &&
                 acked->day == today->day && acked->hour == today->hour &&
                 acked->minute == today->minute && acked->second == today->second);
    }
    if (want.ack && p.size() == kCnFrameSize) FUZZ_CHECK(VerifyCnAck(host.sent[0]));

    // The current event, and where it went.
    if (want.event) {
      CheckEvent(handler.CurrentEvent(), want);
    } else {
      FUZZ_CHECK(handler.CurrentEvent() == before);
    }
    FUZZ_CHECK(host.routed.size() == (want.event && settings.SendT8 ? 1u : 0u));
    if (!host.routed.empty()) FUZZ_CHECK(host.routed[0] == handler.CurrentEvent());
    const bool report = want.event && p.size() == kAsciiFrameSize && settings.SendT7;
    FUZZ_CHECK(host.reports.size() == (report ? 1u : 0u));
    if (report) {
      const T7Report& r = host.reports[0];
      FUZZ_CHECK(r.account == handler.CurrentEvent().Account && r.group == handler.CurrentEvent().Group &&
                 r.code == handler.CurrentEvent().Code && r.time == now);
    }

    // Station supervision: every 13-byte packet, valid or not.
    if (p.size() == kAsciiFrameSize) {
      counter = counter >= PacketHandler::kActivitySteps ? 1 : counter + 1;
      FUZZ_CHECK(host.draws == 1);
      FUZZ_CHECK(handler.LastFrameTime() == now);
      const bool groupProblem = !want.event;
      FUZZ_CHECK(host.problems.size() == (groupProblem ? 1u : 0u));
    } else {
      FUZZ_CHECK(host.draws == 0);
      FUZZ_CHECK(host.problems.empty());
    }
    FUZZ_CHECK(handler.ActivityCounter() == counter);
  }
  return 0;
}
