// Cost of the spool re-send with a large backlog, and of spooling while the T8 link is
// down. Prints figures; asserts nothing.
//
//   spool_scan [folder]   (default: a fresh folder under $TMPDIR or /tmp)
//
// For 100, 10 000 and 100 000 .dd8 files with the link up: the first scan, then the
// median (and p99, max) of one 200 ms tick (T8 re-send + T7 re-send with the T7 link
// connected and no .ddk files), the tick being due every time because the server
// acknowledges each file at once, and of the acknowledgement on the worker. The max
// includes the listing of the folder that the T7 step makes at most once per 60 s while
// there is no .ddk file (printed on its own as "empty-.ddk rescan"). Each size runs twice:
// "single" with a link that does not number its messages (one file in flight), "window"
// with one that does, as the T8 worker (a window of files per tick, each acknowledged).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "events/event_router.h"
#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "support/fake_clock.h"

namespace {

using namespace orvelgate;
using Steady = std::chrono::steady_clock;

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class CountingT8 : public T8Outbox {
 public:
  bool LinkUp() const override { return true; }
  bool QueueMessage(int32_t, std::span<const uint8_t> payload) override {
    bytes += payload.size();
    ++messages;
    return true;
  }
  std::size_t messages = 0, bytes = 0;
};

// The T8 worker's numbering: a window of files goes out per tick.
class NumberingT8 : public CountingT8 {
 public:
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    QueueMessage(type, payload);
    return next++;
  }
  uint64_t next = 0;
};

class IdleT7 : public T7Outbox {
 public:
  bool Connected() const override { return true; }
  void SendRecord(std::span<const uint8_t>) override { ++records; }
  std::size_t records = 0;
};

struct Figures {
  double median, p99, max;
};

Figures Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)], v.back()};
}

// n files of 22 bytes, written plainly (the backlog a long outage leaves).
void FillFolder(const std::string& folder, std::size_t n) {
  std::vector<uint8_t> bytes(22, 0);
  bytes[0] = 0x22, bytes[3] = 0x03;
  for (std::size_t i = 0; i < n; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "%X.dd8", static_cast<unsigned>(0x5265C00 + i * 7));
    const int fd = ::open((folder + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != 22) std::perror("write");
    ::close(fd);
  }
}

void BacklogRun(const std::string& base, std::size_t n, bool numbered) {
  const std::string folder = base + "/backlog" + std::to_string(n) + "/";
  std::filesystem::create_directories(folder);
  FillFolder(folder, n);
  FakeClock clock;
  const auto t0 = Steady::now();
  SpoolStore store({.spoolPrefix = folder}, clock);
  const double scanMs = Ms(Steady::now() - t0);
  CountingT8 unnumberedT8;
  NumberingT8 numberedT8;
  CountingT8& t8 = numbered ? numberedT8 : unnumberedT8;
  IdleT7 t7;
  SpoolResender resender(&t8, &t7, store, clock);

  const std::size_t ticks = std::min<std::size_t>(n, 2000);
  std::vector<double> tickMs, ackMs;
  for (std::size_t i = 0; i < ticks; ++i) {
    clock.Advance(200);
    const std::size_t sentBefore = t8.messages;
    const auto a = Steady::now();
    resender.ResendT8Step();  // SpoolTick, steps 1 and 2
    resender.ResendT7Step();
    const auto b = Steady::now();
    // The server acknowledges at once: the one file, or each of the window.
    if (!numbered) resender.OnEventAck();
    for (uint64_t acked = numberedT8.next - (numbered ? t8.messages - sentBefore : 0);
         numbered && acked < numberedT8.next; ++acked)
      resender.OnEventAck(acked);
    const auto c = Steady::now();
    tickMs.push_back(Ms(b - a));
    ackMs.push_back(Ms(c - b));
  }
  const std::size_t sent = t8.messages;
  // Ticks that are not due (the usual case between two re-sends).
  resender.ResendT8Step();
  std::vector<double> idleMs;
  for (int i = 0; i < 1000; ++i) {
    const auto a = Steady::now();
    resender.ResendT8Step();
    resender.ResendT7Step();
    idleMs.push_back(Ms(Steady::now() - a));
  }
  // The .ddk index is empty, so every 60 s the T7 step lists the folder again.
  clock.Advance(60000);
  const auto r0 = Steady::now();
  resender.ResendT7Step();
  const double rescanMs = Ms(Steady::now() - r0);
  const Figures tick = Summarise(tickMs), ack = Summarise(ackMs), idle = Summarise(idleMs);
  std::printf("%s %7zu files: first scan %8.1f ms | sending tick median %.3f ms p99 %.3f max %.3f"
              " | ack median %.3f ms | idle tick median %.4f ms | sent %zu of %zu ticks"
              " | empty-.ddk rescan %.1f ms\n",
              numbered ? "window" : "single", n, scanMs, tick.median, tick.p99, tick.max, ack.median, idle.median, sent, ticks,
              rescanMs);
  std::filesystem::remove_all(folder);
}

void SpoolWhileDown(const std::string& base, std::size_t n) {
  const std::string folder = base + "/down/";
  std::filesystem::create_directories(folder);
  SpoolStore store({.spoolPrefix = folder}, DefaultClock());
  class DownT8 : public T8Outbox {
   public:
    bool LinkUp() const override { return false; }
    bool QueueMessage(int32_t, std::span<const uint8_t>) override { return false; }
  } t8;
  EventRouter router(&t8, nullptr, store, {});
  EventRecord event;
  event.Account = 1234;
  event.Code = "BA";
  std::size_t spooled = 0;
  std::vector<double> each;
  const auto t0 = Steady::now();
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = Steady::now();
    spooled += router.RouteEvent(event) == Routed::Spooled;
    each.push_back(Ms(Steady::now() - a));
  }
  const double total = Ms(Steady::now() - t0);
  const Figures f = Summarise(each);
  std::printf("link down: %zu events -> %zu files in %.0f ms (median %.3f ms, p99 %.3f, max %.3f"
              " per event; %zu files in the index)\n",
              n, spooled, total, f.median, f.p99, f.max, store.Count(SpoolKind::T8));
  std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  std::string base;
  if (argc > 1) {
    base = argv[1];
    std::filesystem::create_directories(base);
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/spool-scan-XXXXXX";
    if (!::mkdtemp(pattern.data())) return 1;
    base = pattern;
  }
  std::printf("spool_scan in %s\n", base.c_str());
  for (const bool numbered : {false, true})
    for (std::size_t n : {100, 10000, 100000}) BacklogRun(base, n, numbered);
  SpoolWhileDown(base, 10000);
  if (argc <= 1) std::filesystem::remove_all(base);
  return 0;
}
