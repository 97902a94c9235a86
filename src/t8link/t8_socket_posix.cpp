#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <string>
#include <thread>

#include "common/failure.h"
#include "t8link/t8_socket.h"

namespace orvelgate {

namespace {

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int RemainingMs(uint64_t deadline) {
  const uint64_t now = MonotonicMs();
  if (now >= deadline) return 0;
  const uint64_t left = deadline - now;
  return left > 60'000'000 ? 60'000'000 : static_cast<int>(left);
}

bool StopFdRaised(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// A name lookup cannot be interrupted, so a host name is resolved on a helper thread
// that owns its result; the caller stops waiting at its deadline or on a stop request
// and the helper cleans up after itself whenever the lookup returns.
struct LookupJob {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int rc = EAI_FAIL;
  int error = 0;  // errno of the lookup, for EAI_SYSTEM
  addrinfo* result = nullptr;
  ~LookupJob() {
    if (result) freeaddrinfo(result);
  }
};

using AddressList = std::shared_ptr<LookupJob>;

addrinfo LookupHints(int extraFlags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | extraFlags;
  return hints;
}

// Resolves host:port within the deadline. Numeric addresses never block. On failure,
// `failure` says why.
AddressList Resolve(const std::string& host, const std::string& service, uint64_t deadline,
                    int stopFd, T8IoStatus& status, std::optional<Failure>& failure) {
  auto job = std::make_shared<LookupJob>();
  const addrinfo numeric = LookupHints(AI_NUMERICHOST);
  job->rc = getaddrinfo(host.c_str(), service.c_str(), &numeric, &job->result);
  if (job->rc == 0) {
    status = T8IoStatus::Ok;
    return job;
  }
  std::thread([job, host, service] {
    const addrinfo hints = LookupHints(AI_ADDRCONFIG);
    addrinfo* result = nullptr;
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
    const int error = errno;
    std::lock_guard lock(job->mutex);
    job->rc = rc;
    job->error = error;
    job->result = result;
    job->done = true;
    job->done_cv.notify_all();
  }).detach();
  std::unique_lock lock(job->mutex);
  while (!job->done) {
    if (StopFdRaised(stopFd)) {
      status = T8IoStatus::Stopped;
      failure = Failure::FromText("stopped");
      return nullptr;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) {
      status = T8IoStatus::TimedOut;
      failure = Failure::FromText("looking up " + host + " timed out");
      return nullptr;
    }
    job->done_cv.wait_for(lock, std::chrono::milliseconds(left < 20 ? left : 20));
  }
  if (job->rc == 0) {
    status = T8IoStatus::Ok;
    return job;
  }
  status = T8IoStatus::Failed;
  failure = job->rc == EAI_SYSTEM
                ? Failure::FromErrno(job->error, "looking up " + host)
                : Failure::FromText("looking up " + host + ": " + AddressLookupText(job->rc, 0));
  return nullptr;
}

// The numeric form of an address, for failure texts.
std::string AddressText(const void* address, unsigned addressLength) {
  char text[NI_MAXHOST] = "?";
  getnameinfo(static_cast<const sockaddr*>(address), addressLength, text, sizeof text, nullptr, 0,
              NI_NUMERICHOST);
  return text;
}

}  // namespace

T8StopSignal::T8StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

T8StopSignal::~T8StopSignal() { close(fd_); }

void T8StopSignal::Raise() {
  const uint64_t one = 1;
  // The counter only grows and is never read, so the fd stays readable: a latch.
  [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

bool T8StopSignal::Raised() const { return StopFdRaised(fd_); }

bool T8StopSignal::WaitFor(uint32_t timeoutMs) const {
  pollfd p{fd_, POLLIN, 0};
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

T8WakeSignal::T8WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

T8WakeSignal::~T8WakeSignal() { close(fd_); }

void T8WakeSignal::Notify() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

void T8WakeSignal::Wait(const T8StopSignal& stop, uint32_t timeoutMs) {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  int rc;
  do {
    rc = poll(fds, 2, RemainingMs(deadline));
  } while (rc < 0 && errno == EINTR);
  if (rc > 0 && (fds[0].revents & POLLIN)) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
  }
}

T8PosixSocket::T8PosixSocket(const T8StopSignal& stop, uint32_t connectTimeoutMs,
                             uint32_t writeTimeoutMs)
    : stop_(stop), connectTimeoutMs_(connectTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

T8PosixSocket::~T8PosixSocket() { CloseSocket(); }

void T8PosixSocket::SetHost(std::string host, int port) {
  host_ = std::move(host);
  port_ = port;
}

T8IoStatus T8PosixSocket::Connect() {
  CloseSocket();
  lastFailure_.reset();
  if (port_ <= 0 || port_ > 65535) {
    lastFailure_ = Failure::FromText(host_ + ":" + std::to_string(port_) + ": the port is out of range");
    return T8IoStatus::Failed;
  }
  const uint64_t deadline = MonotonicMs() + connectTimeoutMs_;
  T8IoStatus status = T8IoStatus::Failed;
  const AddressList addresses =
      Resolve(host_, std::to_string(port_), deadline, stop_.Fd(), status, lastFailure_);
  if (!addresses) return status;
  for (const addrinfo* a = addresses->result; a; a = a->ai_next) {
    status = ConnectTo(a->ai_addr, a->ai_addrlen, a->ai_family, deadline);
    if (status == T8IoStatus::Ok) {
      lastFailure_.reset();
      return status;
    }
    if (status == T8IoStatus::Stopped || status == T8IoStatus::TimedOut) return status;
  }
  return status;
}

T8IoStatus T8PosixSocket::ConnectTo(const void* address, unsigned addressLength, int family,
                                    uint64_t deadline) {
  // "host:port" as configured, with the address tried when the host is a name.
  std::string where = AddressText(address, addressLength);
  where = (where == host_ ? host_ : host_ + " (" + where + ")") + ":" + std::to_string(port_);
  fd_ = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    lastFailure_ = Failure::FromErrno(errno, where + ": socket");
    return T8IoStatus::Failed;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // lockstep: no batching
  T8IoStatus status = T8IoStatus::Ok;
  if (connect(fd_, static_cast<const sockaddr*>(address), addressLength) != 0) {
    if (errno != EINPROGRESS) {
      lastFailure_ = Failure::FromErrno(errno, where);
      status = T8IoStatus::Failed;
    } else {
      status = WaitSocket(POLLOUT, deadline);
      int error = 0;
      socklen_t length = sizeof error;
      if (status == T8IoStatus::Ok &&
          (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)) {
        lastFailure_ = Failure::FromErrno(error != 0 ? error : errno, where);
        status = T8IoStatus::Failed;
      } else if (status == T8IoStatus::TimedOut) {
        lastFailure_ =
            Failure::FromText(where + ": no answer within " + std::to_string(connectTimeoutMs_) + " ms");
      } else if (status == T8IoStatus::Stopped) {
        lastFailure_ = Failure::FromText("stopped");
      } else if (status != T8IoStatus::Ok) {
        lastFailure_ = Failure::FromErrno(errno, where + ": poll");
      }
    }
  }
  if (status != T8IoStatus::Ok) CloseSocket();
  return status;
}

T8IoStatus T8PosixSocket::WaitSocket(short events, uint64_t deadline) const {
  pollfd fds[2] = {{fd_, events, 0}, {stop_.Fd(), POLLIN, 0}};
  for (;;) {
    const int rc = poll(fds, 2, RemainingMs(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return T8IoStatus::Failed;
    if (fds[1].revents & POLLIN) return T8IoStatus::Stopped;
    if (rc == 0) return T8IoStatus::TimedOut;
    return T8IoStatus::Ok;  // ready, or an error the next call reports
  }
}

T8IoStatus T8PosixSocket::WriteAll(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return T8IoStatus::Failed;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const T8IoStatus status = WaitSocket(POLLOUT, MonotonicMs() + writeTimeoutMs_);
      if (status != T8IoStatus::Ok) return status;
      continue;
    }
    return (errno == EPIPE || errno == ECONNRESET) ? T8IoStatus::Closed : T8IoStatus::Failed;
  }
  return T8IoStatus::Ok;
}

T8ReadOutcome T8PosixSocket::ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) {
  if (fd_ < 0) return {T8IoStatus::Failed, 0};
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  std::size_t got = 0;
  while (got < into.size()) {
    const ssize_t n = recv(fd_, into.data() + got, into.size() - got, MSG_DONTWAIT);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return {T8IoStatus::Closed, got};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return {errno == ECONNRESET ? T8IoStatus::Closed : T8IoStatus::Failed, got};
    }
    const T8IoStatus status = WaitSocket(POLLIN, deadline);
    if (status != T8IoStatus::Ok) return {status, got};
  }
  return {T8IoStatus::Ok, got};
}

void T8PosixSocket::Disconnect() { CloseSocket(); }

void T8PosixSocket::CloseSocket() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace orvelgate
