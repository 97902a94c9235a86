// notify-listener: a stand-in for the service manager's notification socket, so that
// the demo (and anyone trying the driver by hand) sees what the driver tells systemd.
// It binds an AF_UNIX datagram socket at the given path (the value for NOTIFY_SOCKET),
// prints "READY <path>", then every assignment it receives on a line of its own
// ("READY=1", "STATUS=port COM3 open, ...", "WATCHDOG=1", "STOPPING=1"), until SIGTERM
// or SIGINT; it removes the socket when it ends.
//
//   notify-listener PATH
//   NOTIFY_SOCKET=PATH WATCHDOG_USEC=30000000 orvelgate

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr,
                 "usage: notify-listener PATH\n"
                 "Listens on the AF_UNIX datagram socket PATH (give it to a program as\n"
                 "NOTIFY_SOCKET) and prints each sd_notify assignment it receives.\n");
    return 2;
  }
  const std::string path = argv[1];
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "notify-listener: %s: path too long\n", path.c_str());
    return 1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  unlink(path.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "notify-listener: %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART: poll returns EINTR
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  std::printf("READY %s\n", path.c_str());
  std::fflush(stdout);
  std::vector<char> buffer(64 * 1024);
  while (!gStop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, -1) <= 0) continue;
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0) continue;
    // One datagram holds assignments separated by line breaks.
    std::string text(buffer.data(), static_cast<std::size_t>(n));
    if (text.back() != '\n') text += '\n';
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  }
  close(fd);
  unlink(path.c_str());
  return 0;
}
