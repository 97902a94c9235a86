#pragma once
// Feeds spool files back to the links: the first two steps of the 200 ms tick (and of
// the refill the app runs as soon as a file was acknowledged), and the T8 worker's part
// on EventAck and on every new connection.
//
// T8: while LinkUp, a window of .dd8 files is in flight, oldest first, each with the
// numbers of the messages that carried it. A file is deleted only by the EventAck of
// one of its own messages (an acknowledgement of a live event must not delete a file
// whose copy has not even gone out), and the window is refilled at once: the app is
// woken through the refill hook, so the backlog drains as fast as the server answers.
//
// The window opens to kT8Window files once the server has acknowledged a spool file;
// it starts at one file on every connection and falls back to one when the oldest file
// goes unanswered for 3 s while nothing passed it, so a server that acknowledges nothing
// gets the same file again every 3 s and no more. A file the server has passed over
// (it acknowledged a later message) is sent again after 3 s; after kMaxPassedOver such
// sends it is set aside, so one file the server never acknowledges cannot hold the
// backlog. A file whose message the server answers with anything but an EventAck
// (OnOtherReply, say a Poll answer to an old file of another message type) goes out
// again like an unanswered one. Once it has had kMaxOtherReplies such answers while the
// server acknowledges other messages on the same connection, it is set aside with error
// 13, so that the files behind it go on. When nothing else was acknowledged, the next
// file goes out once in its place, to see whether the server acknowledges anything: a
// server that acknowledges nothing gets the oldest file every 3 s, and no file is set
// aside for it. A LoginAccepted does not count: it answers whatever message comes first
// on a connection. A link that does not number its messages keeps one file in flight,
// since its EventAcks cannot say which file they answer.
//
// Each file remembers the numbers of its last kMaxCopiesKept messages only: an answer
// to an older copy no longer finds its file, which then goes out once more (a
// duplicate, never a loss).
//
// Live alarms first: the send ring is FIFO, so a live event queued now waits behind
// whatever the ring holds. The refill therefore tops the ring up to kMaxQueuedAhead
// messages only (files written and waiting for their EventAck do not hold a live event
// back): a live alarm waits for at most that many spool messages, a few milliseconds,
// while the worker still finds the next file queued when it has sent one, since every
// EventAck of a file wakes the refill, and so does that of any message while the last
// refill was cut short (live events ahead). The window itself bounds what one server
// may owe us.
//
// A file the full send ring refuses stays and is tried again 3 s later.
//
// T7: while connected, .ddk files go out oldest first, padded with zeros to a whole
// record, as long as the socket takes each one straight away (no earlier record still
// waits), at most kT7RecordsPerStep per step. A file is deleted only once the socket
// took its whole record: at once, or, when part of it had to wait in the link's buffer,
// at a later step that finds the buffer drained on the same connection. A connection
// that ends first drops that rest, and the file goes out again on the next one. One
// whose send failed stays for the next step.
//
// A file that cannot be read (a link, FIFO, folder or device under the name too), or a
// .dd8 shorter than 4 bytes (or longer than kMaxT8SpoolFileBytes), is set aside (see
// spool_store.h) and the same step goes on with the next file, looking at no more than
// kFilesPerTick such files.

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "events/link_outboxes.h"
#include "events/spool_store.h"

namespace orvelgate {

class SpoolResender {
 public:
  static constexpr int64_t kT8PacingMs = 3000;
  static constexpr std::size_t kFilesPerTick = 8;
  static constexpr std::size_t kT8Window = 16;
  static constexpr std::size_t kMaxQueuedAhead = 2;
  static constexpr int kMaxPassedOver = 3;
  static constexpr int kMaxOtherReplies = 3;
  static constexpr std::size_t kMaxCopiesKept = 16;
  static constexpr std::size_t kT7RecordsPerStep = 64;
  // No .dd8 this driver writes comes near; a larger one is not a spool file of ours.
  static constexpr std::size_t kMaxT8SpoolFileBytes = kMaxSpoolFileBytes;

  // `t8` is null when SendT8 is off, `t7` when there is no T7 link.
  SpoolResender(T8Outbox* t8, T7Outbox* t7, SpoolStore& store, const Clock& clock);

  // Called (on the worker's thread) when an acknowledged file left room in the window;
  // the app runs ResendT8Step on the UI thread soon after. Set before the worker starts.
  void SetRefillHook(std::function<void()> refillDue) { refillDue_ = std::move(refillDue); }

  // UI thread: the first and second steps of SpoolTick, and the refill.
  void ResendT8Step();
  // True when the step stopped at its limit with more files waiting and the socket
  // still taking records: the app runs it again soon rather than on the next tick.
  bool ResendT7Step();

  // T8 worker thread: on every EventAck reply, with the number of the message it
  // answers (kUnnumbered from a link that does not number: then it answers the oldest
  // file in flight), and after every established connection.
  void OnEventAck(uint64_t sequence = T8Outbox::kUnnumbered);
  void OnConnectionEstablished();
  // T8 worker thread: the message numbered `sequence` was answered by `reply`, not by
  // an EventAck. Nothing when it carried no file in flight.
  void OnOtherReply(uint64_t sequence, int32_t reply);
  // Whether the message numbered `sequence` carried a file in flight (which needs no
  // keeping elsewhere: the file stays until its own EventAck).
  bool IsPendingCopy(uint64_t sequence) const;

  // The oldest file in flight, "" when none.
  std::string PendingSpoolFile() const;
  std::vector<std::string> InFlight() const;
  DayCount LastSpoolResend() const;

 private:
  struct InFlightFile {
    std::string name;
    std::vector<uint64_t> sequences;  // every message that carried it, the newest last
    bool numbered = true;
    DayCount sentAt = 0.0;
    bool passedOver = false;  // the server answered a later message since the last send
    int passedOverSends = 0;
    int otherReplies = 0;  // answers that were neither EventAck nor LoginAccepted
  };

  bool Due(DayCount since, DayCount now) const;
  void ResendDueLocked(DayCount now);
  void RefillLocked(DayCount now);
  bool Queue(InFlightFile& file, DayCount now);
  bool InWindowLocked(const std::string& name) const;
  std::deque<InFlightFile>::iterator CarrierLocked(uint64_t sequence);
  // Sets aside every file answered otherwise kMaxOtherReplies times; whether any was.
  bool SetAsideNeverAcknowledgedLocked();
  bool SettleT7InFlight();
  std::optional<std::vector<uint8_t>> UsableT8File(const std::string& name);

  T8Outbox* t8_;
  T7Outbox* t7_;
  // The .ddk file whose record was handed over while part of it still waits for the
  // socket; UI thread only.
  struct T7InFlight {
    std::string name;
    T7Outbox::SendMark mark;
  };
  std::optional<T7InFlight> t7InFlight_;
  SpoolStore& store_;
  const Clock& clock_;
  std::function<void()> refillDue_;
  mutable std::mutex mutex_;  // guards the fields below
  std::deque<InFlightFile> window_;  // oldest first
  std::size_t windowLimit_ = 1;
  bool refillCut_ = false;  // the last refill stopped for the messages queued ahead
  DayCount refusedAt_ = 0.0;
  bool refused_ = false;
  DayCount lastSpoolResend_ = 0.0;
  // On this connection: an EventAck arrived; the next file went out in place of an
  // oldest file answered otherwise.
  bool ackSeen_ = false;
  bool probed_ = false;
};

}  // namespace orvelgate
