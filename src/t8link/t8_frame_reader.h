#pragma once
// Reading one T8 reply frame from a connection: the 21-byte transport header, then the
// message it announces, in requests of at most 50000 bytes. A hostile or broken peer
// can neither make the reader allocate beyond kT8MaxMessageLength nor keep it reading
// beyond a total time budget.

#include <cstdint>
#include <functional>
#include <vector>

#include "t8link/t8_frames.h"
#include "t8link/t8_socket.h"

namespace orvelgate {

enum class T8ReadResult {
  Ok,          // the reply buffer holds the announced bytes
  NoReply,     // nothing arrived: time-out or closed; stream in step
  Unreadable,  // a whole frame arrived that says nothing (wrong marker, zero length): it
               // still answers a message; its bytes are gone and the stream is in step
  BadLength,   // a negative or absurd length; nothing was allocated
  Broken,      // a frame arrived only in part: the stream is out of step
};

struct T8ReadLimits {
  uint32_t RequestTimeoutMs = 1000;  // each request, the header included
  uint32_t FrameBudgetMs = 5000;     // the whole message after its header
  std::size_t MaxRequest = 50000;
  int32_t MaxLength = kT8MaxMessageLength;
};

// Empties `reply`, then reads one frame into it. The buffer is empty unless the result
// is Ok. `nowMs` is a monotonic millisecond clock for the budget (steady_clock when
// empty).
T8ReadResult ReadFrame(T8ByteStream& stream, std::vector<uint8_t>& reply,
                       const T8ReadLimits& limits = {},
                       const std::function<uint64_t()>& nowMs = {});

}  // namespace orvelgate
