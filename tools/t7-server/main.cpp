// t7-server: a reference message server for the T7 link. It listens (port 7788 unless
// told otherwise), prints every record it receives, one line each, and sends
// clock, close, arbitrary records or garbage on demand, in chunks of chosen sizes.
//
// Output lines: "READY <port>", "CONNECTED <address>", "RECORD <n> <type> <fields>"
// (n counts the records of the connection from 1), "SENT <what> <bytes> <pieces>",
// "PARTIAL <bytes>" (an unfinished record when the connection ends),
// "DISCONNECTED <why>", "ERROR <text>".

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <variant>
#include <vector>

#include "server_commands.h"
#include "t7link/t7_records.h"

namespace orvelgate::t7server {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "Usage: t7-server [options]\n"
    "A reference message server for the T7 link of orvelgate.\n"
    "  --port N           listen on port N (default 7788; 0 picks a free port)\n"
    "  --bind ADDRESS     listen on this IPv4 address (default 127.0.0.1)\n"
    "  --on-connect CMDS  run these ';'-separated commands on every new connection\n"
    "  --chunks A,B,...   split every send into pieces of these sizes\n"
    "  --delay MS         pause between pieces (default 20)\n"
    "  --rcvbuf BYTES     receive buffer of every connection (a small one fills fast)\n"
    "  --help             show this text\n"
    "Prints READY <port> once listening, then one RECORD line per received record.\n";

struct Options {
  uint16_t port = 7788;
  std::string bind = "127.0.0.1";
  std::vector<std::string> onConnect;
  std::vector<std::size_t> chunks;
  int delayMs = 20;
  int receiveBuffer = 0;  // 0: the system's
};

// A piece of a send, queued behind the command that made it.
struct Piece {
  std::vector<uint8_t> bytes;
};
using Step = std::variant<Command, Piece>;

class Server {
 public:
  explicit Server(Options options) : options_(std::move(options)) {
    chunks_ = options_.chunks;
    delayMs_ = options_.delayMs;
  }

  int Run();

 private:
  bool Listen();
  void Accept();
  void ReadConnection();
  void ReadInput();
  void Drop(const char* why, bool reset = false);
  void Queue(const std::string& line);
  void RunSteps();
  void Execute(Command command);
  void SplitSend(SendBytes send);
  bool Waiting() const;  // the front step waits for records
  bool WriteAll(const std::vector<uint8_t>& bytes);
  int PollTimeout() const;

  Options options_;
  int listener_ = -1;
  int conn_ = -1;
  bool inputOpen_ = true;
  std::string inputLine_;
  std::vector<uint8_t> received_;
  int records_ = 0;
  std::vector<std::size_t> chunks_;
  int delayMs_ = 20;
  std::deque<Step> steps_;
  SteadyClock::time_point resumeAt_{};
  bool reading_ = true;
  bool quit_ = false;
};

bool Server::Listen() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Set before listening, so that accepted connections get it and their window.
  if (options_.receiveBuffer > 0)
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer,
               sizeof options_.receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.bind.c_str(), &a.sin_addr) != 1) {
    std::fprintf(stderr, "t7-server: bad address %s\n", options_.bind.c_str());
    return false;
  }
  if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener_, 8) != 0) {
    std::fprintf(stderr, "t7-server: cannot listen on %s:%u: %s\n", options_.bind.c_str(),
                 options_.port, std::strerror(errno));
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  std::printf("READY %u\n", ntohs(a.sin_port));
  return true;
}

void Server::Accept() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (conn_ >= 0) Drop("replaced");
  conn_ = fd;
  const int on = 1;
  setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // pieces leave one by one
  records_ = 0;
  received_.clear();
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  std::printf("CONNECTED %s:%u\n", address, ntohs(peer.sin_port));
  for (const auto& line : options_.onConnect)
    for (const auto& part : SplitScript(line)) Queue(part);
}

void Server::Drop(const char* why, bool reset) {
  if (conn_ < 0) return;
  if (reset) {
    const linger abortive{1, 0};
    setsockopt(conn_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  }
  close(conn_);
  conn_ = -1;
  if (!received_.empty()) std::printf("PARTIAL %zu\n", received_.size());
  received_.clear();
  std::printf("DISCONNECTED %s\n", why);
  // The rest of a send in progress has nowhere to go; later commands stay queued.
  std::erase_if(steps_, [](const Step& s) { return std::holds_alternative<Piece>(s); });
  resumeAt_ = {};
}

void Server::ReadConnection() {
  uint8_t piece[65536];
  const ssize_t n = recv(conn_, piece, sizeof piece, 0);
  if (n <= 0) {
    if (n < 0 && errno == EINTR) return;
    Drop(n == 0 ? "by-peer" : "error");
    return;
  }
  received_.insert(received_.end(), piece, piece + n);
  std::size_t at = 0;
  for (; received_.size() - at >= kT7RecordSize; at += kT7RecordSize) {
    const std::vector<uint8_t> record(received_.begin() + static_cast<std::ptrdiff_t>(at),
                                      received_.begin() +
                                          static_cast<std::ptrdiff_t>(at + kT7RecordSize));
    std::printf("RECORD %d %s\n", ++records_, DescribeRecord(record).c_str());
  }
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(at));
}

void Server::ReadInput() {
  char piece[4096];
  const ssize_t n = read(STDIN_FILENO, piece, sizeof piece);
  if (n <= 0) {
    if (n < 0 && errno == EINTR) return;
    inputOpen_ = false;
    return;
  }
  inputLine_.append(piece, static_cast<std::size_t>(n));
  for (std::size_t end; (end = inputLine_.find('\n')) != std::string::npos;) {
    Queue(inputLine_.substr(0, end));
    inputLine_.erase(0, end + 1);
  }
}

