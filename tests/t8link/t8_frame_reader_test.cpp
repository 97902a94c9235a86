#include "t8link/t8_frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <vector>

#include "common/le_bytes.h"

namespace orvelgate {
namespace {

using Bytes = std::vector<uint8_t>;

// A connection whose bytes are scripted. Every request is recorded; a request that
// cannot be filled takes its whole time-out on a fake clock, so budgets are tested
// without waiting.
class ScriptedStream final : public T8ByteStream {
 public:
  T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) override {
    requests.push_back(into.size());
    std::size_t n = std::min({into.size(), data.size(), perRequest});
    std::copy_n(data.begin(), n, into.begin());
    data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == into.size()) return {T8IoStatus::Ok, n};
    if (closedWhenDry) return {T8IoStatus::Closed, n};
    nowMs += timeoutMs;
    return {T8IoStatus::TimedOut, n};
  }

  void Append(const Bytes& bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); }

  std::deque<uint8_t> data;
  std::size_t perRequest = std::numeric_limits<std::size_t>::max();
  bool closedWhenDry = false;
  std::vector<std::size_t> requests;
  uint64_t nowMs = 0;
};

Bytes Header(uint8_t marker, int32_t length) {
  Bytes header(21, 0);
  LeWriter out(header);
  out.U8(0, marker);
  out.I32(5, length);
  out.I32(17, length);
  return header;
}

Bytes Pattern(std::size_t n) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + i / 256);
  return bytes;
}

class FrameReader : public ::testing::Test {
 protected:
  T8ReadResult Read() {
    return ReadFrame(stream, reply, T8ReadLimits{}, [this] { return stream.nowMs; });
  }
  ScriptedStream stream;
  Bytes reply;
};

TEST_F(FrameReader, LargeReplyIsRequestedIn50000BytePieces) {
  const Bytes message = Pattern(120000);
  stream.Append(Header(0xFF, 120000));
  stream.Append(message);
  ASSERT_EQ(Read(), T8ReadResult::Ok);
  EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21, 50000, 50000, 20000}));
  EXPECT_EQ(reply, message);
}

TEST_F(FrameReader, PiecesThatArriveInPartAreAppendedInOrder) {
  const Bytes message = Pattern(120000);
  stream.Append(Header(0xFF, 120000));
  stream.Append(message);
  stream.perRequest = 30000;  // each request times out after 30000 bytes
  ASSERT_EQ(Read(), T8ReadResult::Ok);
  EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21, 50000, 50000, 50000, 30000}));
  EXPECT_EQ(reply, message);
}

TEST_F(FrameReader, AlternativeMarkerIsReadLikeTheUsualOne) {
  const Bytes message = Pattern(40);
  stream.Append(Header(0xF0, 40));
  stream.Append(message);
  ASSERT_EQ(Read(), T8ReadResult::Ok);
  EXPECT_EQ(reply, message);
}

// A frame with a marker of its own still answers a message: it is read whole and
// dropped, so the next frame is read from its own header.
TEST_F(FrameReader, OtherMarkersAreReadWholeAndDropped) {
  for (uint8_t marker : {0x00, 0x01, 0x7F, 0xEF, 0xF1, 0xFE}) {
    stream = ScriptedStream{};
    reply = Pattern(5);  // the previous reply goes in any case
    stream.Append(Header(marker, 40));
    stream.Append(Pattern(40));
    const Bytes next = Pattern(30);
    stream.Append(Header(0xFF, 30));
    stream.Append(next);
    EXPECT_EQ(Read(), T8ReadResult::Unreadable) << int(marker);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21, 40})) << int(marker);
    ASSERT_EQ(Read(), T8ReadResult::Ok) << int(marker);
    EXPECT_EQ(reply, next);
  }
}

TEST_F(FrameReader, OtherMarkerCutOffInItsMessageBreaksTheStream) {
  stream.Append(Header(0x00, 40));
  stream.Append(Pattern(10));
  EXPECT_EQ(Read(), T8ReadResult::Broken);
  EXPECT_TRUE(reply.empty());
}

TEST_F(FrameReader, ZeroLengthIsUnreadable) {
  stream.Append(Header(0xFF, 0));
  EXPECT_EQ(Read(), T8ReadResult::Unreadable);
  EXPECT_TRUE(reply.empty());
}

TEST_F(FrameReader, NegativeOrAbsurdLengthIsRefusedWithoutAllocating) {
  for (int32_t length : {-1, std::numeric_limits<int32_t>::min(), kT8MaxMessageLength + 1,
                         std::numeric_limits<int32_t>::max()}) {
    for (uint8_t marker : {0xFF, 0x00}) {
      stream = ScriptedStream{};
      reply = Bytes{};
      stream.Append(Header(marker, length));
      stream.Append(Pattern(100));
      EXPECT_EQ(Read(), T8ReadResult::BadLength) << length << " " << int(marker);
      EXPECT_EQ(reply.capacity(), 0u) << length;
      EXPECT_EQ(stream.requests, std::vector<std::size_t>{21}) << length;
    }
  }
}

TEST_F(FrameReader, MissingHeaderIsNoReply) {
  EXPECT_EQ(Read(), T8ReadResult::NoReply);
  stream.closedWhenDry = true;
  EXPECT_EQ(Read(), T8ReadResult::NoReply);
}

TEST_F(FrameReader, HeaderThatArrivesInPartBreaksTheStream) {
  stream.Append(Bytes(10, 0xFF));
  EXPECT_EQ(Read(), T8ReadResult::Broken);
  EXPECT_TRUE(reply.empty());
}

TEST_F(FrameReader, PeerStallingMidFrameEndsWithinTheBudget) {
  stream.Append(Header(0xFF, 118));
  stream.Append(Pattern(20));
  EXPECT_EQ(Read(), T8ReadResult::Broken);
  EXPECT_TRUE(reply.empty());
  EXPECT_LE(stream.nowMs, T8ReadLimits{}.FrameBudgetMs + 1000u);
  EXPECT_GE(stream.nowMs, T8ReadLimits{}.FrameBudgetMs) << "a failed request is made again";
}

TEST_F(FrameReader, TricklingPeerEndsWithinTheBudget) {
  stream.Append(Header(0xFF, 1000));
  stream.Append(Pattern(1000));
  stream.perRequest = 1;  // one byte per time-out
  EXPECT_EQ(Read(), T8ReadResult::Broken);
  EXPECT_TRUE(reply.empty());
  EXPECT_LE(stream.requests.size(), 1u + 5u + 1u);
}

TEST_F(FrameReader, ConnectionClosedMidFrameBreaksTheStream) {
  stream.Append(Header(0xFF, 118));
  stream.Append(Pattern(20));
  stream.closedWhenDry = true;
  EXPECT_EQ(Read(), T8ReadResult::Broken);
  EXPECT_TRUE(reply.empty());
}

TEST_F(FrameReader, ShortMessageIsReadAsItIs) {
  stream.Append(Header(0xFF, 10));
  stream.Append(Pattern(10));
  ASSERT_EQ(Read(), T8ReadResult::Ok);
  EXPECT_EQ(reply, Pattern(10));
  EXPECT_FALSE(CheckReply(reply)) << "too short to hold a message header";
}

}  // namespace
}  // namespace orvelgate
