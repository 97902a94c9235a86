#include "t8link/t8_frame_reader.h"

#include <algorithm>
#include <array>
#include <chrono>

namespace orvelgate {

namespace {

uint64_t SteadyMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void Empty(std::vector<uint8_t>& reply) {
  // A large earlier reply does not keep its memory for the rest of the run.
  if (reply.capacity() > 64 * 1024) {
    std::vector<uint8_t>().swap(reply);
  } else {
    reply.clear();
  }
}

// Reads `length` message bytes, growing the buffer only by what arrives.
T8ReadResult ReadMessage(T8ByteStream& stream, std::vector<uint8_t>& reply, std::size_t length,
                         const T8ReadLimits& limits, const std::function<uint64_t()>& now) {
  const uint64_t start = now();
  while (reply.size() < length) {
    const uint64_t spent = now() - start;
    if (spent >= limits.FrameBudgetMs) return T8ReadResult::Broken;
    const auto budgetLeft = static_cast<uint32_t>(limits.FrameBudgetMs - spent);
    const std::size_t request = std::min(length - reply.size(), limits.MaxRequest);
    const std::size_t before = reply.size();
    reply.resize(before + request);
    const T8ReadOutcome got = stream.ReadExact(
        std::span(reply).subspan(before, request), std::min(limits.RequestTimeoutMs, budgetLeft));
    reply.resize(before + std::min(got.Bytes, request));
    if (got.Status == T8IoStatus::Ok || got.Status == T8IoStatus::TimedOut) continue;
    return T8ReadResult::Broken;  // closed, failed or stopped in the middle of a frame
  }
  return T8ReadResult::Ok;
}

}  // namespace

T8ReadResult ReadFrame(T8ByteStream& stream, std::vector<uint8_t>& reply,
                       const T8ReadLimits& limits, const std::function<uint64_t()>& nowMs) {
  Empty(reply);
  std::array<uint8_t, T8Transport::kSize> header{};
  const T8ReadOutcome got = stream.ReadExact(header, limits.RequestTimeoutMs);
  if (got.Status != T8IoStatus::Ok) {
    // A header that came only in part leaves the stream out of step.
    return got.Bytes > 0 ? T8ReadResult::Broken : T8ReadResult::NoReply;
  }
  const int32_t length = TransportLength(header);
  if (length == 0) return T8ReadResult::Unreadable;
  if (length < 0 || length > limits.MaxLength) return T8ReadResult::BadLength;
  // A frame with a marker of its own is read all the same and dropped: its message
  // would otherwise be taken for the next frame's header.
  const T8ReadResult result = ReadMessage(stream, reply, static_cast<std::size_t>(length), limits,
                                          nowMs ? nowMs : std::function<uint64_t()>(SteadyMs));
  if (result == T8ReadResult::Ok && IsReplyMarker(header[T8Transport::kMarker])) return result;
  Empty(reply);
  return result == T8ReadResult::Ok ? T8ReadResult::Unreadable : result;
}

}  // namespace orvelgate
