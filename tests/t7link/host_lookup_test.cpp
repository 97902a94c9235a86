#include "t7link/host_lookup.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loopback_support.h"

namespace orvelgate {
namespace {

using namespace std::chrono_literals;
using Outcome = HostLookupResult::Outcome;
using testing::PumpFor;
using testing::PumpUntil;

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return htonl(static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 |
               static_cast<uint32_t>(c) << 8 | d);
}

// What the scripted resolver does for one host.
struct Script {
  ResolveAnswer answer{};
  bool hold = false;      // wait until Release()
  std::string throws{};   // throw this text instead of answering
};

// A resolver without DNS: answers from a script, and holds the hosts marked so until the
// test releases them. Its state is shared with the workers, which may outlive a lookup.
class ScriptedResolver {
 public:
  ScriptedResolver() : state_(std::make_shared<State>()) {}

  void Set(const std::string& host, Script script) {
    std::lock_guard lock(state_->mutex);
    state_->scripts[host] = std::move(script);
  }
  void Answer(const std::string& host, std::vector<uint32_t> addresses) {
    Set(host, {.answer = {std::move(addresses), {}}});
  }
  void Hold(const std::string& host) { Set(host, {.answer = {{Ip(192, 0, 2, 99)}, {}}, .hold = true}); }

  void Release() {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
    state_->releasedCv.notify_all();
  }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
  }
  // Whether any call ran on the thread that made this resolver (the owner's thread).
  bool RanOnOwnerThread() const {
    std::lock_guard lock(state_->mutex);
    return state_->ranOnOwnerThread;
  }
  // A held call that had to stop waiting by itself: its caller was blocked on it.
  bool HeldCallGaveUp() const {
    std::lock_guard lock(state_->mutex);
    return state_->heldCallGaveUp;
  }

  Resolver Function() const {
    return [state = state_](const std::string& host) {
      std::unique_lock lock(state->mutex);
      state->calls.push_back(host);
      if (std::this_thread::get_id() == state->ownerThread) state->ranOnOwnerThread = true;
      const auto found = state->scripts.find(host);
      if (found == state->scripts.end()) {
        return ResolveAnswer{{}, Failure::FromText("not in the script")};
      }
      const Script script = found->second;
      // Bounded, so that a lookup that wrongly waits for the resolver ends the test
      // with a failure instead of hanging it.
      if (script.hold && !state->releasedCv.wait_for(lock, 10s, [&] { return state->released; }))
        state->heldCallGaveUp = true;
      if (!script.throws.empty()) throw std::runtime_error(script.throws);
      return script.answer;
    };
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable releasedCv;
    bool released = false;
    std::map<std::string, Script> scripts;
    std::vector<std::string> calls;
    std::thread::id ownerThread = std::this_thread::get_id();
    bool ranOnOwnerThread = false;
    bool heldCallGaveUp = false;
  };
  std::shared_ptr<State> state_;
};

struct Seen {
  HostLookupResult result;
  bool onOwnerThread;
};

// Waits, without handling events, until no worker is left; what they posted stays queued.
bool WaitForWorkersWithoutEvents() {
  for (int i = 0; i < 10000 && HostLookup::RunningWorkers() > 0; ++i)
    std::this_thread::sleep_for(1ms);
  return HostLookup::RunningWorkers() == 0;
}

class HostLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CoreApp();
    ASSERT_EQ(HostLookup::RunningWorkers(), 0) << "a worker of an earlier test is still running";
    lookup = std::make_unique<HostLookup>(resolver.Function());
    lookup->OnResult = [this](const HostLookupResult& result) { Record(result); };
  }

  void TearDown() override {
    resolver.Release();
    EXPECT_TRUE(DrainWorkers());
    EXPECT_FALSE(resolver.RanOnOwnerThread());
    EXPECT_FALSE(resolver.HeldCallGaveUp());
  }

  void Record(const HostLookupResult& result) {
    seen.push_back({result, QThread::currentThread() == ownerThread});
  }

  // Lets every worker end and handles what they posted.
  bool DrainWorkers() {
    const bool ended = PumpUntil([] { return HostLookup::RunningWorkers() == 0; }, 15000);
    QCoreApplication::sendPostedEvents();
    return ended;
  }

  bool WaitForResults(std::size_t count) {
    return PumpUntil([&] { return seen.size() >= count; }, 5000);
  }

  bool WaitForCalls(std::size_t count) {
    return PumpUntil([&] { return resolver.Calls().size() >= count; }, 5000);
  }

  QThread* ownerThread = QThread::currentThread();
  ScriptedResolver resolver;
  std::unique_ptr<HostLookup> lookup;
  std::vector<Seen> seen;
};

