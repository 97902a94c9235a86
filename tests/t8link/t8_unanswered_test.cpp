#include "t8link/t8_unanswered.h"

#include <gtest/gtest.h>

#include <stdexcept>
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

}  // namespace
}  // namespace orvelgate
