#include "app/metrics/metrics_endpoint.h"

#include "app/metrics/metrics_text.h"
#include "common/diagnostics.h"

namespace orvelgate {

MetricsEndpoint::MetricsEndpoint(const MetricsConfig& config, const DriverCounters& counters)
    : counters_(counters) {
  if (!config.On()) return;  // off, or a bad value the configuration check has named
  ScrapeServerOptions options;
  options.address = config.Address;
  options.port = static_cast<uint16_t>(config.Port);
  Failure failure;
  server_ = ScrapeServer::Start(options, [this] { return Scrape(); }, failure);
  if (!server_) {
    Diagnose(Severity::kError,
             "metrics: " + failure.Describe() + "; the driver runs without metrics");
    return;
  }
  Diagnose(Severity::kInfo, "metrics: " + server_->Url());
}

MetricsEndpoint::~MetricsEndpoint() {
  if (server_) server_->Stop();  // no scrape reads the snapshot from here on
}

void MetricsEndpoint::Publish(DriverStatus status) {
  std::lock_guard lock(mutex_);
  status_ = std::move(status);
}

std::string MetricsEndpoint::Scrape() const {
  MetricsInput input;
  {
    std::lock_guard lock(mutex_);
    input.status = status_;
  }
  input.counters = counters_.Read();
  input.nowNs = WallNowNs();
  return RenderMetrics(input);
}

}  // namespace orvelgate