// --- dotted addresses: no worker, no resolver ------------------------------------------

struct NumericCase {
  const char* host;
  uint32_t address;
};
void PrintTo(const NumericCase& c, std::ostream* os) { *os << c.host; }

class HostLookupNumericTest : public HostLookupTest,
                              public ::testing::WithParamInterface<NumericCase> {};

TEST_P(HostLookupNumericTest, ResolvesOnTheNextEventLoopTurnWithoutTheResolver) {
  const NumericCase& c = GetParam();
  lookup->Start(c.host, 7788, 1000ms);
  EXPECT_TRUE(seen.empty()) << "the result must not come from inside Start";
  EXPECT_TRUE(lookup->Pending());

  QCoreApplication::sendPostedEvents();  // no waiting: nothing runs elsewhere

  ASSERT_EQ(seen.size(), 1u);
  const HostLookupResult& r = seen[0].result;
  EXPECT_EQ(r.outcome, Outcome::kResolved);
  EXPECT_EQ(r.addresses, std::vector<uint32_t>{c.address});
  EXPECT_EQ(r.host, c.host);
  EXPECT_EQ(r.port, 7788);
  EXPECT_FALSE(r.failure);
  EXPECT_TRUE(seen[0].onOwnerThread);
  EXPECT_FALSE(lookup->Pending());
  EXPECT_TRUE(resolver.Calls().empty());
  EXPECT_EQ(ParseNumericIPv4(c.host), c.address);
}

INSTANTIATE_TEST_SUITE_P(Dotted, HostLookupNumericTest,
                         ::testing::Values(NumericCase{"127.0.0.1", Ip(127, 0, 0, 1)},
                                           NumericCase{"10.1.2.3", Ip(10, 1, 2, 3)},
                                           NumericCase{"255.255.255.255", Ip(255, 255, 255, 255)},
                                           // inet_aton's short form, as the client reads it today
                                           NumericCase{"127.1", Ip(127, 0, 0, 1)}));

TEST_F(HostLookupTest, EmptyHostFailsWithoutTheResolver) {
  lookup->Start("", 7788, 1000ms);
  EXPECT_TRUE(seen.empty());
  QCoreApplication::sendPostedEvents();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].result.outcome, Outcome::kFailed);
  EXPECT_TRUE(seen[0].result.failure);
  EXPECT_TRUE(resolver.Calls().empty());
}

// --- names: the resolver on a worker, the result on the owner's thread -----------------

class HostLookupNameTest : public HostLookupTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(HostLookupNameTest, GoesToTheResolverOffTheOwnersThread) {
  const std::string host = GetParam();
  resolver.Answer(host, {Ip(192, 0, 2, 7)});
  lookup->Start(host, 7788, 5000ms);
  EXPECT_TRUE(seen.empty());

  ASSERT_TRUE(WaitForResults(1));
  const HostLookupResult& r = seen[0].result;
  EXPECT_EQ(r.outcome, Outcome::kResolved);
  EXPECT_EQ(r.addresses, std::vector<uint32_t>{Ip(192, 0, 2, 7)});
  EXPECT_EQ(r.host, host);
  EXPECT_EQ(r.port, 7788);
  EXPECT_TRUE(seen[0].onOwnerThread);
  EXPECT_EQ(resolver.Calls(), std::vector<std::string>{host});
  EXPECT_FALSE(lookup->Pending());
}

