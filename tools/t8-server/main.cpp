// t8-server: a reference monitoring server for the T8 link. It listens on loopback (or a
// given address), prints every frame the driver sends and answers each one by a small
// policy that flags and stdin commands change. Tests, the demo and the benchmarks read
// its output, so every line starts with a fixed word; see --help.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
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
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/day_count.h"
#include "common/hex_text.h"
#include "common/le_bytes.h"
#include "events/event_record.h"
#include "t8link/t8_frames.h"

namespace {

using namespace orvelgate;

constexpr const char* kUsage = R"(usage: t8-server [options]

A reference T8 monitoring server. It answers every message of the driver with exactly
one frame, chosen by this policy: the first message of each connection gets
LoginAccepted, an EventMessage gets EventAck, everything else a Poll answer.

options:
  --port N        listen on port N (default 0: any free port)
  --bind ADDR     listen on ADDR (default 127.0.0.1)
  --no-login      never send LoginAccepted; the first message gets a Poll answer
  --deny          answer the first message of every connection with AccessDenied
  --no-ack        answer events with a Poll answer instead of EventAck
  --poll-every N  answer every N-th event (counted over all connections) with a Poll
                  answer instead of EventAck
  --silent        answer nothing
  --quiet         leave out FRAME and REPLY lines (events are still printed)
  --stamps        end every EVENT line with at_us=<n>: when the bytes were read, in
                  microseconds of CLOCK_MONOTONIC (the benchmarks' clock)
  --reply-delay MIN:MAX
                  answer each message after a random delay of MIN to MAX ms; the
                  replies keep their order, one per message, and the server goes on
                  reading meanwhile: a slow server, not a stuck one
  --script FILE   run the commands in FILE first, then read commands from stdin
  --help          this text

commands (stdin or --script, one per line; each is confirmed with "OK <command>"):
  next REPLY      answer the next message with REPLY instead of the policy; several
                  next commands answer the following messages in order
  send REPLY      send REPLY now on the newest connection, unasked
  login on|off    accept the login on the first message (default on)
  ack on|off      acknowledge events (default on)
  silent on|off   answer nothing (default off)
  close           close every connection (orderly)
  reset           close every connection abortively (RST)
  sync            do nothing; its OK tells a harness that all earlier output is out
  quit            print the summary and end (so do SIGTERM and SIGINT)

REPLY is a type name (Poll LoginAccepted ServerQuery AccessDenied DisconnectOrder
DropLink EventAck, or any other of the table), a type number (0x02000003), or:
  silent           no answer to that message
  close, reset     close the connection instead of answering
  alt-marker       a Poll answer whose transport marker is 0xF0
  bad-marker       a Poll answer whose transport marker is 0x00
  bad-header       a frame whose message markers are wrong
  short            a reply of 10 bytes, too short for a message header
  zero-length      a transport header that announces 0 bytes
  negative-length  a transport header that announces -1 bytes
  huge-length      a transport header that announces 2147483647 bytes
  big N            a Poll answer with N payload bytes
  stall            a frame announcing 118 bytes of which only 20 are sent

output (one line each, fields separated by blanks, hex in upper case):
  READY <port>
  CONNECT <conn> <peer>
  FRAME <conn> <type name or 0x...> seq=<n> len=<payload bytes> payload=<hex>
  EVENT <conn> seq=<n> record=<18 bytes hex> account=<n> group=<n> code=<text> time=<local time>
                            [at_us=<n>]
  REPLY <conn> <what was sent>
  BADFRAME <conn> <why>     (the connection is then closed)
  CLOSE <conn>
  OK <command> / ERROR <text>
  SUMMARY connections=<n> frames=<n> events=<n>
)";

struct Options {
  int port = 0;
  std::string bind = "127.0.0.1";
  bool login = true;
  bool deny = false;
  bool ack = true;
  int pollEvery = 0;  // 0: every event is acknowledged (while ack is on)
  bool silent = false;
  bool quiet = false;
  bool stamps = false;
  std::string script;
  bool delayReplies = false;
  int replyDelayMinMs = 0;
  int replyDelayMaxMs = 0;
};

using Steady = std::chrono::steady_clock;

// A reply that waits for its moment (--reply-delay).
struct HeldReply {
  Steady::time_point due;
  std::string reply;
};

struct Connection {
  int id = 0;
  int fd = -1;
  std::vector<uint8_t> input;
  Steady::time_point readAt;  // of the last bytes taken into input
  uint64_t messages = 0;
  uint64_t serverSequence = 0;
  std::deque<HeldReply> held;  // oldest first
};

std::string TypeText(int32_t type) {
  if (const char* name = T8TypeName(type)) return name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(type));
  return text;
}

