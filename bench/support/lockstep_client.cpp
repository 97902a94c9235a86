#include "lockstep_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "t8link/t8_frames.h"

namespace orvelgate::bench {

LockstepClient::LockstepClient(const std::string& host, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
  }
}

LockstepClient::~LockstepClient() { Close(); }

void LockstepClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool LockstepClient::ReadExact(uint8_t* into, std::size_t count) {
  for (std::size_t got = 0; got < count;) {
    const ssize_t n = recv(fd_, into + got, count - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<int32_t> LockstepClient::Exchange(int32_t type, std::span<const uint8_t> payload) {
  if (fd_ < 0) return std::nullopt;
  const auto message = BuildMessage(type, sequence_++, payload);
  if (!message) return std::nullopt;
  const auto frame = FrameMessage(*message);
  const auto start = std::chrono::steady_clock::now();
  std::array<uint8_t, T8Transport::kSize> header{};
  if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()) ||
      !ReadExact(header.data(), header.size())) {
    Close();
    return std::nullopt;
  }
  const int32_t length = TransportLength(header);
  reply_.resize(length > 0 && length <= kT8MaxMessageLength ? static_cast<std::size_t>(length) : 0);
  const auto reply = reply_.empty() || !ReadExact(reply_.data(), reply_.size()) ? std::nullopt : CheckReply(reply_);
  if (!reply) {
    Close();
    return std::nullopt;
  }
  lastRoundTrip_ = std::chrono::steady_clock::now() - start;
  return reply->Type;
}

}  // namespace orvelgate::bench
