#pragma once
// Wire numbers that more than one layer needs: the links own them, and the event
// routing and the spool, which sit below both links, read and write them too.

#include <cstddef>
#include <cstdint>

namespace orvelgate {

// T8 message type of one alarm event; bytes 22 00 00 03 on the wire and at the start
// of a .dd8 spool file.
inline constexpr int32_t kT8EventMessageType = 0x03000022;

// T8 reply type LoginAccepted. The server sends it in answer to whichever message comes
// first on a connection, so it says nothing about that message.
inline constexpr int32_t kT8LoginAcceptedType = 0x02000003;

// Every T7 record, in both directions, is this long.
inline constexpr std::size_t kT7RecordSize = 555;

// A T7 event report is spooled as its first 39 bytes: everything up to and including
// its last non-zero field; the rest of the record is zero.
inline constexpr std::size_t kT7EventSpoolSize = 39;

}  // namespace orvelgate