std::string TimeText(DayCount t) {
  const auto c = DecodeDateTime(t);
  if (!c) return "invalid";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", c->year, c->month, c->day,
                c->hour, c->minute, c->second, c->millisecond);
  return text;
}

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

// A transport header announcing `length`, with `marker`.
std::vector<uint8_t> TransportHeader(uint8_t marker, int32_t length) {
  std::vector<uint8_t> header(T8Transport::kSize, 0);
  LeWriter out(header);
  out.U8(T8Transport::kMarker, marker);
  out.I32(T8Transport::kLength, length);
  out.I32(T8Transport::kLengthCopy, length);
  return header;
}

class Server {
 public:
  explicit Server(Options options) : options_(std::move(options)) {}
  int Run();

 private:
  bool Listen();
  void Accept();
  void ReadFrom(Connection& c);
  bool TakeFrames(Connection& c);  // false: close the connection
  void PrintFrame(const Connection& c, std::span<const uint8_t> message);
  std::string Stamp(const Connection& c) const;
  std::string ChooseReply(const Connection& c, std::span<const uint8_t> message);
  bool SendReply(Connection& c, const std::string& reply);  // false: close the connection
  bool SendMessage(Connection& c, int32_t type, std::span<const uint8_t> payload, uint8_t marker);
  void Hold(Connection& c, std::string reply);
  void SendDueReplies();
  int MsUntilNextDue() const;  // -1: nothing held
  void Close(Connection& c, bool abortive);
  void ReadCommands();
  void Command(const std::string& line);
  bool IsReply(const std::string& reply) const;
  void Summary();

  Options options_;
  int listenFd_ = -1;
  int signalFd_ = -1;
  bool stdinOpen_ = true;
  bool quit_ = false;
  std::string commandInput_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::deque<std::string> nextReplies_;
  int nextId_ = 1;
  std::mt19937 random_{std::random_device{}()};
  uint64_t frames_ = 0;
  uint64_t events_ = 0;
  uint64_t eventsAnswered_ = 0;  // events the policy answered, for --poll-every
};

bool Server::Listen() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.port));
  if (inet_pton(AF_INET, options_.bind.c_str(), &address.sin_addr) != 1) {
    std::fprintf(stderr, "t8-server: bad address %s\n", options_.bind.c_str());
    return false;
  }
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 16) != 0) {
    std::fprintf(stderr, "t8-server: cannot listen: %s\n", std::strerror(errno));
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("READY %d\n", ntohs(address.sin_port));
  return true;
}

void Server::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_unique<Connection>();
  c->id = nextId_++;
  c->fd = fd;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  std::printf("CONNECT %d %s:%d\n", c->id, text, ntohs(peer.sin_port));
  connections_.push_back(std::move(c));
}

void Server::ReadFrom(Connection& c) {
  uint8_t chunk[65536];
  const ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Close(c, false);
    return;
  }
  c.readAt = Steady::now();
  c.input.insert(c.input.end(), chunk, chunk + n);
  if (!TakeFrames(c)) Close(c, false);
}

