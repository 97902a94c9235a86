#pragma once
// The metrics as the running driver offers them. When [metrics] turns them on, the
// scrape server listens on its own thread; the user-interface thread publishes the
// core's status on every spool tick into a snapshot under a lock, and each scrape
// renders that snapshot with the counters as they are at that moment. A scrape never
// waits for the user-interface thread. When the endpoint cannot listen, one line in
// the systemd journal says why and the driver runs on without it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/driver_counters.h"
#include "app/core/driver_status.h"
#include "app/config/main_config.h"
#include "metrics/scrape_server.h"

namespace orvelgate {

class MetricsEndpoint {
 public:
  // `counters` must outlive the endpoint.
  MetricsEndpoint(const MetricsConfig& config, const DriverCounters& counters);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  bool Running() const { return server_ != nullptr; }
  uint16_t Port() const { return server_ ? server_->Port() : 0; }

  // User-interface thread: the state the next scrapes show.
  void Publish(DriverStatus status);

 private:
  std::string Scrape() const;  // the server's thread

  const DriverCounters& counters_;
  mutable std::mutex mutex_;           // guards status_
  std::optional<DriverStatus> status_;
  std::unique_ptr<ScrapeServer> server_;  // last: it stops before the rest goes
};

}  // namespace orvelgate
