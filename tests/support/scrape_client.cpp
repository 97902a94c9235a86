#include "support/scrape_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvelgate::testing {

ScrapeClient::ScrapeClient(uint16_t port, const std::string& host) {
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    size = sizeof *v4;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    size = sizeof *v6;
  } else {
    return;
  }
  fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  const timeval tenSeconds{10, 0};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tenSeconds, sizeof tenSeconds);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tenSeconds, sizeof tenSeconds);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

ScrapeClient::~ScrapeClient() {
  if (fd_ >= 0) close(fd_);
}

bool ScrapeClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

std::string ScrapeClient::ReadToEnd() {
  std::string all;
  char chunk[4096];
  for (;;) {
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return all;
    all.append(chunk, static_cast<std::size_t>(n));
  }
}

HttpAnswer SplitAnswer(const std::string& response) {
  HttpAnswer answer;
  const std::size_t headEnd = response.find("\r\n\r\n");
  if (headEnd == std::string::npos) return answer;
  answer.head = response.substr(0, headEnd + 4);
  answer.statusLine = response.substr(0, response.find("\r\n"));
  answer.body = response.substr(headEnd + 4);
  return answer;
}

HttpAnswer Ask(uint16_t port, const std::string& request) {
  ScrapeClient client(port);
  if (!client.Send(request)) return {};
  return SplitAnswer(client.ReadToEnd());
}

}  // namespace orvelgate::testing
