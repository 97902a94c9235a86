// The window of spool files in flight: each file deleted by its own EventAck only, a
// refill as soon as one is answered, a file the server passes over set aside, live
// events not kept waiting behind the backlog, and .ddk files kept when their send failed.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <optional>

#include "events/spool_resender.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::Day8;
using testing::ErrorLine;
using testing::EventFile;
using testing::FakeT7;
using testing::FileNames;
using testing::NumberedT8;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::SetMtime;
using testing::TempDir;
using testing::WriteFileBytes;

// The name of the n-th event file, oldest first; its account is n.
std::string NameOf(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "%07X.dd8", 0x1000000 + n);
  return name;
}

int32_t AccountOf(const testing::QueuedMessage& m) { return EventRecord::Parse(m.payload)->Account; }

class SpoolWindowTest : public ::testing::Test {
 protected:
  void PutFiles(int count) {
    for (int n = 1; n <= count; ++n) {
      WriteFileBytes(NameOf(n), EventFile(n));
      SetMtime(NameOf(n), 1000 + n);
    }
    store.Rescan();
  }
  // Answers every message queued since the last call, except those of `unanswered`.
  void AnswerAll(int32_t unanswered = -1) {
    const auto queued = t8.Queued();
    for (; answered_ < queued.size(); ++answered_) {
      if (queued[answered_].type == kT8EventMessageType && AccountOf(queued[answered_]) == unanswered)
        continue;
      resender.OnEventAck(t8.sequences[answered_]);
    }
  }
  void Tick() {
    clock.Advance(200);
    resender.ResendT8Step();
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
  NumberedT8 t8{/*up=*/true, /*capacity=*/100000};
  SpoolStore store{{.spoolPrefix = ""}, clock};
  SpoolResender resender{&t8, nullptr, store, clock};
  std::size_t answered_ = 0;
};

TEST_F(SpoolWindowTest, OpensOnTheFirstAcknowledgementAndRefillsAtOnce) {
  PutFiles(40);
  int refills = 0;
  resender.SetRefillHook([&] { ++refills; });
  Tick();
  EXPECT_EQ(t8.Queued().size(), 1u);  // one file until the server has answered one
  AnswerAll();
  EXPECT_EQ(refills, 1);
  resender.ResendT8Step();  // the refill the hook asked for, before the next tick
  ASSERT_EQ(t8.Queued().size(), 1 + SpoolResender::kT8Window);
  std::vector<int32_t> accounts;
  for (const auto& m : t8.Queued()) accounts.push_back(AccountOf(m));
  EXPECT_TRUE(std::is_sorted(accounts.begin(), accounts.end()));  // oldest first
  EXPECT_EQ(accounts.back(), 1 + static_cast<int32_t>(SpoolResender::kT8Window));
  EXPECT_EQ(resender.InFlight().size(), SpoolResender::kT8Window);
}

TEST_F(SpoolWindowTest, EachFileIsDeletedOnlyByItsOwnEventAck) {
  PutFiles(20);
  Tick();
  AnswerAll();  // file 1
  Tick();
  ASSERT_EQ(resender.InFlight().size(), SpoolResender::kT8Window);
  // A live event queued behind the window: its EventAck deletes nothing.
  const uint64_t live = t8.next++;
  resender.OnEventAck(live);
  EXPECT_EQ(store.Count(SpoolKind::T8), 19u);
  EXPECT_EQ(FileNames(dir.path()).size(), 19u);
  // Answers out of order, one file each.
  for (const std::size_t k : {5u, 2u, 9u}) {
    const std::string name = NameOf(static_cast<int>(k) + 1);
    ASSERT_TRUE(fs::exists(name));
    resender.OnEventAck(t8.sequences[k]);
    EXPECT_FALSE(fs::exists(name));
  }
  EXPECT_EQ(FileNames(dir.path()).size(), 16u);
}

TEST_F(SpoolWindowTest, AFileTheServerNeverAcknowledgesIsSetAsideAndTheRestArrive) {
  PutFiles(30);
  const auto live = testing::MakeEvent(-1).Serialize();
  for (int ms = 0; ms < 30000 && store.Count(SpoolKind::T8) > 0; ms += 200) {
    Tick();
    t8.QueueNumbered(kT8EventMessageType, live);  // live traffic the server answers
    AnswerAll(/*unanswered=*/3);
  }
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{NameOf(3) + ".bad", "error.txt"}));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(12));
  std::vector<int32_t> sends(31, 0);
  for (const auto& m : t8.Queued()) {
    if (AccountOf(m) > 0) ++sends[AccountOf(m)];
  }
  EXPECT_EQ(sends[3], SpoolResender::kMaxPassedOver);
  for (int n = 1; n <= 30; ++n) {
    if (n == 3) continue;
    EXPECT_EQ(sends[n], 1) << n;
  }
}

