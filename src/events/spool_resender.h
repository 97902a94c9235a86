#pragma once
// Feeds spool files back to the links: the first two steps of the 200 ms tick, and
// the T8 worker's part on EventAck and on every new connection.
//
// T8: while LinkUp, at most one .dd8 file every 3 s (oldest first). The file stays
// until the EventAck of its own message arrives (an acknowledgement of a live event
// queued ahead of it must not delete a file whose copy has not even gone out); then it
// is deleted and the next one is due at once. A
// file the full send ring refuses stays and is tried again 3 s later.
// T7: while connected, one .ddk file per tick, padded with zeros to a whole record and
// deleted once handed over.
//
// A file that cannot be read, or a .dd8 shorter than 4 bytes (or longer than
// kMaxT8SpoolFileBytes), is set aside (see spool_store.h) and the same tick goes on
// with the next file, looking at no more than kFilesPerTick files.

#include <cstddef>
#include <mutex>
#include <string>

#include "common/clock.h"
#include "events/link_outboxes.h"
#include "events/spool_store.h"

namespace orvelgate {

class SpoolResender {
 public:
  static constexpr int64_t kT8PacingMs = 3000;
  static constexpr std::size_t kFilesPerTick = 8;
  // No .dd8 this driver writes comes near; a larger one is not a spool file of ours.
  static constexpr std::size_t kMaxT8SpoolFileBytes = 1 << 20;

  // `t8` is null when SendT8 is off, `t7` when there is no T7 link.
  SpoolResender(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, const Clock& clock);

  // UI thread: the first and second steps of SpoolTick.
  void ResendT8Step();
  void ResendT7Step();

  // T8 worker thread: on every EventAck reply, with the number of the message it
  // answers (kUnnumbered from a link that does not number: then any EventAck counts),
  // and after every established connection.
  void OnEventAck(uint64_t sequence = T8Outbox::kUnnumbered);
  void OnConnectionEstablished();
  // Whether the message numbered `sequence` is the pending file's copy (which needs no
  // keeping elsewhere: the file stays until its own EventAck).
  bool IsPendingCopy(uint64_t sequence) const;

  std::string PendingSpoolFile() const;
  DayCount LastSpoolResend() const;

 private:
  bool DueLocked(DayCount now) const;

  T8Outbox* t8_;
  T7Outbox* t7_;
  SpoolStore& store_;
  const Clock& clock_;
  mutable std::mutex mutex_;  // guards the two fields below
  std::string pendingSpoolFile_;
  uint64_t pendingSequence_ = T8Outbox::kUnnumbered;
  DayCount lastSpoolResend_ = 0.0;
};

}  // namespace orvelgate
