#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cerrno>

#include "app/service/shutdown_signals.h"

namespace orvelgate {
namespace {

int g_pipe[2] = {-1, -1};
struct sigaction g_previousTerm {};
struct sigaction g_previousInt {};

extern "C" void OnShutdownSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a request to end; dropping this one loses nothing.
  [[maybe_unused]] const ssize_t n = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

ShutdownSignals::ShutdownSignals(Callback onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  if (g_pipe[0] >= 0) return;  // another instance holds the signals
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnShutdownSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &g_previousTerm);
  sigaction(SIGINT, &action, &g_previousInt);
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
  installed_ = true;
}

ShutdownSignals::~ShutdownSignals() {
  if (!installed_) return;
  sigaction(SIGTERM, &g_previousTerm, nullptr);
  sigaction(SIGINT, &g_previousInt, nullptr);
  delete notifier_;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void ShutdownSignals::Drain() {
  unsigned char bytes[16];
  ssize_t n;
  while ((n = read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (onSignal_) onSignal_(bytes[i]);
    }
  }
}

}  // namespace orvelgate
