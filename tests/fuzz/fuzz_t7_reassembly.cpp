// Arbitrary chunks of the message server's byte stream through the T7 link's read
// handler, HandleRead: the reassembly into whole records and what the link
// does with each. No socket and no event loop: the handler is called as the client would
// call it after a read notification.
//
// Input: steps, each a 16-bit little-endian header followed by its bytes:
//   0xFFFF  a new connection (HandleConnected)
//   0xFFFE  the connection closed (HandleDisconnected)
//   n       a chunk of n bytes (fewer when the input ends)
//
// A model of the reassembly runs alongside: it cuts the same stream into records, skips
// those without the FF FF marker, steps the counter 0..16, and collects the clock and
// close records. After every step the link must agree with it: bytes kept, counter,
// indicator calls, clock settings and close requests.

#include <string>
#include <vector>

#include "common/day_count.h"
#include "fuzz_input.h"
#include "support/fake_clock.h"
#include "t7link/t7_link.h"
#include "t7link/t7_records.h"

namespace orvelgate::fuzz {
namespace {

class RecordingHost : public T7LinkHost {
 public:
  void DrawT7Indicator(bool connected, int counter) override {
    ++draws;
    lastConnected = connected;
    lastCounter = counter;
  }
  void RequestCloseWithoutCode() override { ++closes; }
  std::string SerialDeviceName() const override { return "\\\\.\\COM3"; }
  void ShowHandlerError(const std::string&) override { ++errors; }

  int draws = 0;
  bool lastConnected = false;
  int lastCounter = -1;
  int closes = 0;
  int errors = 0;
};

struct Model {
  std::vector<uint8_t> buffer;
  bool connected = false;
  int counter = 0;
  int draws = 0;
  int closes = 0;
  std::vector<CalendarTime> clockSets;

  void Feed(std::span<const uint8_t> chunk) {
    buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    std::size_t at = 0;
    for (; buffer.size() - at >= kT7RecordSize; at += kT7RecordSize) {
      const std::span<const uint8_t> record(buffer.data() + at, kT7RecordSize);
      if (record[0] != 0xFF || record[1] != 0xFF) continue;
      counter = counter == T7Link::kMaxReceivedCounter ? 0 : counter + 1;
      ++draws;
      if (record[2] == static_cast<uint8_t>(T7RecordType::Clock)) {
        if (const auto when = DecodeDateTime(*ClockRecordTime(record))) clockSets.push_back(*when);
      } else if (record[2] == static_cast<uint8_t>(T7RecordType::Close)) {
        ++closes;
      }
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(at));
  }
};

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;

  Input in(data, size);
  RecordingHost host;
  FakeClock clock;
  T7Link link(host, clock, /*sendT7=*/true);
  Model model;

  while (!in.Empty()) {
    const uint16_t header = in.U16();
    if (header == 0xFFFF) {
      link.HandleConnected();
      model.buffer.clear();  // a new connection starts a new record stream
      model.connected = true;
      ++model.draws;
    } else if (header == 0xFFFE) {
      link.HandleDisconnected();
      model.connected = false;
      ++model.draws;
    } else {
      const auto chunk = in.Bytes(header);
      link.HandleRead(chunk);
      model.Feed(chunk);
    }

    FUZZ_CHECK(link.BufferedBytes() == model.buffer.size());
    FUZZ_CHECK(link.BufferedBytes() < kT7RecordSize);
    FUZZ_CHECK(link.ReceivedRecordCounter() == model.counter);
    FUZZ_CHECK(link.ReceivedRecordCounter() >= 0 &&
               link.ReceivedRecordCounter() <= T7Link::kMaxReceivedCounter);
    FUZZ_CHECK(link.T7ConnectedFlag() == model.connected);
    FUZZ_CHECK(host.draws == model.draws);
    if (host.draws > 0) {
      FUZZ_CHECK(host.lastCounter == model.counter);
      FUZZ_CHECK(host.lastConnected == model.connected);
    }
    FUZZ_CHECK(host.closes == model.closes);
    FUZZ_CHECK(clock.ClockSets() == model.clockSets);
    FUZZ_CHECK(host.errors == 0);  // "\\.\COM3" always gives a port-number notice
  }
  return 0;
}
