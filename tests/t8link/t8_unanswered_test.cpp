#include "t8link/t8_unanswered.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Message(int32_t type, uint64_t sequence, Bytes payload = {}) {
  return *BuildMessage(type, sequence, payload);
}

Bytes Event(uint64_t sequence) { return Message(T8Type::EventMessage, sequence, Bytes(18, static_cast<uint8_t>(sequence))); }

class T8UnansweredTest : public ::testing::Test {
 protected:
  T8Unanswered books{[this](const T8HeldMessage& m) {
    if (throws) throw std::runtime_error("disk");
    kept.push_back(m.Sequence);
    return keeps;
  }};
  std::vector<uint64_t> kept;
  bool keeps = true;
  bool throws = false;
};

TEST_F(T8UnansweredTest, EachReplyAnswersTheOldest) {
  EXPECT_EQ(books.TakeAnswered(), std::nullopt);
  books.NoteWritten(Message(T8Type::Hello, 0, {0x17, 0}));
  books.NoteWritten(Event(1));
  books.NoteWritten(BuildPoll());
  EXPECT_EQ(books.UnansweredCount(), 3u);
  EXPECT_EQ(books.TakeAnswered(), 0u);
  EXPECT_EQ(books.TakeAnswered(), 1u);
  EXPECT_EQ(books.TakeAnswered(), 0u) << "a poll has number 0";
  EXPECT_EQ(books.TakeAnswered(), std::nullopt);
}

TEST_F(T8UnansweredTest, AMessageWithoutAValidHeaderIsNotNoted) {
  books.NoteWritten(Bytes{1, 2, 3});
  EXPECT_EQ(books.UnansweredCount(), 0u);
}

TEST_F(T8UnansweredTest, GivingUpKeepsEventsOldestFirstAndForgetsTheRest) {
  books.NoteWritten(Event(4));
  books.NoteWritten(Message(T8Type::PortNotice, 5, {0}));
  books.NoteWritten(Event(6));
  books.GiveUpAll();
  EXPECT_EQ(kept, (std::vector<uint64_t>{4, 6}));
  EXPECT_EQ(books.UnansweredCount(), 0u);
  EXPECT_EQ(books.HeldBackCount(), 0u);
}

TEST_F(T8UnansweredTest, WhatTheKeeperRefusesOrFailsOnIsHeldBack) {
  books.NoteWritten(Event(4));
  books.NoteWritten(Event(5));
  keeps = false;
  books.GiveUpAll();
  EXPECT_EQ(books.HeldBackCount(), 2u);
  throws = true;
  books.NoteWritten(Event(6));
  books.GiveUpAll();
  EXPECT_EQ(books.HeldBackCount(), 3u);
  const auto held = books.TakeHeldBack();
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0].Sequence, 4u);
  EXPECT_EQ(held[0].Payload, Bytes(18, 4));
  EXPECT_EQ(held[2].Sequence, 6u);
  EXPECT_EQ(books.HeldBackCount(), 0u);
}

TEST_F(T8UnansweredTest, Beyond100TheOldestIsGivenUp) {
  for (uint64_t i = 0; i < T8Unanswered::kMaxUnanswered; ++i) books.NoteWritten(Event(i));
  EXPECT_TRUE(kept.empty());
  books.NoteWritten(Event(100));
  EXPECT_EQ(kept, std::vector<uint64_t>{0});
  EXPECT_EQ(books.UnansweredCount(), 100u);
  EXPECT_EQ(books.TakeAnswered(), 1u);
}

TEST_F(T8UnansweredTest, RequeueStopsAtTheFirstRefusal) {
  keeps = false;
  for (uint64_t i = 1; i <= 3; ++i) books.NoteWritten(Event(i));
  books.GiveUpAll();
  std::vector<uint64_t> queued;
  books.RequeueHeldBack([&](const T8HeldMessage& m) {
    if (queued.size() == 2) return false;  // the ring is full
    queued.push_back(m.Sequence);
    return true;
  });
  EXPECT_EQ(queued, (std::vector<uint64_t>{1, 2}));
  ASSERT_EQ(books.HeldBackCount(), 1u);
  EXPECT_EQ(books.TakeHeldBack()[0].Sequence, 3u);
}

TEST_F(T8UnansweredTest, TakeHeldBackGivesUpWhatIsStillUnanswered) {
  keeps = false;
  books.NoteWritten(Event(9));
  const auto held = books.TakeHeldBack();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].Sequence, 9u);
  EXPECT_EQ(books.UnansweredCount(), 0u);
}