// A file whose message the server answers with something other than an EventAck (an
// old file of another message type, say): after kMaxOtherReplies such answers it is set
// aside with its own error number, and the files behind it go out, also when it is the
// oldest and nothing else was in flight.
class SpoolOtherReplyTest : public SpoolWindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(SpoolOtherReplyTest, AFileAnsweredOtherwiseIsSetAsideAndTheRestArrive) {
  constexpr int32_t kPollAnswer = 0x02000000;
  const int odd = GetParam();
  PutFiles(10);
  for (int ms = 0; ms < 30000 && store.Count(SpoolKind::T8) > 0; ms += 200) {
    Tick();
    // The server answers every message in order; the odd file's with a Poll answer.
    const auto queued = t8.Queued();
    for (; answered_ < queued.size(); ++answered_) {
      if (AccountOf(queued[answered_]) == odd) {
        resender.OnOtherReply(t8.sequences[answered_], kPollAnswer);
      } else {
        resender.OnEventAck(t8.sequences[answered_]);
      }
    }
  }
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{NameOf(odd) + ".bad", "error.txt"}));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(kSpoolNeverAcknowledgedError));
  std::vector<int32_t> sends(11, 0);
  for (const auto& m : t8.Queued()) ++sends[AccountOf(m)];
  EXPECT_EQ(sends[odd], SpoolResender::kMaxOtherReplies);
  for (int n = 1; n <= 10; ++n) {
    if (n != odd) EXPECT_EQ(sends[n], 1) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(OddFile, SpoolOtherReplyTest, ::testing::Values(1, 3),
                         [](const auto& info) { return "File" + std::to_string(info.param); });

// LoginAccepted answers whatever comes first on a connection: it does not count against
// a file; nor does an answer to a message that carried no file.
TEST_F(SpoolWindowTest, LoginAcceptedAndAnswersToOtherMessagesDoNotCount) {
  constexpr int32_t kLoginAccepted = 0x02000003;
  PutFiles(2);
  Tick();
  ASSERT_EQ(t8.Queued().size(), 1u);
  for (int i = 0; i < 2 * SpoolResender::kMaxOtherReplies; ++i) {
    resender.OnOtherReply(t8.sequences[0], kLoginAccepted);
    resender.OnOtherReply(t8.next + 7, 0x02000000);
  }
  EXPECT_EQ(resender.InFlight(), std::vector<std::string>{NameOf(1)});
  EXPECT_EQ(FileNames(dir.path()).size(), 2u);
}

// A file sent again and again remembers the numbers of its last copies only.
TEST_F(SpoolWindowTest, AFileRemembersItsLastCopiesOnly) {
  PutFiles(1);
  for (int ms = 0; ms < 70000; ms += 200) Tick();
  const std::size_t copies = t8.Queued().size();
  ASSERT_GT(copies, SpoolResender::kMaxCopiesKept + 2);
  const std::size_t oldestKept = copies - SpoolResender::kMaxCopiesKept;
  EXPECT_FALSE(resender.IsPendingCopy(t8.sequences[oldestKept - 1]));
  EXPECT_TRUE(resender.IsPendingCopy(t8.sequences[oldestKept]));
  resender.OnEventAck(t8.sequences[oldestKept]);
  EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST_F(SpoolWindowTest, AServerThatAnswersNothingGetsTheSameFileEveryThreeSeconds) {
  PutFiles(5);
  Tick();
  AnswerAll();  // the window is open: the server answered once
  for (int ms = 0; ms < 20000; ms += 200) Tick();
  // Files 2..5 went out once; then only the oldest unanswered again, every 3 s.
  std::vector<int32_t> accounts;
  for (const auto& m : t8.Queued()) accounts.push_back(AccountOf(m));
  const auto repeats = std::count(accounts.begin(), accounts.end(), 2);
  EXPECT_EQ(repeats, 7);  // at 0 s, then 3.2 s apart for 20 s
  EXPECT_EQ(std::count(accounts.begin(), accounts.end(), 5), 1);
  EXPECT_EQ(FileNames(dir.path()).size(), 4u);  // nothing set aside, nothing deleted
}

// The worker takes the ring's messages in order; a live event queued while a large
// backlog drains goes out after at most one window of spool files.
TEST_F(SpoolWindowTest, ALiveEventOvertakesALargeBacklog) {
  PutFiles(1000);
  std::size_t served = 0;
  const auto serveOne = [&] {
    resender.OnEventAck(t8.sequences[served]);
    return t8.Queued()[served++];
  };
  for (int i = 0; i < 5; ++i) {
    Tick();
    while (served < t8.Queued().size()) serveOne();
  }
  resender.ResendT8Step();  // the window is full again
  const auto liveRecord = testing::MakeEvent(999999).Serialize();
  ASSERT_TRUE(t8.QueueNumbered(kT8EventMessageType, liveRecord).has_value());
  std::size_t before = 0;
  while (AccountOf(serveOne()) != 999999) {
    ++before;
    resender.ResendT8Step();  // refills keep coming while it waits
  }
  EXPECT_LE(before, SpoolResender::kT8Window);
  EXPECT_GT(store.Count(SpoolKind::T8), 900u);
}

// A ring that says how many messages wait in it, as the T8 worker's does.
class RingT8 : public NumberedT8 {
 public:
  using NumberedT8::NumberedT8;
  std::size_t QueuedCount() const override { return Queued().size() - taken; }
  std::size_t taken = 0;  // written by the worker
};

// A backlog of `files` files, a ring that says how deep it is, and the app's refill run
// at once on every EventAck.
class SpoolRingDepth : public ::testing::Test {
 protected:
  void PutFiles(int files) {
    for (int n = 1; n <= files; ++n) WriteFileBytes(NameOf(n), EventFile(n));
    store.emplace(SpoolStore::Options{.spoolPrefix = ""}, clock);
    resender.emplace(&t8, nullptr, *store, clock);
    resender->SetRefillHook([this] { resender->ResendT8Step(); });
  }
  // The worker writes the head and reads its reply before the next one.
  testing::QueuedMessage serveOne() {
    const std::size_t k = t8.taken++;
    resender->OnEventAck(t8.sequences[k]);
    return t8.Queued()[k];
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
  RingT8 t8{/*up=*/true, /*capacity=*/100000};
  std::optional<SpoolStore> store;
  std::optional<SpoolResender> resender;
};

TEST_F(SpoolRingDepth, ALiveEventWaitsForNoMoreThanTheSpoolMessagesQueuedAhead) {
  PutFiles(200);
  resender->ResendT8Step();
  for (int i = 0; i < 20; ++i) {
    serveOne();
    EXPECT_LE(t8.QueuedCount(), SpoolResender::kMaxQueuedAhead);
    EXPECT_GE(t8.QueuedCount(), 1u);  // the worker never runs dry
  }
  const auto live = testing::MakeEvent(999999).Serialize();
  ASSERT_TRUE(t8.QueueNumbered(kT8EventMessageType, live).has_value());
  std::size_t before = 0;
  while (AccountOf(serveOne()) != 999999) ++before;
  EXPECT_LE(before, SpoolResender::kMaxQueuedAhead);
  EXPECT_GT(store->Count(SpoolKind::T8), 150u);
}

class T7BacklogTest : public SpoolWindowTest {
 protected:
  void PutReports(int count) {
    for (int n = 1; n <= count; ++n) {
      const std::string name = NameOf(n).substr(0, 7) + ".ddk";
      WriteFileBytes(name, std::vector<uint8_t>(kT7EventSpoolSize, static_cast<uint8_t>(n)));
      SetMtime(name, 1000 + n);
    }
    store.Rescan();
  }
  FakeT7 t7{/*connected=*/true};
  SpoolResender t7Resender{nullptr, &t7, store, clock};
};

TEST_F(T7BacklogTest, AReportWhoseSendFailedIsStillThere) {
  PutReports(3);
  t7.takes = false;
  EXPECT_FALSE(t7Resender.ResendT7Step());
  EXPECT_EQ(store.Count(SpoolKind::T7), 3u);
  EXPECT_EQ(FileNames(dir.path()).size(), 3u);
  t7.takes = true;
  t7.ready = false;  // an earlier record still waits for the socket
  EXPECT_FALSE(t7Resender.ResendT7Step());
  EXPECT_TRUE(t7.sent.empty());
  t7.ready = true;
  EXPECT_FALSE(t7Resender.ResendT7Step());
  EXPECT_EQ(t7.sent.size(), 3u);
  EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST_F(T7BacklogTest, ALargeBacklogGoesOutInStepsThatAskForMore) {
  PutReports(200);
  std::size_t steps = 1;
  while (t7Resender.ResendT7Step()) ++steps;
  EXPECT_EQ(t7.sent.size(), 200u);
  EXPECT_EQ(steps, (200 + SpoolResender::kT7RecordsPerStep - 1) / SpoolResender::kT7RecordsPerStep);
  for (std::size_t i = 0; i < t7.sent.size(); ++i) EXPECT_EQ(t7.sent[i][0], static_cast<uint8_t>(i + 1));
}

// Live events that fill the ring ahead of the backlog cut the refill short; their own
// EventAcks then refill it, so the worker never runs dry and the drain never waits for
// a tick (the clock does not move here).
TEST_F(SpoolRingDepth, TheRefillCutShortByLiveEventsGoesOnWithTheirAcknowledgements) {
  PutFiles(50);
  resender->ResendT8Step();
  serveOne();  // the window opens
  for (int n = 0; n < 3; ++n) {
    const auto live = testing::MakeEvent(900000 + n).Serialize();
    ASSERT_TRUE(t8.QueueNumbered(kT8EventMessageType, live).has_value());
  }
  int spoolServed = 0;
  for (int i = 0; i < 30; ++i) {
    ASSERT_GE(t8.QueuedCount(), 1u) << "the worker ran dry after " << i << " messages";
    spoolServed += AccountOf(serveOne()) < 900000;
  }
  EXPECT_EQ(spoolServed, 27);
  EXPECT_EQ(store->Count(SpoolKind::T8), 50u - 28u);
}

}  // namespace
}  // namespace orvelgate