bool Server::TakeFrames(Connection& c) {
  while (c.input.size() >= T8Transport::kSize) {
    if (c.input[T8Transport::kMarker] != T8Transport::kMarkerWritten) {
      std::printf("BADFRAME %d marker=%02X\n", c.id, c.input[0]);
      return false;
    }
    const int32_t length =
        TransportLength(std::span<const uint8_t, T8Transport::kSize>(c.input.data(), T8Transport::kSize));
    if (length < static_cast<int32_t>(T8Header::kSize) || length > kT8MaxMessageLength) {
      std::printf("BADFRAME %d length=%d\n", c.id, length);
      return false;
    }
    const std::size_t total = T8Transport::kSize + static_cast<std::size_t>(length);
    if (c.input.size() < total) return true;
    const std::vector<uint8_t> message(c.input.begin() + T8Transport::kSize, c.input.begin() + total);
    c.input.erase(c.input.begin(), c.input.begin() + total);
    PrintFrame(c, message);
    std::string reply = ChooseReply(c, message);
    ++c.messages;
    if (options_.delayReplies) {
      Hold(c, std::move(reply));
      continue;
    }
    if (!SendReply(c, reply)) return false;
    if (c.fd < 0) return true;  // the reply was to close it
  }
  return true;
}

std::string Server::Stamp(const Connection& c) const {
  if (!options_.stamps) return "";
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(c.readAt.time_since_epoch());
  return " at_us=" + std::to_string(us.count());
}

void Server::PrintFrame(const Connection& c, std::span<const uint8_t> message) {
  ++frames_;
  const auto header = ParseMessageHeader(message);
  if (!header) {
    std::printf("FRAME %d bad-header message=%s\n", c.id, Hex(message).c_str());
    return;
  }
  const auto payload = message.subspan(T8Header::kSize);
  if (!options_.quiet) {
    std::printf("FRAME %d %s seq=%llu len=%zu payload=%s\n", c.id, TypeText(header->Type).c_str(),
                static_cast<unsigned long long>(header->Sequence), payload.size(), Hex(payload).c_str());
  }
  if (header->Type != T8Type::EventMessage) return;
  ++events_;
  const auto record = EventRecord::Parse(payload);
  if (!record || payload.size() != EventRecord::kSize) {
    std::printf("EVENT %d seq=%llu record=%s malformed\n", c.id,
                static_cast<unsigned long long>(header->Sequence), Hex(payload).c_str());
    return;
  }
  std::printf("EVENT %d seq=%llu record=%s account=%d group=%u code=%s time=%s%s\n", c.id,
              static_cast<unsigned long long>(header->Sequence), Hex(payload).c_str(), record->Account,
              record->Group, Cp1251ToUtf8(record->Code).c_str(), TimeText(record->EventTime).c_str(),
              Stamp(c).c_str());
}

std::string Server::ChooseReply(const Connection& c, std::span<const uint8_t> message) {
  if (!nextReplies_.empty()) {
    std::string reply = nextReplies_.front();
    nextReplies_.pop_front();
    return reply;
  }
  if (options_.silent) return "silent";
  if (c.messages == 0) {
    if (options_.deny) return "AccessDenied";
    if (options_.login) return "LoginAccepted";
  }
  const auto header = ParseMessageHeader(message);
  if (!header || header->Type != T8Type::EventMessage || !options_.ack) return "Poll";
  ++eventsAnswered_;
  if (options_.pollEvery > 0 && eventsAnswered_ % options_.pollEvery == 0) return "Poll";
  return "EventAck";
}

bool Server::SendMessage(Connection& c, int32_t type, std::span<const uint8_t> payload, uint8_t marker) {
  auto frame = FrameMessage(*BuildMessage(type, c.serverSequence++, payload));
  frame[T8Transport::kMarker] = marker;
  return WriteAll(c.fd, frame);
}

