// delay-proxy: a TCP link with a real round trip, for the benchmarks. This machine's
// kernel has no netem, so the delay sits in a proxy: it listens on loopback, connects
// every accepted connection to the server given with --to, and passes the bytes both
// ways, each chunk held --delay-ms after it was read. A message and its reply therefore
// take twice that on top of loopback's own round trip, whoever the client is and whatever
// it sends (the greetings, the polls, a lockstep client): the server stays as it is.
// An orderly close is passed on after the same delay; a reset closes both sides at once.
//
//   delay-proxy --to [HOST:]PORT --delay-ms MS [--port N]
//
// Prints "READY <port>" once it listens, then "CONNECT <n>" and "CLOSE <n>" per
// connection; ends on SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

// A direction stops reading while this much waits in it, so a fast sender cannot fill
// the proxy's memory; TCP then pushes back on the sender.
constexpr std::size_t kMaxHeldBytes = 4 << 20;

struct Options {
  std::string host = "127.0.0.1";
  int toPort = 0;
  int port = 0;
  Steady::duration delay{};
};

struct Chunk {
  Steady::time_point due;
  std::vector<uint8_t> bytes;
  std::size_t sent = 0;
};

// Bytes read from `from`, written to `to` once due.
struct Direction {
  int from = -1, to = -1;
  std::deque<Chunk> held;
  std::size_t heldBytes = 0;
  bool ended = false;  // `from` closed in order; `to` is shut down once all is passed on
  Steady::time_point endDue;
  bool shut = false;
  bool blocked = false;  // `to` would not take more: wait for POLLOUT

  bool Reading() const { return !ended && heldBytes < kMaxHeldBytes; }
  std::optional<Steady::time_point> NextDue() const {
    if (blocked) return std::nullopt;
    if (!held.empty()) return held.front().due;
    if (ended && !shut) return endDue;
    return std::nullopt;
  }
};

struct Link {
  int id = 0;
  int client = -1, server = -1;
  Direction up, down;  // client to server, server to client
  bool broken = false;
};

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::optional<sockaddr_in> Address(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

// What to wait for on one socket: read while its direction takes more, write when the
// direction towards it is blocked. A socket that has closed its side and been shut down
// on ours has nothing left to say (it would only report the hang-up again and again).
pollfd Watch(int fd, const Direction& in, const Direction& out) {
  if (in.ended && out.shut) return {-1, 0, 0};
  return {fd, static_cast<short>((in.Reading() ? POLLIN : 0) | (out.blocked ? POLLOUT : 0)), 0};
}

class Proxy {
 public:
  explicit Proxy(Options options) : options_(std::move(options)) {}
  int Run();

 private:
  bool Listen();
  void Accept();
  void Readable(Link& link, Direction& d, short revents);
  void Read(Link& link, Direction& d);
  void PassOn(Link& link, Direction& d, Steady::time_point now);
  void Close(Link& link);
  std::optional<Steady::time_point> NextDue() const;

  Options options_;
  int listenFd_ = -1;
  int nextId_ = 1;
  std::vector<std::unique_ptr<Link>> links_;
};

bool Proxy::Listen() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  auto address = Address("127.0.0.1", options_.port);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&*address), sizeof *address) != 0 ||
      listen(listenFd_, 16) != 0) {
    std::fprintf(stderr, "delay-proxy: cannot listen: %s\n", std::strerror(errno));
    return false;
  }
  socklen_t length = sizeof *address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&*address), &length);
  std::printf("READY %d\n", ntohs(address->sin_port));
  return true;
}

void Proxy::Accept() {
  const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto address = Address(options_.host, options_.toPort);
  if (connect(server, reinterpret_cast<sockaddr*>(&*address), sizeof *address) != 0) {
    // The client sees its connection closed: the server is not there.
    std::printf("REFUSED %s\n", std::strerror(errno));
    close(server);
    close(client);
    return;
  }
  SetNoDelay(client);
  SetNoDelay(server);
  auto link = std::make_unique<Link>();
  link->id = nextId_++;
  link->client = client;
  link->server = server;
  link->up.from = link->down.to = client;
  link->up.to = link->down.from = server;
  std::printf("CONNECT %d\n", link->id);
  links_.push_back(std::move(link));
}

// A hang-up or an error while nothing more is expected from that side is a reset.
void Proxy::Readable(Link& link, Direction& d, short revents) {
  if (revents & POLLERR) {
    link.broken = true;
  } else if (revents & (POLLIN | POLLHUP)) {
    if (d.Reading()) Read(link, d);
    else if (revents & POLLHUP) link.broken = true;
  }
}