// A message answered by something other than an EventAck: every type goes to the second
// keeper with the reply; an event it refuses, or fails on, is held back.
TEST(T8UnansweredOtherwise, EventsTheKeeperRefusesAreHeldBack) {
  std::vector<std::pair<uint64_t, std::optional<int32_t>>> seen;
  bool keeps = true;
  T8Unanswered books(
      [](const T8HeldMessage&) { return true; },
      [&](const T8HeldMessage& m, std::optional<int32_t> reply) {
        if (m.Sequence == 7) throw std::runtime_error("disk");
        seen.emplace_back(m.Sequence, reply);
        return keeps;
      });
  books.AnsweredOtherwise({0, T8Type::Poll, {}}, T8Type::Poll);
  books.AnsweredOtherwise({1, T8Type::Hello, {}}, T8Type::LoginAccepted);
  books.AnsweredOtherwise({2, T8Type::EventMessage, Bytes(18, 2)}, T8Type::Poll);
  EXPECT_EQ(books.HeldBackCount(), 0u);
  keeps = false;
  books.AnsweredOtherwise({3, T8Type::PortNotice, {}}, std::nullopt);
  EXPECT_EQ(books.HeldBackCount(), 0u) << "only events are held back";
  books.AnsweredOtherwise({4, T8Type::EventMessage, Bytes(18, 4)}, std::nullopt);
  books.AnsweredOtherwise({7, T8Type::EventMessage, Bytes(18, 7)}, T8Type::Poll);
  using Seen = std::vector<std::pair<uint64_t, std::optional<int32_t>>>;
  EXPECT_EQ(seen, (Seen{{0, T8Type::Poll}, {1, T8Type::LoginAccepted}, {2, T8Type::Poll},
                        {3, std::nullopt}, {4, std::nullopt}}));
  const auto held = books.TakeHeldBack();
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].Sequence, 4u);
  EXPECT_EQ(held[1].Payload, Bytes(18, 7));
}

TEST_F(T8UnansweredTest, WithoutASecondKeeperEventsAnsweredOtherwiseGoToTheFirst) {
  books.AnsweredOtherwise({5, T8Type::EventMessage, Bytes(18, 5)}, T8Type::Poll);
  books.AnsweredOtherwise({6, T8Type::DriverVersion, {}}, T8Type::Poll);
  EXPECT_EQ(kept, std::vector<uint64_t>{5});
  keeps = false;
  books.AnsweredOtherwise({8, T8Type::EventMessage, Bytes(18, 8)}, T8Type::Poll);
  EXPECT_EQ(books.HeldBackCount(), 1u);
}

// Over the bound the oldest held-back event is offered to the keeper once more, and let
// go when it is refused again; the newest stay.
TEST(T8UnansweredBound, BeyondTheBoundTheOldestIsKeptOrLetGo) {
  std::vector<uint64_t> offered;
  std::vector<uint64_t> letGo;
  bool keeps = false;
  T8Unanswered books(
      [&](const T8HeldMessage& m) {
        offered.push_back(m.Sequence);
        return keeps;
      },
      {}, [&](const T8HeldMessage& m) { letGo.push_back(m.Sequence); });
  for (uint64_t i = 0; i < T8Unanswered::kMaxHeldBack; ++i) books.NoteWritten(Event(i));
  books.GiveUpAll();
  EXPECT_EQ(books.HeldBackCount(), T8Unanswered::kMaxHeldBack);
  EXPECT_TRUE(letGo.empty());
  offered.clear();
  books.NoteWritten(Event(5000));
  books.GiveUpAll();
  EXPECT_EQ(offered, (std::vector<uint64_t>{5000, 0}));
  EXPECT_EQ(letGo, std::vector<uint64_t>{0});
  keeps = true;  // the spool takes files again
  books.AnsweredOtherwise({5001, T8Type::EventMessage, Bytes(18, 1)}, T8Type::Poll);
  EXPECT_EQ(books.HeldBackCount(), T8Unanswered::kMaxHeldBack);
  keeps = false;
  books.AnsweredOtherwise({5002, T8Type::EventMessage, Bytes(18, 2)}, T8Type::Poll);
  EXPECT_EQ(letGo, (std::vector<uint64_t>{0, 1}));
  const auto held = books.TakeHeldBack();
  ASSERT_EQ(held.size(), T8Unanswered::kMaxHeldBack);
  EXPECT_EQ(held.front().Sequence, 2u);
  EXPECT_EQ(held.back().Sequence, 5002u);
}

}  // namespace
}  // namespace orvelgate
