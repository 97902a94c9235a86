#include "support/notify_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace orvelgate::testing {

NotifyListener::NotifyListener() {
  path_ = (dir_ / "notify.sock").string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("notify socket: ") + std::strerror(errno));
  }
  reader_ = std::thread([this] { Receive(); });
}

NotifyListener::~NotifyListener() {
  const char stop = 0;
  (void)!write(wake_[1], &stop, 1);
  reader_.join();
  close(fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void NotifyListener::Receive() {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) continue;
    std::lock_guard lock(mutex_);
    // One datagram holds assignments separated by newlines.
    std::string text(buffer.data(), static_cast<std::size_t>(n));
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) received_.push_back({text.substr(start, end - start), datagrams_});
      start = end + 1;
    }
    ++datagrams_;
    changed_.notify_all();
  }
}

std::vector<NotifyListener::Assignment> NotifyListener::Assignments() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> NotifyListener::Starting(const std::string& prefix) const {
  std::vector<std::string> texts;
  for (const auto& a : Assignments()) {
    if (a.text.rfind(prefix, 0) == 0) texts.push_back(a.text);
  }
  return texts;
}

std::size_t NotifyListener::Count(const std::string& text, std::size_t from, std::size_t to) const {
  const auto all = Assignments();
  std::size_t count = 0;
  for (std::size_t i = from; i < all.size() && i < to; ++i) {
    if (all[i].text == text) ++count;
  }
  return count;
}

std::size_t NotifyListener::Mark() {
  const std::string mark = "MARK=" + std::to_string(++marks_);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool sent =
      fd >= 0 && sendto(fd, mark.data(), mark.size(), 0, reinterpret_cast<sockaddr*>(&address),
                        sizeof address) == static_cast<ssize_t>(mark.size());
  if (fd >= 0) close(fd);
  if (!sent) throw std::runtime_error("cannot send " + mark);
  std::size_t index = 0;
  const bool seen = WaitFor([&](const std::vector<Assignment>& all) {
    for (std::size_t i = all.size(); i-- > 0;) {
      if (all[i].text == mark) {
        index = i;
        return true;
      }
    }
    return false;
  });
  if (!seen) throw std::runtime_error(mark + " never arrived");
  return index;
}

bool NotifyListener::WaitFor(const std::function<bool(const std::vector<Assignment>&)>& done,
                             std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(received_); });
}

std::optional<std::string> NotifyListener::WaitForPrefix(const std::string& prefix,
                                                         std::chrono::milliseconds timeout,
                                                         std::size_t from) const {
  std::optional<std::string> found;
  WaitFor(
      [&](const std::vector<Assignment>& all) {
        for (std::size_t i = from; i < all.size(); ++i) {
          if (all[i].text.rfind(prefix, 0) == 0) {
            found = all[i].text;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace orvelgate::testing