void Server::Queue(const std::string& line) {
  Parsed parsed = ParseCommand(line);
  if (!parsed.error.empty()) {
    std::printf("ERROR %s\n", parsed.error.c_str());
    return;
  }
  if (parsed.command) steps_.push_back(std::move(*parsed.command));
}

bool Server::WriteAll(const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(conn_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces the send at the front of the queue by its pieces.
void Server::SplitSend(SendBytes send) {
  std::vector<Piece> pieces;
  std::size_t at = 0;
  for (std::size_t i = 0; at < send.bytes.size(); ++i) {
    std::size_t size = send.bytes.size() - at;
    if (!chunks_.empty()) size = std::min(size, chunks_[i % chunks_.size()]);
    pieces.push_back({{send.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       send.bytes.begin() + static_cast<std::ptrdiff_t>(at + size)}});
    at += size;
  }
  std::printf("SENT %s %zu %zu\n", send.what.c_str(), send.bytes.size(), pieces.size());
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) steps_.push_front(std::move(*it));
}

void Server::Execute(Command command) {
  if (auto* send = std::get_if<SendBytes>(&command)) {
    if (conn_ < 0) {
      std::printf("ERROR no connection for %s\n", send->what.c_str());
    } else {
      SplitSend(std::move(*send));
    }
  } else if (auto* c = std::get_if<SetChunks>(&command)) {
    chunks_ = c->sizes;
  } else if (auto* d = std::get_if<SetDelay>(&command)) {
    delayMs_ = d->ms;
  } else if (auto* sleep = std::get_if<Sleep>(&command)) {
    resumeAt_ = SteadyClock::now() + std::chrono::milliseconds(sleep->ms);
  } else if (auto* h = std::get_if<Hangup>(&command)) {
    Drop(h->reset ? "reset" : "hangup", h->reset);
  } else if (auto* r = std::get_if<SetReading>(&command)) {
    reading_ = r->on;
  } else if (std::holds_alternative<Quit>(command)) {
    quit_ = true;
  }
}

bool Server::Waiting() const {
  if (steps_.empty()) return false;
  const auto* command = std::get_if<Command>(&steps_.front());
  const auto* wait = command ? std::get_if<WaitRecords>(command) : nullptr;
  return wait && (conn_ < 0 || records_ < wait->count);
}

void Server::RunSteps() {
  while (!steps_.empty() && !quit_ && SteadyClock::now() >= resumeAt_ && !Waiting()) {
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (auto* piece = std::get_if<Piece>(&step)) {
      if (conn_ < 0) continue;
      if (!WriteAll(piece->bytes)) {
        Drop("error");
      } else if (!steps_.empty() && std::holds_alternative<Piece>(steps_.front())) {
        resumeAt_ = SteadyClock::now() + std::chrono::milliseconds(delayMs_);
      }
      continue;
    }
    Execute(std::move(std::get<Command>(step)));
  }
}

int Server::PollTimeout() const {
  if (steps_.empty() || Waiting()) return -1;  // woken by input or the connection
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
      resumeAt_ - SteadyClock::now());
  return static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
}

int Server::Run() {
  if (!Listen()) return 1;
  while (!quit_) {
    RunSteps();
    if (quit_) break;
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {listener_, POLLIN, 0};
    const int connIndex = conn_ >= 0 && reading_ ? static_cast<int>(count) : -1;
    if (connIndex >= 0) fds[count++] = {conn_, POLLIN, 0};
    const int inputIndex = inputOpen_ ? static_cast<int>(count) : -1;
    if (inputOpen_) fds[count++] = {STDIN_FILENO, POLLIN, 0};
    if (poll(fds, count, PollTimeout()) < 0 && errno != EINTR) return 1;
    if (fds[0].revents & POLLIN) Accept();
    if (connIndex >= 0 && conn_ >= 0 && (fds[connIndex].revents & (POLLIN | POLLHUP | POLLERR)))
      ReadConnection();
    if (inputIndex >= 0 && (fds[inputIndex].revents & (POLLIN | POLLHUP))) ReadInput();
  }
  Drop("quit");
  return 0;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kCommandHelp, stdout);
      std::exit(0);
    } else if (arg == "--port" && hasValue) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return false;
      o.port = static_cast<uint16_t>(port);
    } else if (arg == "--bind" && hasValue) {
      o.bind = argv[++i];
    } else if (arg == "--on-connect" && hasValue) {
      o.onConnect.push_back(argv[++i]);
    } else if (arg == "--chunks" && hasValue) {
      const Parsed p = ParseCommand(std::string("chunks ") + argv[++i]);
      if (!p.command) return false;
      o.chunks = std::get<SetChunks>(*p.command).sizes;
    } else if (arg == "--rcvbuf" && hasValue) {
      char* end = nullptr;
      const long bytes = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || bytes < 0 || bytes > INT32_MAX) return false;
      o.receiveBuffer = static_cast<int>(bytes);
    } else if (arg == "--delay" && hasValue) {
      const Parsed p = ParseCommand(std::string("delay ") + argv[++i]);
      if (!p.command) return false;
      o.delayMs = std::get<SetDelay>(*p.command).ms;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace orvelgate::t7server

int main(int argc, char** argv) {
  using namespace orvelgate::t7server;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time for the harness
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return Server(options).Run();
}
