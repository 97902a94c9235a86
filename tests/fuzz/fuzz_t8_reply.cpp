// Arbitrary server bytes through the T8 reply reader (ReadFrame), one frame after the
// other, over a scripted connection (the reader's T8ByteStream seam: no socket, no
// thread, no real waiting) and a fake millisecond clock. Each frame read whole is also
// checked as a reply (CheckReply, ParseMessageHeader).
//
// Input: a limits byte, a script length n, n script bytes, then the server's bytes.
//   limits bits 0-1: MaxRequest (50000, 1, 7, 21)   bits 2-3: MaxLength (16 MiB, 100, 18, 1)
//   bit 4: a frame budget of 1500 ms instead of 5000
//   script: one byte per read request, used in turn (all "whole" when n is 0):
//     low two bits 0 or 3  the request is filled (Ok; Closed with what is left when the
//                          bytes run out)
//                  1       only (byte >> 2) bytes come, then the request times out
//                  2       the connection fails with (byte >> 2) bytes delivered
//
// Checks, for every frame: the reply buffer is empty unless the result is Ok; Ok means
// the header had a reply marker and a length 1..MaxLength, and the buffer is exactly the
// bytes that followed it; a bad length or an unusable header consumes nothing past the
// header; no request asks for more than MaxRequest message bytes or waits longer than
// the request time-out; a frame never takes longer than its budget plus one request.

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "t8link/t8_frame_reader.h"
#include "t8link/t8_frames.h"

namespace orvelgate::fuzz {
namespace {

constexpr std::size_t kMaxRequests[4] = {50000, 1, 7, 21};
constexpr int32_t kMaxLengths[4] = {kT8MaxMessageLength, 100, 18, 1};

class ScriptedStream final : public T8ByteStream {
 public:
  ScriptedStream(std::span<const uint8_t> script, std::span<const uint8_t> bytes, uint64_t& now,
                 const T8ReadLimits& limits)
      : script_(script), bytes_(bytes), now_(now), limits_(limits) {}

  T8ReadOutcome ReadExact(std::span<uint8_t> into, uint32_t timeoutMs) override {
    ++requests_;
    FUZZ_CHECK(timeoutMs <= limits_.RequestTimeoutMs);
    FUZZ_CHECK(into.size() == T8Transport::kSize || into.size() <= limits_.MaxRequest);
    const uint8_t step = script_.empty() ? 0 : script_[next_++ % script_.size()];
    const std::size_t left = bytes_.size() - offset_;
    std::size_t n = std::min(into.size(), left);
    T8IoStatus status = n == into.size() ? T8IoStatus::Ok : T8IoStatus::Closed;
    if ((step & 3) == 1 || (step & 3) == 2) {
      const std::size_t allowed = step >> 2;
      if (allowed < n || status != T8IoStatus::Ok) {
        n = std::min(n, allowed);
        status = (step & 3) == 1 ? T8IoStatus::TimedOut : T8IoStatus::Failed;
      }
    }
    std::memcpy(into.data(), bytes_.data() + offset_, n);
    offset_ += n;
    now_ += status == T8IoStatus::TimedOut ? timeoutMs : 1;
    return {status, n};
  }

  std::size_t Offset() const { return offset_; }
  std::size_t Left() const { return bytes_.size() - offset_; }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  int Requests() const { return requests_; }

 private:
  std::span<const uint8_t> script_;
  std::span<const uint8_t> bytes_;
  uint64_t& now_;
  const T8ReadLimits& limits_;
  std::size_t offset_ = 0;
  std::size_t next_ = 0;
  int requests_ = 0;
};

int32_t LengthAt(std::span<const uint8_t> header) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | header[T8Transport::kLength + i];
  return static_cast<int32_t>(v);
}

void CheckReplyCodec(const std::vector<uint8_t>& reply) {
  const auto checked = CheckReply(reply);
  const bool valid = reply.size() >= T8Header::kSize && reply[0] == 0xFF && reply[17] == 0xFE;
  FUZZ_CHECK(checked.has_value() == valid);
  FUZZ_CHECK(ParseMessageHeader(reply).has_value() == valid);
  if (!valid) return;
  FUZZ_CHECK(checked->Payload.size() == reply.size() - T8Header::kSize);
  FUZZ_CHECK(checked->Payload.data() == reply.data() + T8Header::kSize);
  FUZZ_CHECK(checked->Type == ParseMessageHeader(reply)->Type);
}

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;

