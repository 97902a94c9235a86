#pragma once
// Host-name lookup for the T7 link that never blocks the UI thread. getaddrinfo has no
// time limit of its own that we control and cannot be cancelled, so a name is looked up
// on a detached worker thread and the owner only waits, on its event loop, until the
// deadline. A worker that never returns is abandoned: it shares nothing with the owner
// but a small job record. One that answers late is not wasted: the next Start for the
// same name takes its answer (or goes on waiting for it) instead of asking again, so a
// resolver slower than the deadline (a dead first name server) still gets through.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/failure.h"

namespace orvelgate {

// What one blocking lookup found: IPv4 addresses in network byte order (the form
// tcp::StartConnect takes), or the reason there are none.
struct ResolveAnswer {
  std::vector<uint32_t> addresses;
  std::optional<Failure> failure;
};

// A blocking lookup of one name; runs on a worker thread.
using Resolver = std::function<ResolveAnswer(const std::string& host)>;

// getaddrinfo for IPv4 stream addresses, in the order it gives them; a failure is the
// resolver's own text (AddressLookupText), or its errno.
ResolveAnswer ResolveHostIPv4(const std::string& host);

// The host read as a dotted IPv4 address the way inet_aton reads it ("127.1" too), in
// network byte order; nullopt when it is a name.
std::optional<uint32_t> ParseNumericIPv4(const std::string& host);

struct HostLookupResult {
  enum class Outcome { kResolved, kFailed, kTimedOut };

  Outcome outcome = Outcome::kFailed;
  std::string host;
  uint16_t port = 0;
  std::vector<uint32_t> addresses;  // network byte order; not empty when resolved
  std::optional<Failure> failure;   // why not, when not resolved

  bool Resolved() const { return outcome == Outcome::kResolved; }
};

namespace detail {

// Where a worker's wake-up lands, on the owner's thread. It is called by name and
// carries nothing: the answer itself waits in the job, under the job's mutex, so the
// hand-over is ordered by that mutex alone (which ThreadSanitizer sees, unlike Qt's
// event queue).
class HostLookupWakeUp : public QObject {
  Q_OBJECT

 public:
  std::function<void()> onWakeUp;

 public slots:
  void WakeUp() {
    if (onWakeUp) onWakeUp();
  }
};

}  // namespace detail

// Lives on the thread that made it (the UI thread) and must be used only there; the
// result is handed to OnResult on that thread, always from the event loop and never
// from inside Start, so a handler may call Start again or destroy the lookup.
class HostLookup {
 public:
  using ResultEvent = std::function<void(const HostLookupResult& result)>;

  // Worker threads still inside a resolver, over all lookups of the program. A DNS
  // server that never answers would otherwise gain a stuck thread on every retry.
  static constexpr int kMaxWorkers = 8;

  explicit HostLookup(Resolver resolver = ResolveHostIPv4);
  ~HostLookup();  // gives up the lookup under way; never waits for its worker

  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Gives up any lookup under way and starts one for host. A dotted address needs no
  // worker; a name goes to the resolver on a worker thread, unless the last lookup of
  // that name timed out and its worker still runs or has answered with addresses: its
  // answer is then this one's. Exactly one result follows unless the lookup is given up
  // first; without an answer within the deadline it is kTimedOut ("no answer within N
  // ms").
  void Start(const std::string& host, uint16_t port, std::chrono::milliseconds deadline);

  // Gives up the lookup under way: no result comes for it. A lookup that has timed out
  // is kept for the next Start of its name.
  void Cancel();

  bool Pending() const { return job_ != nullptr; }

  static int RunningWorkers();

  ResultEvent OnResult;

 private:
  struct Job;

  static void Answer(const std::shared_ptr<Job>& job, ResolveAnswer answer);
  static void Release(const std::shared_ptr<Job>& job);
  bool TakeOverLate(const std::string& host, uint16_t port, std::chrono::milliseconds deadline);
  void StartWorker(const std::shared_ptr<Job>& job);
  void TakeAnswer();
  void DeadlinePassed();
  void Deliver(const HostLookupResult& result);

  Resolver resolver_;
  detail::HostLookupWakeUp wakeUp_;
  QTimer deadline_;
  std::shared_ptr<Job> job_;
  std::shared_ptr<Job> late_;  // the last lookup that timed out, its worker maybe still at it
};

}  // namespace orvelgate
