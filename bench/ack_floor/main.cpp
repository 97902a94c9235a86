// ack_floor: the floor under the driver's acknowledgement latency. It waits in poll() on
// the line, answers each whole GB or CN frame at once with the same acknowledgement bytes
// the driver sends, and then forwards the frame's event as one T8 EventMessage (no login:
// the reference T8 server answers whatever comes first). No event loop, no journal, no
// spool, no window: what is left is the line, one write, and one send.
//
// With --journal FILE it also does what the driver does before it answers: it appends
// the event to FILE and waits for fdatasync. That is the minimal forwarder the driver's
// CPU time per event and its line-to-server latency are measured against (bench/live).
//
//   ack_floor --line PATH --t8-port PORT [--journal FILE] [--first-number N]
//
// --first-number is the driver's FirstNumber, which offsets the events' accounts
// (default 4, the driver's default).
//
// Prints "READY <path>" once the line and the connection are open; ends on SIGTERM.

#include <arpa/inet.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/clock.h"
#include "framecodec/frame_codec.h"
#include "t8link/t8_frames.h"

namespace {

using namespace orvelgate;
using Bytes = std::vector<uint8_t>;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int OpenLine(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios2 t{};
  ioctl(fd, TCGETS2, &t);
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ioctl(fd, TCSETS2, &t);
  ioctl(fd, TIOCEXCL);  // as the driver takes it: the station waits for that
  return fd;
}

int ConnectT8(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class Floor {
 public:
  Floor(int line, int t8, int journal, int32_t firstNumber)
      : line_(line), t8_(t8), journal_(journal), firstNumber_(firstNumber) {}

  // Takes what the line has and answers every whole frame at its head.
  void LineReadable() {
    uint8_t chunk[512];
    for (long n; (n = read(line_, chunk, sizeof chunk)) > 0;) pending_.insert(pending_.end(), chunk, chunk + n);
    while (TakeFrame()) {
    }
  }

  // Replies from the server are read and dropped.
  void T8Readable() {
    uint8_t chunk[512];
    while (recv(t8_, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
  }

 private:
  bool TakeFrame() {
    const std::span<const uint8_t> head(pending_);
    if (head.size() >= kGbFrameSize) {
      if (const auto payload = CheckGbFrame(head.first(kGbFrameSize))) {
        const GbFields fields = GbFieldsFromPayload(*payload);
        const EventRecord event = GbEvent(fields, firstNumber_, DefaultClock().LocalNow());
        Journal(event);
        Answer(BuildGbAck(fields.echo, Now(), Key()));
        Forward(event);
        return Consume(kGbFrameSize);
      }
    }
    if (head.size() >= kCnFrameSize) {
      if (const auto frame = CheckCnFrame(head.first(kCnFrameSize))) {
        const EventRecord event = CnEvent(DescrambleCnFrame(*frame), firstNumber_, DefaultClock().LocalNow());
        Journal(event);
        Answer(BuildCnAck(Key(), Key()));
        Forward(event);
        return Consume(kCnFrameSize);
      }
    }
    // Neither frame at the head: once a GB frame would have fitted, drop a byte.
    return pending_.size() > kGbFrameSize && Consume(1);
  }

  // The event is on the disk before the station hears that it was taken.
  void Journal(const EventRecord& event) {
    if (journal_ < 0) return;
    const EventRecord::Bytes record = event.Serialize();
    if (write(journal_, record.data(), record.size()) != static_cast<long>(record.size()) ||
        fdatasync(journal_) != 0) {
      std::perror("ack_floor: journal");
    }
  }

  template <std::size_t N>
  void Answer(const std::array<uint8_t, N>& ack) {
    if (write(line_, ack.data(), N) != static_cast<long>(N)) std::fprintf(stderr, "short answer\n");
  }

  void Forward(const EventRecord& event) {
    const EventRecord::Bytes record = event.Serialize();
    const Bytes frame = FrameMessage(*BuildMessage(T8Type::EventMessage, ++sequence_, record));
    if (send(t8_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<long>(frame.size())) {
      std::fprintf(stderr, "short send\n");
    }
  }

  bool Consume(std::size_t count) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
    return true;
  }

  static CalendarTime Now() { return DecodeDateTime(DefaultClock().LocalNow()).value_or(CalendarTime{}); }
  uint8_t Key() { return static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 254)(rng_)); }

  int line_, t8_, journal_;
  int32_t firstNumber_;
  Bytes pending_;
  uint64_t sequence_ = 0;
  std::mt19937 rng_{std::random_device{}()};
};

}  // namespace

int main(int argc, char** argv) {
  std::string path, journalPath;
  int t8Port = 0;
  int32_t firstNumber = 4;  // the driver's default FirstNumber
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--line") path = argv[i + 1];
    else if (arg == "--t8-port") t8Port = std::atoi(argv[i + 1]);
    else if (arg == "--journal") journalPath = argv[i + 1];
    else if (arg == "--first-number") firstNumber = std::atoi(argv[i + 1]);
  }
  if (path.empty() || t8Port <= 0) {
    std::fprintf(stderr, "usage: ack_floor --line PATH --t8-port PORT [--journal FILE] [--first-number N]\n");
    return 2;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  const int line = OpenLine(path);
  const int t8 = ConnectT8(t8Port);
  const int journal =
      journalPath.empty() ? -1 : open(journalPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (line < 0 || t8 < 0 || (!journalPath.empty() && journal < 0)) {
    std::perror("ack_floor");
    return 1;
  }
  std::printf("READY %s\n", path.c_str());
  std::fflush(stdout);
  Floor floor(line, t8, journal, firstNumber);
  pollfd watched[2] = {{line, POLLIN, 0}, {t8, POLLIN, 0}};
  while (!g_stop) {
    if (poll(watched, 2, -1) < 0) continue;
    if (watched[0].revents & (POLLHUP | POLLERR)) break;  // the station went away
    if (watched[0].revents & POLLIN) floor.LineReadable();
    if (watched[1].revents & (POLLHUP | POLLERR)) break;
    if (watched[1].revents & POLLIN) floor.T8Readable();
  }
  close(line);
  close(t8);
  if (journal >= 0) close(journal);
  return 0;
}
