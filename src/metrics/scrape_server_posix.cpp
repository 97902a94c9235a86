#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <optional>

#include "metrics/scrape_request.h"
#include "metrics/scrape_server.h"

namespace orvelgate {
namespace {

using Steady = std::chrono::steady_clock;

// How long a closed answer waits for the client to finish sending (and to close), so
// unread request bytes do not turn the close into a reset that loses the answer.
constexpr std::chrono::milliseconds kLingerBound{250};
constexpr std::chrono::milliseconds kAcceptBackoff{1000};

// poll()'s time-out until `deadline`: -1 for none.
int TimeoutMs(Steady::time_point deadline) {
  if (deadline == Steady::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// Waits until `fd` has `events` or the deadline passes. Nullopt when Stop was called
// (or poll failed); false when the time is up.
std::optional<bool> WaitFor(int fd, short events, int stopFd, Steady::time_point deadline) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(fds, 2, TimeoutMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return std::nullopt;
    if (ready == 0) return false;
    return true;
  }
}

enum class HeadRead { kComplete, kTooLong, kEnded };

// Reads until the head's empty line, more than maxHead bytes, the deadline, the
// client's close or Stop.
HeadRead ReadHead(int fd, int stopFd, std::size_t maxHead, Steady::time_point deadline,
                  std::string& head) {
  char chunk[4096];
  for (;;) {
    if (RequestHeadEnd(head)) return HeadRead::kComplete;
    if (head.size() > maxHead) return HeadRead::kTooLong;
    if (WaitFor(fd, POLLIN, stopFd, deadline) != true) return HeadRead::kEnded;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return HeadRead::kEnded;
    head.append(chunk, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, int stopFd, std::string_view bytes, Steady::time_point deadline) {
  while (!bytes.empty()) {
    if (WaitFor(fd, POLLOUT, stopFd, deadline) != true) return false;
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Reads and drops what the client still sends until it closes, within kLingerBound.
void Linger(int fd, int stopFd) {
  const auto deadline = Steady::now() + kLingerBound;
  char chunk[4096];
  while (WaitFor(fd, POLLIN, stopFd, deadline) == true) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
  }
}

struct ListenAddress {
  sockaddr_storage storage{};
  socklen_t size = 0;
};

std::optional<ListenAddress> ParseAddress(const std::string& address, uint16_t port) {
  ListenAddress a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    a.size = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    a.size = sizeof *v6;
  } else {
    return std::nullopt;
  }
  return a;
}

std::string Endpoint(const std::string& address, uint16_t port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// A listening socket, or -1 with the cause in `failure`.
int Listen(const ScrapeServerOptions& options, Failure& failure) {
  const std::string where = Endpoint(options.address, options.port);
  const auto address = ParseAddress(options.address, options.port);
  if (!address) {
    failure = Failure::FromErrno(EINVAL, "listen on " + where + ": not a numeric IPv4 or IPv6 address");
    return -1;
  }
  const int fd = socket(address->storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    failure = Failure::FromErrno(errno, "socket for " + where);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);  // a restart within TIME_WAIT
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address->storage), address->size) != 0 ||
      listen(fd, 8) != 0) {
    failure = Failure::FromErrno(errno, "listen on " + where);
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 0;
  if (bound.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

}  // namespace

std::unique_ptr<ScrapeServer> ScrapeServer::Start(const ScrapeServerOptions& options, Scrape scrape,
                                                  Failure& failure) {
  const int listenFd = Listen(options, failure);
  if (listenFd < 0) return nullptr;
  const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) {
    failure = Failure::FromErrno(errno, "eventfd for the metrics endpoint");
    close(listenFd);
    return nullptr;
  }
  return std::unique_ptr<ScrapeServer>(
      new ScrapeServer(options, std::move(scrape), listenFd, stopFd, BoundPort(listenFd)));
}

ScrapeServer::ScrapeServer(const ScrapeServerOptions& options, Scrape scrape, int listenFd,
                           int stopFd, uint16_t port)
    : options_(options), scrape_(std::move(scrape)), listenFd_(listenFd), stopFd_(stopFd),
      port_(port), thread_([this] { Run(); }) {}

ScrapeServer::~ScrapeServer() {
  Stop();
  close(stopFd_);
}

std::string ScrapeServer::Url() const {
  return "http://" + Endpoint(options_.address, port_) + "/metrics";
}

void ScrapeServer::Stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(stopFd_, &one, sizeof one);
  thread_.join();
  // Connections still waiting to be accepted are refused now, not left hanging.
  close(listenFd_);
}

void ScrapeServer::Run() {
  for (;;) {
    if (WaitFor(listenFd_, POLLIN, stopFd_, Steady::time_point::max()) != true) return;
    const int client = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client >= 0) {
      Serve(client);
      close(client);
    } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
      // Out of descriptors or memory: the listener stays readable, so wait rather than spin.
      if (WaitFor(stopFd_, POLLIN, stopFd_, Steady::now() + kAcceptBackoff) != false) return;
    }
  }
}

void ScrapeServer::Serve(int client) {
  std::string head;
  const HeadRead read = ReadHead(client, stopFd_, options_.maxHead, Steady::now() + options_.deadline, head);
  if (read == HeadRead::kEnded) return;  // silent, gone, or the end of the program
  std::string response;
  if (read == HeadRead::kComplete && AsksForMetrics(head)) {
    try {
      response = ScrapeResponse(200, scrape_());
    } catch (const std::exception& caught) {
      response = ScrapeResponse(500);
      Diagnose(Severity::kError,
               Failure::Wrap("metrics scrape", Failure::FromException(caught)).Describe());
    }
  } else {
    response = ScrapeResponse(404);
  }
  if (!WriteAll(client, stopFd_, response, Steady::now() + options_.deadline)) return;
  shutdown(client, SHUT_WR);
  Linger(client, stopFd_);
}

}  // namespace orvelgate