bool Server::SendReply(Connection& c, const std::string& reply) {
  if (!options_.quiet) std::printf("REPLY %d %s\n", c.id, reply.c_str());
  std::istringstream words(reply);
  std::string kind;
  words >> kind;
  if (kind == "silent") return true;
  if (kind == "close" || kind == "reset") {
    Close(c, kind == "reset");
    return true;
  }
  if (kind == "alt-marker") return SendMessage(c, T8Type::Poll, {}, T8Transport::kMarkerAlternative);
  if (kind == "bad-marker") return SendMessage(c, T8Type::Poll, {}, 0x00);
  if (kind == "bad-header") {
    auto message = *BuildMessage(T8Type::Poll, c.serverSequence++, {});
    message[T8Header::kEnd] = 0x00;
    return WriteAll(c.fd, FrameMessage(message));
  }
  if (kind == "short") {
    auto frame = TransportHeader(T8Transport::kMarkerWritten, 10);
    frame.resize(frame.size() + 10, 0xFF);
    return WriteAll(c.fd, frame);
  }
  if (kind == "zero-length") return WriteAll(c.fd, TransportHeader(T8Transport::kMarkerWritten, 0));
  if (kind == "negative-length") return WriteAll(c.fd, TransportHeader(T8Transport::kMarkerWritten, -1));
  if (kind == "huge-length") return WriteAll(c.fd, TransportHeader(T8Transport::kMarkerWritten, 0x7FFFFFFF));
  if (kind == "stall") {
    auto frame = FrameMessage(*BuildMessage(T8Type::Poll, c.serverSequence++, std::vector<uint8_t>(100, 0x55)));
    frame.resize(T8Transport::kSize + 20);
    return WriteAll(c.fd, frame);
  }
  if (kind == "big") {
    std::size_t n = 0;
    words >> n;
    std::vector<uint8_t> payload(n);
    for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    return SendMessage(c, T8Type::Poll, payload, T8Transport::kMarkerWritten);
  }
  std::optional<int32_t> type = T8TypeFromName(kind);
  if (!type) type = static_cast<int32_t>(std::strtoul(kind.c_str(), nullptr, 0));
  return SendMessage(c, *type, {}, T8Transport::kMarkerWritten);
}

// Never before the reply held ahead of it, so that replies keep the messages' order.
void Server::Hold(Connection& c, std::string reply) {
  std::uniform_int_distribution<int> delayMs(options_.replyDelayMinMs, options_.replyDelayMaxMs);
  Steady::time_point due = Steady::now() + std::chrono::milliseconds(delayMs(random_));
  if (!c.held.empty()) due = std::max(due, c.held.back().due);
  c.held.push_back({due, std::move(reply)});
}

void Server::SendDueReplies() {
  const auto now = Steady::now();
  for (auto& c : connections_) {
    while (c->fd >= 0 && !c->held.empty() && c->held.front().due <= now) {
      const std::string reply = std::move(c->held.front().reply);
      c->held.pop_front();
      if (!SendReply(*c, reply)) Close(*c, false);
    }
  }
}

