#include "t7link/host_lookup.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace orvelgate {

namespace {

std::atomic<int> runningWorkers{0};

ResolveAnswer Ask(const Resolver& resolver, const std::string& host) {
  try {
    return resolver(host);
  } catch (const std::exception& e) {
    return {{}, e.what()};
  } catch (...) {
    return {{}, "the resolver failed"};
  }
}

}  // namespace

// One lookup. The worker keeps it alive for as long as the resolver runs, so the owner
// can give it up (or go away) at any time without waiting.
struct HostLookup::Job {
  std::string host;
  uint16_t port = 0;
  std::chrono::milliseconds deadline{0};
  Resolver resolver;

  std::mutex mutex;
  HostLookup* owner = nullptr;  // under mutex; null once the owner has given the job up
};

HostLookup::HostLookup(Resolver resolver) : resolver_(std::move(resolver)) {
  deadline_.setSingleShot(true);
  QObject::connect(&deadline_, &QTimer::timeout, &receiver_, [this] { DeadlinePassed(); });
}

HostLookup::~HostLookup() { Cancel(); }

int HostLookup::RunningWorkers() { return runningWorkers.load(); }

void HostLookup::Start(const std::string& host, uint16_t port,
                       std::chrono::milliseconds deadline) {
  Cancel();
  auto job = std::make_shared<Job>();
  job->host = host;
  job->port = port;
  job->deadline = deadline;
  job->resolver = resolver_;
  job->owner = this;
  job_ = job;
  // Even an answer known now goes through the event loop, so that OnResult never runs
  // inside Start.
  if (host.empty()) {
    Post(job, {{}, "no host name"});
  } else if (const auto address = ParseNumericIPv4(host)) {
    Post(job, {{*address}, {}});
  } else {
    StartWorker(job);
  }
}

void HostLookup::Cancel() {
  deadline_.stop();
  if (!job_) return;
  {
    std::lock_guard lock(job_->mutex);
    job_->owner = nullptr;
  }
  job_.reset();
}

void HostLookup::StartWorker(const std::shared_ptr<Job>& job) {
  if (runningWorkers.fetch_add(1) >= kMaxWorkers) {
    runningWorkers.fetch_sub(1);
    Post(job, {{}, "too many host-name lookups still waiting for an answer"});
    return;
  }
  try {
    std::thread([job = job]() mutable {
      Post(job, Ask(job->resolver, job->host));
      job.reset();  // the resolver goes here, not on whichever thread lets go last
      runningWorkers.fetch_sub(1);
    }).detach();
  } catch (const std::system_error& e) {
    runningWorkers.fetch_sub(1);
    Post(job, {{}, e.what()});
    return;
  }
  deadline_.start(std::max(job->deadline, std::chrono::milliseconds(0)));
}

void HostLookup::Post(const std::shared_ptr<Job>& job, ResolveAnswer answer) {
  // The lock keeps the owner alive from the check to the post; an event posted to
  // receiver_ is discarded with it if the owner goes away before handling it.
  std::lock_guard lock(job->mutex);
  HostLookup* owner = job->owner;
  if (!owner) return;
  QMetaObject::invokeMethod(
      &owner->receiver_, [owner, job, answer] { owner->Finish(job, answer); },
      Qt::QueuedConnection);
}

void HostLookup::Finish(const std::shared_ptr<Job>& job, const ResolveAnswer& answer) {
  if (job != job_) return;  // given up after its answer was posted
  HostLookupResult result;
  result.host = job->host;
  result.port = job->port;
  if (!answer.addresses.empty()) {
    result.outcome = HostLookupResult::Outcome::kResolved;
    result.addresses = answer.addresses;
  } else {
    result.outcome = HostLookupResult::Outcome::kFailed;
    result.error = answer.error.empty() ? "no address for the host" : answer.error;
  }
  Cancel();
  Deliver(result);
}

void HostLookup::DeadlinePassed() {
  if (!job_) return;
  HostLookupResult result;
  result.outcome = HostLookupResult::Outcome::kTimedOut;
  result.host = job_->host;
  result.port = job_->port;
  result.error = "no answer within " + std::to_string(job_->deadline.count()) + " ms";
  Cancel();  // the worker may go on; whatever it finds is dropped
  Deliver(result);
}

void HostLookup::Deliver(const HostLookupResult& result) {
  // A copy, because the handler may destroy this lookup and with it OnResult.
  const ResultEvent handler = OnResult;
  if (handler) handler(result);
}

}  // namespace orvelgate