// Names, and strings that only look like dotted addresses.
INSTANTIATE_TEST_SUITE_P(Names, HostLookupNameTest,
                         ::testing::Values("t7.example", "256.0.0.1", "1.2.3.4.5"));

struct AnswerCase {
  const char* name;
  Script script;
  Outcome outcome;
  std::vector<uint32_t> addresses;
  const char* error;  // nullptr: a failure exactly when not resolved, any text
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class HostLookupAnswerTest : public HostLookupTest,
                             public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(HostLookupAnswerTest, BecomesTheResult) {
  const AnswerCase& c = GetParam();
  resolver.Set("t7.example", c.script);
  lookup->Start("t7.example", 7788, 5000ms);

  ASSERT_TRUE(WaitForResults(1));
  const HostLookupResult& r = seen[0].result;
  EXPECT_EQ(r.outcome, c.outcome);
  EXPECT_EQ(r.addresses, c.addresses);
  if (c.error) {
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->Describe(), c.error);
  } else {
    EXPECT_EQ(!r.failure, c.outcome == Outcome::kResolved);
  }
  EXPECT_TRUE(seen[0].onOwnerThread);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostLookupAnswerTest,
    ::testing::Values(
        AnswerCase{"Addresses", {.answer = {{Ip(192, 0, 2, 1), Ip(192, 0, 2, 2)}, {}}},
                   Outcome::kResolved, {Ip(192, 0, 2, 1), Ip(192, 0, 2, 2)}, nullptr},
        AnswerCase{"Error", {.answer = {{}, Failure::FromText("Name or service not known")}},
                   Outcome::kFailed, {},
                   "Name or service not known"},
        AnswerCase{"Nothing", {}, Outcome::kFailed, {}, nullptr},
        AnswerCase{"Throws", {.throws = "resolver broke"}, Outcome::kFailed, {},
                   "resolver broke"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostLookupTest, AnAnswerStopsTheDeadline) {
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  lookup->Start("t7.example", 7788, 200ms);
  ASSERT_TRUE(WaitForResults(1));
  ASSERT_EQ(seen[0].result.outcome, Outcome::kResolved);
  PumpFor(400);
  EXPECT_EQ(seen.size(), 1u) << "the deadline reported as well";
}

// --- a resolver that does not answer ------------------------------------------------------

TEST_F(HostLookupTest, HungResolverGivesTheDeadlineWhileTheEventLoopRuns) {
  resolver.Hold("hung.example");
  int ticks = 0;
  int ticksAtResult = -1;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(1);
  lookup->OnResult = [&](const HostLookupResult& result) {
    ticksAtResult = ticks;
    Record(result);
  };

  lookup->Start("hung.example", 7788, 100ms);
  ASSERT_TRUE(WaitForResults(1));

  const HostLookupResult& r = seen[0].result;
  EXPECT_EQ(r.outcome, Outcome::kTimedOut);
  ASSERT_TRUE(r.failure);
  EXPECT_EQ(r.failure->Describe(), "no answer within 100 ms");
  EXPECT_TRUE(r.addresses.empty());
  EXPECT_EQ(r.host, "hung.example");
  EXPECT_TRUE(seen[0].onOwnerThread);
  EXPECT_EQ(resolver.Calls(), std::vector<std::string>{"hung.example"});
  // A blocked loop would catch up with at most one tick.
  EXPECT_GE(ticksAtResult, 2) << "the owner's event loop stood still during the lookup";
  EXPECT_FALSE(lookup->Pending());

  // The answer that comes at last is dropped, and the lookup serves the next one.
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());
  EXPECT_EQ(seen.size(), 1u);
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  lookup->Start("t7.example", 7788, 5000ms);
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(seen[1].result.outcome, Outcome::kResolved);
  EXPECT_EQ(seen[1].result.host, "t7.example");
}

// --- a lookup that outlives its deadline ---------------------------------------------------

// A resolver slower than the deadline (glibc behind a dead first name server): the
// lookup is not asked again, and its answer, late or still to come, is the next
// lookup's of the same name.
enum class LateAnswer { kBeforeTheNextStart, kDuringTheNextStart };

class HostLookupLateAnswerTest : public HostLookupTest,
                                 public ::testing::WithParamInterface<LateAnswer> {};

TEST_P(HostLookupLateAnswerTest, ServesTheNextStartOfTheSameName) {
  resolver.Hold("slow.example");
  lookup->Start("slow.example", 7788, 50ms);
  ASSERT_TRUE(WaitForResults(1));
  ASSERT_EQ(seen[0].result.outcome, Outcome::kTimedOut);
  if (GetParam() == LateAnswer::kBeforeTheNextStart) {
    resolver.Release();
    ASSERT_TRUE(DrainWorkers());
    EXPECT_EQ(seen.size(), 1u) << "a late answer is kept, not reported";
  }
  lookup->Start("slow.example", 7789, 5000ms);
  EXPECT_TRUE(lookup->Pending());
  if (GetParam() == LateAnswer::kDuringTheNextStart) resolver.Release();
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(seen[1].result.outcome, Outcome::kResolved);
  EXPECT_EQ(seen[1].result.host, "slow.example");
  EXPECT_EQ(seen[1].result.port, 7789);
  EXPECT_EQ(seen[1].result.addresses, std::vector<uint32_t>{Ip(192, 0, 2, 99)});
  EXPECT_EQ(resolver.Calls(), std::vector<std::string>{"slow.example"}) << "asked once";

  // Used once: the start after that asks the resolver afresh.
  lookup->Start("slow.example", 7788, 5000ms);
  ASSERT_TRUE(WaitForResults(3));
  EXPECT_EQ(resolver.Calls().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(When, HostLookupLateAnswerTest,
                         ::testing::Values(LateAnswer::kBeforeTheNextStart,
                                           LateAnswer::kDuringTheNextStart),
                         [](const auto& info) {
                           return std::string(info.param == LateAnswer::kBeforeTheNextStart
                                                  ? "BeforeTheNextStart"
                                                  : "DuringTheNextStart");
                         });

// A late failure is not kept: the next start asks again. So is a late answer for
// another name than the one started next.
TEST_F(HostLookupTest, ALateFailureOrAnotherNameAsksAgain) {
  resolver.Hold("other.example");
  resolver.Set("slow.example", {.answer = {{}, Failure::FromText("no such host")}, .hold = true});
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  lookup->Start("other.example", 7788, 50ms);
  ASSERT_TRUE(WaitForResults(1));
  lookup->Start("t7.example", 7788, 5000ms);
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(seen[1].result.addresses, std::vector<uint32_t>{Ip(192, 0, 2, 7)});

  lookup->Start("slow.example", 7788, 50ms);
  ASSERT_TRUE(WaitForResults(3));
  ASSERT_EQ(seen[2].result.outcome, Outcome::kTimedOut);
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());
  lookup->Start("slow.example", 7788, 5000ms);
  ASSERT_TRUE(WaitForResults(4));
  EXPECT_EQ(seen[3].result.outcome, Outcome::kFailed);
  ASSERT_TRUE(seen[3].result.failure);
  EXPECT_EQ(seen[3].result.failure->Describe(), "no such host");
  EXPECT_EQ(resolver.Calls(), (std::vector<std::string>{"other.example", "t7.example",
                                                        "slow.example", "slow.example"}));
}

// --- given-up lookups never report ---------------------------------------------------------

enum class GiveUp { kCancel, kDestroy };
enum class When { kResolverHeld, kAnswerPosted, kNumericPosted, kAfterTimeout };

struct GiveUpCase {
  const char* name;
  GiveUp how;
  When when;
};
void PrintTo(const GiveUpCase& c, std::ostream* os) { *os << c.name; }

class HostLookupGiveUpTest : public HostLookupTest,
                             public ::testing::WithParamInterface<GiveUpCase> {};

TEST_P(HostLookupGiveUpTest, NoResultAndNoLateAnswer) {
  const GiveUpCase& c = GetParam();
  resolver.Hold("hung.example");
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  switch (c.when) {
    case When::kResolverHeld:
      lookup->Start("hung.example", 7788, 50ms);
      ASSERT_TRUE(WaitForCalls(1));
      break;
    case When::kAnswerPosted:
      lookup->Start("t7.example", 7788, 50ms);
      ASSERT_TRUE(WaitForWorkersWithoutEvents());
      break;
    case When::kNumericPosted:
      lookup->Start("127.0.0.1", 7788, 50ms);
      break;
    case When::kAfterTimeout:
      lookup->Start("hung.example", 7788, 50ms);
      ASSERT_TRUE(WaitForResults(1));
      ASSERT_EQ(seen[0].result.outcome, Outcome::kTimedOut);
      break;
  }
  const std::size_t before = seen.size();

  if (c.how == GiveUp::kCancel) {
    lookup->Cancel();
    EXPECT_FALSE(lookup->Pending());
  } else {
    lookup.reset();
  }
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());
  PumpFor(100);  // past the deadline

  EXPECT_EQ(seen.size(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostLookupGiveUpTest,
    ::testing::Values(GiveUpCase{"CancelWhileHeld", GiveUp::kCancel, When::kResolverHeld},
                      GiveUpCase{"CancelAnswerPosted", GiveUp::kCancel, When::kAnswerPosted},
                      GiveUpCase{"CancelNumericPosted", GiveUp::kCancel, When::kNumericPosted},
                      GiveUpCase{"DestroyWhileHeld", GiveUp::kDestroy, When::kResolverHeld},
                      GiveUpCase{"DestroyAnswerPosted", GiveUp::kDestroy, When::kAnswerPosted},
                      GiveUpCase{"DestroyNumericPosted", GiveUp::kDestroy, When::kNumericPosted},
                      GiveUpCase{"DestroyAfterTimeout", GiveUp::kDestroy, When::kAfterTimeout}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a second Start replaces the first -----------------------------------------------------

enum class First { kHeld, kAnswerPosted, kNumericPosted };

const char* FirstName(First first) {
  switch (first) {
    case First::kHeld: return "Held";
    case First::kAnswerPosted: return "AnswerPosted";
    case First::kNumericPosted: return "NumericPosted";
  }
  return "?";
}
void PrintTo(First first, std::ostream* os) { *os << FirstName(first); }

class HostLookupRestartTest : public HostLookupTest,
                              public ::testing::WithParamInterface<First> {};

TEST_P(HostLookupRestartTest, OnlyTheSecondReports) {
  resolver.Hold("hung.example");
  resolver.Answer("first.example", {Ip(192, 0, 2, 1)});
  resolver.Answer("second.example", {Ip(192, 0, 2, 2)});
  switch (GetParam()) {
    case First::kHeld:
      lookup->Start("hung.example", 7788, 5000ms);
      ASSERT_TRUE(WaitForCalls(1));
      break;
    case First::kAnswerPosted:
      lookup->Start("first.example", 7788, 5000ms);
      ASSERT_TRUE(WaitForWorkersWithoutEvents());
      break;
    case First::kNumericPosted:
      lookup->Start("10.0.0.1", 7788, 5000ms);
      break;
  }

  lookup->Start("second.example", 7789, 5000ms);
  ASSERT_TRUE(WaitForResults(1));
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].result.host, "second.example");
  EXPECT_EQ(seen[0].result.port, 7789);
  EXPECT_EQ(seen[0].result.addresses, std::vector<uint32_t>{Ip(192, 0, 2, 2)});
}

INSTANTIATE_TEST_SUITE_P(FirstLookup, HostLookupRestartTest,
                         ::testing::Values(First::kHeld, First::kAnswerPosted,
                                           First::kNumericPosted),
                         [](const auto& info) { return std::string(FirstName(info.param)); });

// --- the handler may start again or destroy the lookup -------------------------------------

TEST_F(HostLookupTest, HandlerStartsAgainAfterTheDeadline) {
  resolver.Hold("hung.example");
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  lookup->OnResult = [this](const HostLookupResult& result) {
    Record(result);
    if (seen.size() == 1) lookup->Start("t7.example", 7788, 5000ms);
  };
  lookup->Start("hung.example", 7788, 50ms);

  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(seen[0].result.outcome, Outcome::kTimedOut);
  EXPECT_EQ(seen[1].result.outcome, Outcome::kResolved);
  EXPECT_EQ(seen[1].result.host, "t7.example");
}

class HostLookupHandlerDestroysTest : public HostLookupTest,
                                      public ::testing::WithParamInterface<const char*> {};

TEST_P(HostLookupHandlerDestroysTest, NothingTouchesTheLookupAfterwards) {
  resolver.Hold("hung.example");
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  lookup->OnResult = [this](const HostLookupResult& result) {
    lookup.reset();  // also destroys this handler's original
    Record(result);
  };
  lookup->Start(GetParam(), 7788, 50ms);

  ASSERT_TRUE(WaitForResults(1));
  EXPECT_EQ(lookup, nullptr);
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());
  EXPECT_EQ(seen.size(), 1u);
}

// Resolved by a worker, resolved at once, and the deadline.
INSTANTIATE_TEST_SUITE_P(Results, HostLookupHandlerDestroysTest,
                         ::testing::Values("t7.example", "127.0.0.1", "hung.example"));

// --- stuck workers are bounded --------------------------------------------------------------

TEST_F(HostLookupTest, StuckWorkersAreLimitedUntilTheyReturn) {
  resolver.Hold("hung.example");
  resolver.Answer("t7.example", {Ip(192, 0, 2, 7)});
  for (int i = 0; i < HostLookup::kMaxWorkers; ++i) {
    lookup->Start("hung.example", 7788, 5000ms);  // gives up the one before, not its worker
    ASSERT_TRUE(WaitForCalls(static_cast<std::size_t>(i) + 1));
  }
  EXPECT_EQ(HostLookup::RunningWorkers(), HostLookup::kMaxWorkers);

  // Another lookup, even of another HostLookup, is refused at once.
  HostLookup other(resolver.Function());
  std::vector<HostLookupResult> otherSeen;
  other.OnResult = [&](const HostLookupResult& result) { otherSeen.push_back(result); };
  other.Start("t7.example", 7788, 5000ms);
  ASSERT_TRUE(PumpUntil([&] { return !otherSeen.empty(); }));
  EXPECT_EQ(otherSeen[0].outcome, Outcome::kFailed);
  EXPECT_TRUE(otherSeen[0].failure);
  EXPECT_EQ(resolver.Calls().size(), static_cast<std::size_t>(HostLookup::kMaxWorkers));
  EXPECT_TRUE(seen.empty());

  // Of the held lookups only the last one was not given up.
  resolver.Release();
  ASSERT_TRUE(DrainWorkers());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].result.addresses, std::vector<uint32_t>{Ip(192, 0, 2, 99)});
  other.Start("t7.example", 7788, 5000ms);
  ASSERT_TRUE(PumpUntil([&] { return otherSeen.size() == 2; }));
  EXPECT_EQ(otherSeen[1].outcome, Outcome::kResolved);
}

// --- the real resolver ------------------------------------------------------------------------

TEST_F(HostLookupTest, LocalhostThroughGetaddrinfo) {
  HostLookup real;
  std::vector<Seen> realSeen;
  real.OnResult = [&](const HostLookupResult& result) {
    realSeen.push_back({result, QThread::currentThread() == ownerThread});
  };
  real.Start("localhost", 7788, 5000ms);
  ASSERT_TRUE(PumpUntil([&] { return !realSeen.empty(); }, 10000));

  const HostLookupResult& r = realSeen[0].result;
  ASSERT_EQ(r.outcome, Outcome::kResolved);
  EXPECT_NE(std::find(r.addresses.begin(), r.addresses.end(), Ip(127, 0, 0, 1)),
            r.addresses.end());
  EXPECT_TRUE(realSeen[0].onOwnerThread);
}

}  // namespace
}  // namespace orvelgate