  Input in(data, size);
  const uint8_t limitsByte = in.Byte();
  T8ReadLimits limits;
  limits.MaxRequest = kMaxRequests[limitsByte & 3];
  limits.MaxLength = kMaxLengths[(limitsByte >> 2) & 3];
  if (limitsByte & 16) limits.FrameBudgetMs = 1500;
  const auto script = in.Bytes(in.Byte());
  const auto bytes = in.Rest();

  uint64_t now = 0;
  ScriptedStream stream(script, bytes, now, limits);
  std::vector<uint8_t> reply{1, 2, 3};  // left over from an earlier reply

  for (int frame = 0; frame < 256; ++frame) {
    const std::size_t start = stream.Offset();
    const uint64_t startTime = now;
    const int requestsBefore = stream.Requests();
    const T8ReadResult result = ReadFrame(stream, reply, limits, [&now] { return now; });

    FUZZ_CHECK(result == T8ReadResult::Ok || reply.empty());
    const std::size_t consumed = stream.Offset() - start;
    const bool wholeHeader = consumed >= T8Transport::kSize;
    std::span<const uint8_t> header;
    if (wholeHeader) header = stream.Bytes().subspan(start, T8Transport::kSize);
    const bool marker = wholeHeader && (header[0] == 0xFF || header[0] == 0xF0);
    const int32_t length = wholeHeader ? LengthAt(header) : 0;

    switch (result) {
      case T8ReadResult::Ok:
        FUZZ_CHECK(marker && length > 0 && length <= limits.MaxLength);
        FUZZ_CHECK(consumed == T8Transport::kSize + static_cast<std::size_t>(length));
        FUZZ_CHECK(std::equal(reply.begin(), reply.end(),
                              stream.Bytes().begin() + static_cast<std::ptrdiff_t>(start + T8Transport::kSize)));
        CheckReplyCodec(reply);
        break;
      case T8ReadResult::BadLength:
        FUZZ_CHECK(wholeHeader && (length < 0 || length > limits.MaxLength));
        FUZZ_CHECK(consumed == T8Transport::kSize);
        break;
      case T8ReadResult::NoReply:
        FUZZ_CHECK(consumed == 0);  // nothing came
        break;
      case T8ReadResult::Unreadable:
        // A whole frame that says nothing (a marker of its own, or no message): in step.
        FUZZ_CHECK(wholeHeader && (!marker || length == 0));
        FUZZ_CHECK(length >= 0 && length <= limits.MaxLength);
        FUZZ_CHECK(consumed == T8Transport::kSize + static_cast<std::size_t>(length));
        break;
      case T8ReadResult::Broken:
        FUZZ_CHECK(consumed > 0);
        FUZZ_CHECK(!wholeHeader || (length > 0 && length <= limits.MaxLength &&
                                    consumed < T8Transport::kSize + static_cast<std::size_t>(length)));
        break;
    }
    // The budget bounds a frame: at most one request time-out past it, plus a
    // millisecond for each request that was filled.
    const uint64_t spent = now - startTime;
    const auto requests = static_cast<uint64_t>(stream.Requests() - requestsBefore);
    FUZZ_CHECK(spent <= limits.RequestTimeoutMs + limits.FrameBudgetMs + limits.RequestTimeoutMs + requests);

    if (stream.Left() == 0 && result != T8ReadResult::Ok) break;
  }
  return 0;
}
