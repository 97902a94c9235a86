#include "t8link/send_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "common/le_bytes.h"
#include "t8link/t8_frames.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Message(uint8_t tag) { return Bytes{tag, static_cast<uint8_t>(tag ^ 0x5A)}; }

TEST(SendRing, Holds100AndRefusesThe101st) {
  SendRing ring;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ring.PushMessage(Message(static_cast<uint8_t>(i)))) << i;
  EXPECT_EQ(ring.Count(), 100u);
  EXPECT_FALSE(ring.PushMessage(Message(200)));
  EXPECT_EQ(ring.PeekHead(), Message(0)) << "a refused push leaves the ring as it was";
  ring.DropHead();
  EXPECT_TRUE(ring.PushMessage(Message(201))) << "one written, one more accepted";
  EXPECT_FALSE(ring.PushMessage(Message(202)));
}

TEST(SendRing, KeepsOrderAcrossTheWrap) {
  SendRing ring;
  int pushed = 0;
  int taken = 0;
  // Keep the ring between 60 and 100 full for 500 messages, so both indices wrap.
  while (taken < 500) {
    while (pushed < 500 && ring.PushMessage(Message(static_cast<uint8_t>(pushed)))) ++pushed;
    for (int k = 0; k < 40 && taken < pushed; ++k, ++taken) {
      ASSERT_EQ(ring.PeekHead(), Message(static_cast<uint8_t>(taken))) << taken;
      ring.DropHead();
    }
  }
  EXPECT_TRUE(ring.Empty());
}

TEST(SendRing, EmptyRingHasNoHeadAndIgnoresDrop) {
  SendRing ring;
  EXPECT_FALSE(ring.PeekHead());
  ring.DropHead();
  EXPECT_EQ(ring.Count(), 0u);
  ASSERT_TRUE(ring.PushMessage(Message(1)));
  ring.DropHead();
  ring.DropHead();
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.PushMessage(Message(2)));
  EXPECT_EQ(ring.PeekHead(), Message(2));
}

TEST(SendRing, PeekHandsBackACopy) {
  SendRing ring;
  ASSERT_TRUE(ring.PushMessage(Message(7)));
  auto copy = ring.PeekHead();
  ASSERT_TRUE(copy);
  (*copy)[0] = 99;
  EXPECT_EQ(ring.PeekHead(), Message(7));
}

TEST(SendRing, QueueMessageNumbersEveryMessageAlsoARefusedOne) {
  SendRing ring;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(ring.QueueMessage(T8Type::EventMessage, Bytes(18, 1)));
  EXPECT_FALSE(ring.QueueMessage(T8Type::EventMessage, Bytes(18, 2)));
  EXPECT_EQ(ring.NextSequence(), 101u);
  ring.DropHead();
  ASSERT_TRUE(ring.QueueMessage(T8Type::Hello, HelloPayload()));
  // Heads 1..99, then the Hello numbered 101: 100 went to the refused message.
  for (uint64_t expected = 1; expected <= 99; ++expected) {
    const auto head = ring.PeekHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(ParseMessageHeader(*head)->Sequence, expected);
    ring.DropHead();
  }
  const auto hello = ParseMessageHeader(*ring.PeekHead());
  EXPECT_EQ(hello->Type, T8Type::Hello);
  EXPECT_EQ(hello->Sequence, 101u);
  EXPECT_EQ(hello->PayloadLength, 2);
}

// Numbering and pushing under one lock: whatever the interleaving of producers, the
// ring hands out messages in the order of their numbers, and none is lost or doubled.
TEST(SendRing, ConcurrentProducersKeepNumbersInRingOrder) {
  SendRing ring;
  constexpr int kPerProducer = 2000;
  std::atomic<int> producersDone{0};
  auto produce = [&](uint8_t producer) {
    for (int i = 0; i < kPerProducer;) {
      Bytes payload{producer, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
      if (ring.QueueMessage(T8Type::EventMessage, payload)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
    ++producersDone;
  };
  std::thread a(produce, 1), b(produce, 2);
  std::map<uint8_t, int> nextIndex{{1, 0}, {2, 0}};
  int64_t lastSequence = -1;
  int received = 0;
  while (received < 2 * kPerProducer) {
    const auto head = ring.PeekHead();
    if (!head) {
      std::this_thread::yield();
      continue;
    }
    ring.DropHead();
    const auto header = ParseMessageHeader(*head);
    ASSERT_TRUE(header);
    ASSERT_GT(static_cast<int64_t>(header->Sequence), lastSequence);
    lastSequence = static_cast<int64_t>(header->Sequence);
    const LeReader payload(std::span<const uint8_t>(*head).subspan(18));
    const uint8_t producer = *payload.U8(0);
    const int index = *payload.U16(1);
    ASSERT_EQ(index, nextIndex[producer]++) << "producer " << int(producer);
    ++received;
  }
  a.join();
  b.join();
  EXPECT_EQ(producersDone.load(), 2);
  EXPECT_TRUE(ring.Empty());
}

}  // namespace
}  // namespace orvelgate
