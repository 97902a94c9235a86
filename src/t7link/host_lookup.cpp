#include "t7link/host_lookup.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "common/failure.h"

namespace orvelgate {

namespace {

std::atomic<int> runningWorkers{0};

ResolveAnswer Ask(const Resolver& resolver, const std::string& host) {
  try {
    return resolver(host);
  } catch (...) {
    return {{}, Failure::FromCurrentException("the resolver failed")};
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

  std::mutex mutex;  // guards the rest
  HostLookup* owner = nullptr;  // null once the owner has given the job up
  bool answered = false;
  ResolveAnswer answer;
};

HostLookup::HostLookup(Resolver resolver) : resolver_(std::move(resolver)) {
  wakeUp_.onWakeUp = [this] { TakeAnswer(); };
  deadline_.setSingleShot(true);
  QObject::connect(&deadline_, &QTimer::timeout, &wakeUp_, [this] { DeadlinePassed(); });
}

HostLookup::~HostLookup() {
  Cancel();
  Release(late_);
}

int HostLookup::RunningWorkers() { return runningWorkers.load(); }

void HostLookup::Start(const std::string& host, uint16_t port,
                       std::chrono::milliseconds deadline) {
  Cancel();
  if (TakeOverLate(host, port, deadline)) return;
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
    Answer(job, {{}, Failure::FromText("no host name")});
  } else if (const auto address = ParseNumericIPv4(host)) {
    Answer(job, {{*address}, {}});
  } else {
    StartWorker(job);
  }
}

void HostLookup::Cancel() {
  deadline_.stop();
  Release(job_);
  job_.reset();
}

void HostLookup::Release(const std::shared_ptr<Job>& job) {
  if (!job) return;
  std::lock_guard lock(job->mutex);
  job->owner = nullptr;
}

bool HostLookup::TakeOverLate(const std::string& host, uint16_t port,
                              std::chrono::milliseconds deadline) {
  const std::shared_ptr<Job> late = std::move(late_);
  late_.reset();
  if (!late) return false;
  bool answered = false;
  bool usable = false;
  {
    std::lock_guard lock(late->mutex);
    answered = late->answered;
    usable = late->host == host && (!answered || !late->answer.addresses.empty());
    if (usable) late->owner = this;
  }
  if (!usable) {
    Release(late);
    return false;
  }
  late->port = port;
  late->deadline = deadline;
  job_ = late;
  if (answered) {
    QMetaObject::invokeMethod(&wakeUp_, "WakeUp", Qt::QueuedConnection);
  } else {
    deadline_.start(std::max(deadline, std::chrono::milliseconds(0)));
  }
  return true;
}

void HostLookup::StartWorker(const std::shared_ptr<Job>& job) {
  if (runningWorkers.fetch_add(1) >= kMaxWorkers) {
    runningWorkers.fetch_sub(1);
    Answer(job, {{}, Failure::FromText("too many host-name lookups still waiting for an answer")});
    return;
  }
  try {
    std::thread([job = job]() mutable {
      Answer(job, Ask(job->resolver, job->host));
      job.reset();  // the resolver goes here, not on whichever thread lets go last
      runningWorkers.fetch_sub(1);
    }).detach();
  } catch (const std::system_error& caught) {
    runningWorkers.fetch_sub(1);
    Answer(job, {{}, Failure::FromException(caught)});
    return;
  }
  deadline_.start(std::max(job->deadline, std::chrono::milliseconds(0)));
}

void HostLookup::Answer(const std::shared_ptr<Job>& job, ResolveAnswer answer) {
  // Under the lock the owner cannot go away between the check and the post; a wake-up
  // still queued when it does is discarded with wakeUp_.
  std::lock_guard lock(job->mutex);
  job->answer = std::move(answer);
  job->answered = true;
  if (job->owner)
    QMetaObject::invokeMethod(&job->owner->wakeUp_, "WakeUp", Qt::QueuedConnection);
}

void HostLookup::TakeAnswer() {
  // The wake-up may be a given-up job's; then the current job's answer, if any, is
  // taken now and its own wake-up finds nothing.
  if (!job_) return;
  HostLookupResult result;
  {
    std::lock_guard lock(job_->mutex);
    if (!job_->answered) return;
    result.host = job_->host;
    result.port = job_->port;
    if (!job_->answer.addresses.empty()) {
      result.outcome = HostLookupResult::Outcome::kResolved;
      result.addresses = std::move(job_->answer.addresses);
    } else {
      result.outcome = HostLookupResult::Outcome::kFailed;
      result.failure =
          job_->answer.failure.value_or(Failure::FromText("no address for the host"));
    }
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
  result.failure =
      Failure::FromText("no answer within " + std::to_string(job_->deadline.count()) + " ms");
  // The worker may go on; whatever it finds waits for the next Start of this name.
  deadline_.stop();
  Release(late_);
  late_ = std::move(job_);
  job_.reset();
  Deliver(result);
}

void HostLookup::Deliver(const HostLookupResult& result) {
  // A copy, because the handler may destroy this lookup and with it OnResult.
  const ResultEvent handler = OnResult;
  if (handler) handler(result);
}

}  // namespace orvelgate
