#pragma once
// The metrics endpoint: an HTTP listener on a thread of its own that answers
// `GET /metrics` with the scrape and everything else with 404 (scrape_request.h).
//
// It takes one connection at a time, and bounds each: the request head may be at most
// maxHead bytes and must arrive within `deadline`, and the answer must be taken within
// `deadline` too, so a slow or silent client holds the next one up for a few seconds at
// most and never reaches the rest of the driver. Idle it sleeps in poll() with no time
// limit; Stop wakes every wait at once through an event descriptor.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/diagnostics.h"

namespace orvelgate {

struct ScrapeServerOptions {
  std::string address = "127.0.0.1";  // numeric IPv4 or IPv6
  uint16_t port = 0;                  // 0: a free port (tests)
  std::chrono::milliseconds deadline{2000};
  std::size_t maxHead = 8192;
};

class ScrapeServer {
 public:
  // The scrape's text; called on the server's thread, once per GET /metrics.
  using Scrape = std::function<std::string()>;

  // Listens and starts the thread; null, with the cause in `failure`, when it cannot
  // listen (a bad address, a port in use).
  static std::unique_ptr<ScrapeServer> Start(const ScrapeServerOptions& options, Scrape scrape,
                                             Failure& failure);
  ~ScrapeServer();  // Stop
  ScrapeServer(const ScrapeServer&) = delete;
  ScrapeServer& operator=(const ScrapeServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:9488/metrics", "http://[::1]:9488/metrics".
  std::string Url() const;
  // Ends the thread, also while it waits for a client; safe to call more than once.
  void Stop();

 private:
  ScrapeServer(const ScrapeServerOptions& options, Scrape scrape, int listenFd, int stopFd,
               uint16_t port);
  void Run();
  void Serve(int client);

  const ScrapeServerOptions options_;
  const Scrape scrape_;
  const int listenFd_;
  const int stopFd_;
  const uint16_t port_;
  std::thread thread_;
};

}  // namespace orvelgate