int Server::MsUntilNextDue() const {
  std::optional<Steady::time_point> next;
  for (const auto& c : connections_) {
    if (c->fd >= 0 && !c->held.empty() && (!next || c->held.front().due < *next)) {
      next = c->held.front().due;
    }
  }
  if (!next) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Steady::now());
  return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void Server::Close(Connection& c, bool abortive) {
  c.held.clear();
  if (c.fd < 0) return;
  if (abortive) {
    const linger hard{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  close(c.fd);
  c.fd = -1;
  std::printf("CLOSE %d\n", c.id);
}

bool Server::IsReply(const std::string& reply) const {
  std::istringstream words(reply);
  std::string kind;
  words >> kind;
  static const char* kinds[] = {"silent", "close", "reset", "alt-marker", "bad-marker", "bad-header",
                                "short", "zero-length", "negative-length", "huge-length", "stall"};
  for (const char* k : kinds) {
    if (kind == k) return true;
  }
  if (kind == "big") {
    long n = -1;
    return static_cast<bool>(words >> n) && n >= 0 && n <= kT8MaxMessageLength - 18;
  }
  if (T8TypeFromName(kind)) return true;
  char* end = nullptr;
  std::strtoul(kind.c_str(), &end, 0);
  return !kind.empty() && end && *end == '\0';
}

void Server::Command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, rest;
  words >> verb;
  std::getline(words >> std::ws, rest);
  auto flag = [&](bool& value) {
    if (rest != "on" && rest != "off") return false;
    value = rest == "on";
    return true;
  };
  bool ok = true;
  if (verb.empty() || verb[0] == '#') {
    return;
  } else if (verb == "next" && IsReply(rest)) {
    nextReplies_.push_back(rest);
  } else if (verb == "send" && IsReply(rest)) {
    Connection* newest = nullptr;
    for (auto& c : connections_) {
      if (c->fd >= 0) newest = c.get();
    }
    if (!newest || !SendReply(*newest, rest)) ok = false;
  } else if (verb == "login") {
    ok = flag(options_.login);
  } else if (verb == "ack") {
    ok = flag(options_.ack);
  } else if (verb == "silent") {
    ok = flag(options_.silent);
  } else if (verb == "close" || verb == "reset") {
    for (auto& c : connections_) Close(*c, verb == "reset");
  } else if (verb == "sync") {
    // nothing: a harness that sees this OK knows all earlier output is out
  } else if (verb == "quit") {
    quit_ = true;
  } else {
    ok = false;
  }
  std::printf(ok ? "OK %s\n" : "ERROR %s\n", line.c_str());
}

void Server::ReadCommands() {
  char chunk[4096];
  const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
  if (n <= 0) {
    if (n == 0 || errno != EINTR) stdinOpen_ = false;  // EOF: go on serving without commands
    return;
  }
  commandInput_.append(chunk, static_cast<std::size_t>(n));
  std::size_t end;
  while ((end = commandInput_.find('\n')) != std::string::npos) {
    std::string line = commandInput_.substr(0, end);
    commandInput_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Command(line);
  }
}

void Server::Summary() {
  std::printf("SUMMARY connections=%d frames=%llu events=%llu\n", nextId_ - 1,
              static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(events_));
}

int Server::Run() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC);
  if (!Listen()) return 1;
  if (!options_.script.empty()) {
    std::ifstream script(options_.script);
    if (!script) {
      std::fprintf(stderr, "t8-server: cannot read %s\n", options_.script.c_str());
      return 1;
    }
    for (std::string line; std::getline(script, line);) Command(line);
  }
  while (!quit_) {
    std::fflush(stdout);
    std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {signalFd_, POLLIN, 0},
                               {stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
    for (const auto& c : connections_) fds.push_back({c->fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), MsUntilNextDue()) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) Accept();
    if (fds[2].revents & (POLLIN | POLLHUP)) ReadCommands();
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (fds[i].revents && connections_[i - 3]->fd >= 0) ReadFrom(*connections_[i - 3]);
    }
    SendDueReplies();
    std::erase_if(connections_, [](const auto& c) { return c->fd < 0; });
  }
  Summary();
  std::fflush(stdout);
  return 0;
}

// "MIN:MAX" in milliseconds, 0 <= MIN <= MAX.
bool ParseDelay(const std::string& text, Options& o) {
  char* end = nullptr;
  const long min = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != ':') return false;
  const char* rest = end + 1;
  const long max = std::strtol(rest, &end, 10);
  if (end == rest || *end != '\0' || min < 0 || max < min || max > 3600000) return false;
  o.delayReplies = true;
  o.replyDelayMinMs = static_cast<int>(min);
  o.replyDelayMaxMs = static_cast<int>(max);
  return true;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--port") {
      const auto v = value();
      char* end = nullptr;
      const long port = v ? std::strtol(v->c_str(), &end, 10) : -1;
      if (!v || *end != '\0' || port < 0 || port > 65535) return std::nullopt;
      o.port = static_cast<int>(port);
    } else if (arg == "--bind" || arg == "--script") {
      const auto v = value();
      if (!v) return std::nullopt;
      (arg == "--bind" ? o.bind : o.script) = *v;
    } else if (arg == "--reply-delay") {
      const auto v = value();
      if (!v || !ParseDelay(*v, o)) return std::nullopt;
    } else if (arg == "--no-login") {
      o.login = false;
    } else if (arg == "--deny") {
      o.deny = true;
    } else if (arg == "--poll-every") {
      const auto v = value();
      char* end = nullptr;
      const long every = v ? std::strtol(v->c_str(), &end, 10) : -1;
      if (!v || *end != '\0' || every < 1 || every > 1000000000) return std::nullopt;
      o.pollEvery = static_cast<int>(every);
    } else if (arg == "--no-ack") {
      o.ack = false;
    } else if (arg == "--silent") {
      o.silent = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--stamps") {
      o.stamps = true;
    } else {
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto options = ParseOptions(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return Server(*options).Run();
}