void Proxy::Read(Link& link, Direction& d) {
  std::vector<uint8_t> bytes(65536);
  const ssize_t n = recv(d.from, bytes.data(), bytes.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  const auto due = Steady::now() + options_.delay;
  if (n < 0) {
    link.broken = true;  // a reset: nothing more is passed on
  } else if (n == 0) {
    d.ended = true;
    d.endDue = due;
  } else {
    bytes.resize(static_cast<std::size_t>(n));
    d.heldBytes += bytes.size();
    d.held.push_back({due, std::move(bytes)});
  }
}

// Writes what is due, in order; stops at the first chunk the socket does not take whole.
void Proxy::PassOn(Link& link, Direction& d, Steady::time_point now) {
  d.blocked = false;
  while (!d.held.empty() && d.held.front().due <= now) {
    Chunk& c = d.held.front();
    const ssize_t n = send(d.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      d.blocked = true;
      return;
    }
    if (n < 0) {
      link.broken = true;
      return;
    }
    c.sent += static_cast<std::size_t>(n);
    if (c.sent < c.bytes.size()) {
      d.blocked = true;
      return;
    }
    d.heldBytes -= c.bytes.size();
    d.held.pop_front();
  }
  if (d.held.empty() && d.ended && !d.shut && d.endDue <= now) {
    shutdown(d.to, SHUT_WR);
    d.shut = true;
  }
}

void Proxy::Close(Link& link) {
  close(link.client);
  close(link.server);
  link.client = link.server = -1;
  std::printf("CLOSE %d\n", link.id);
}

std::optional<Steady::time_point> Proxy::NextDue() const {
  std::optional<Steady::time_point> next;
  for (const auto& link : links_) {
    for (const Direction* d : {&link->up, &link->down}) {
      const auto due = d->NextDue();
      if (due && (!next || *due < *next)) next = due;
    }
  }
  return next;
}

int Proxy::Run() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  prctl(PR_SET_TIMERSLACK, 1UL);  // the delay is the point: wake on time, not 50 us late
  if (!Listen()) return 1;
  for (;;) {
    std::fflush(stdout);
    std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {signalFd, POLLIN, 0}};
    for (const auto& link : links_) {
      fds.push_back(Watch(link->client, link->up, link->down));
      fds.push_back(Watch(link->server, link->down, link->up));
    }
    const std::size_t watched = links_.size();
    timespec wait{};
    const auto next = NextDue();
    if (next) {
      const auto left = std::max(*next - Steady::now(), Steady::duration::zero());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    if (ppoll(fds.data(), fds.size(), next ? &wait : nullptr, nullptr) < 0 && errno != EINTR) return 1;
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) Accept();
    for (std::size_t i = 0; i < watched; ++i) {
      Link& link = *links_[i];
      Readable(link, link.up, fds[2 + 2 * i].revents);
      Readable(link, link.down, fds[3 + 2 * i].revents);
    }
    const auto now = Steady::now();
    for (auto& link : links_) {
      if (!link->broken) PassOn(*link, link->up, now);
      if (!link->broken) PassOn(*link, link->down, now);
      if (link->broken || (link->up.shut && link->down.shut)) Close(*link);
    }
    std::erase_if(links_, [](const auto& link) { return link->client < 0; });
  }
  for (auto& link : links_) Close(*link);
  std::fflush(stdout);
  return 0;
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: delay-proxy --to [HOST:]PORT --delay-ms MS [--port N]\n"
                       "  MS is the delay of each direction (a round trip adds twice that)\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  bool delaySet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    const std::string value = argv[++i];
    char* end = nullptr;
    if (arg == "--to") {
      const auto colon = value.rfind(':');
      if (colon != std::string::npos) o.host = value.substr(0, colon);
      o.toPort = static_cast<int>(std::strtol(value.c_str() + (colon == std::string::npos ? 0 : colon + 1), &end, 10));
      if (*end != '\0' || o.toPort <= 0 || o.toPort > 65535 || !Address(o.host, o.toPort)) Usage();
    } else if (arg == "--delay-ms") {
      const double ms = std::strtod(value.c_str(), &end);
      if (*end != '\0' || !(ms >= 0) || ms > 60000) Usage();
      o.delay = std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double, std::milli>(ms));
      delaySet = true;
    } else if (arg == "--port") {
      o.port = static_cast<int>(std::strtol(value.c_str(), &end, 10));
      if (*end != '\0' || o.port < 0 || o.port > 65535) Usage();
    } else {
      Usage();
    }
  }
  if (o.toPort == 0 || !delaySet) Usage();
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return Proxy(Parse(argc, argv)).Run();
}
