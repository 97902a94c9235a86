#pragma once
// The station's acknowledgement is a promise: from that moment the driver alone holds
// the alarm. So the events a frame carries go into the event journal first, and the
// frame's acknowledgement is written to the line, and its events routed, only once the
// journal's commit of them has returned (synced). The commits run on the journal's own
// thread; frames that arrive meanwhile join the next commit, so a burst shares one sync.
//
// It is the packet handler's host: what the handler asks for one frame (acknowledgement,
// T8 event, T7 event report) is collected until FrameHandled, then held until its commit
// returns, and released in the order the frames came: the acknowledgement straight to
// the serial port, the event and the report straight to the event router. A frame
// without an event (group 0, no-event marker) needs no entry but still waits for the
// frames before it, so acknowledgements keep their order. What is safe elsewhere comes
// back through Retire (JournalRetirement): from the router, and from the T8 link by way
// of the EventAckBook.
//
// A commit that fails (disk full, I/O error) releases nothing of its frames: no
// acknowledgement, no event, exactly as when the packet log cannot be written; the
// station sends those frames again. ASCII frames, which are never acknowledged, are
// routed all the same (unjournaled), since the station will not send them again.
// When the journal cannot be opened at all, frames are refused the same way and the
// journal is tried again on every Tick.
//
// User-interface thread, except Retire (any thread).

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "events/event_journal.h"
#include "events/event_router.h"
#include "events/journal_committer.h"
#include "events/journal_retirement.h"
#include "station/packet_handler_host.h"
#include "station/serial_port.h"
#include "t7link/t7_records.h"

namespace orvelgate {

// What the journaling stage tells the rest of the driver; none of it is on the alarm's
// way from the line to the servers. Default: nothing.
class JournaledFramesWatch {
 public:
  virtual ~JournaledFramesWatch() = default;
  // The packet handler's calls that are not about the frame's delivery.
  virtual void FrameCounted(FrameKind /*kind*/, FrameResult /*result*/) {}
  virtual void DrawStationIndicator() {}
  virtual void ReportPacketProblem(PacketProblem /*problem*/) {}
  // The journal refuses commits, with the cause; told once until it works again.
  virtual void JournalFailing(const Failure& /*failure*/) {}
  virtual void JournalWorksAgain() {}
  // An acknowledgement was written, so long after the packet handler asked for it.
  virtual void AcknowledgementWritten(std::chrono::nanoseconds /*waited*/) {}
  // The monotonic time that times the waits.
  virtual std::chrono::nanoseconds MonotonicNow() const {
    return std::chrono::steady_clock::now().time_since_epoch();
  }
};

class JournaledFrames final : public PacketHandlerHost, public JournalRetirement {
 public:
  // Opens the journal; called at start and, while it is not open, on every Tick. The
  // entries it recovers are the caller's to spool (the callback runs before any frame).
  using OpenJournal = std::function<std::unique_ptr<EventJournal>()>;

  // `line`, `router` and `watch` must outlive the stage.
  JournaledFrames(OpenJournal open, SerialPort& line, EventRouter& router,
                  JournaledFramesWatch& watch);
  ~JournaledFrames() override;
  JournaledFrames(const JournaledFrames&) = delete;
  JournaledFrames& operator=(const JournaledFrames&) = delete;

  // PacketHandlerHost: collected for the frame being handled.
  void SendBytes(std::span<const uint8_t> bytes) override;
  void RouteEvent(const EventRecord& current) override;
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override;
  void FrameHandled() override;
  // Told to the watch at once.
  void DrawStationIndicator() override { watch_.DrawStationIndicator(); }
  void ReportPacketProblem(PacketProblem problem) override { watch_.ReportPacketProblem(problem); }
  void FrameCounted(FrameKind kind, FrameResult result) override {
    watch_.FrameCounted(kind, result);
  }

  // JournalRetirement: the entry's event is safe elsewhere. Any thread; the retirement
  // is written with the next commit (Tick commits one when nothing else does).
  void Retire(uint64_t journalId) override;
  // The 200 ms tick: opens a journal that is not open, writes pending retirements.
  void Tick();
  // At the end of the program: the commits end, the frames still waiting for them are
  // released and the retirements are written. Afterwards frames are refused.
  void Stop();

  bool JournalOpen() const { return journal_ != nullptr; }
  std::size_t FramesWaiting() const { return frames_.size(); }
  // How long the oldest frame has waited for its commit; zero when none waits. A long
  // wait means the acknowledgements are stuck behind the journal (a hung disk).
  std::chrono::nanoseconds OldestFrameWait() const;
  std::size_t LiveEntries() const;

 private:
  struct Frame {
    std::vector<uint8_t> ack;
    std::chrono::nanoseconds ackAskedAt{0};
    std::chrono::nanoseconds handedAt{0};  // when it began to wait for its commit
    std::optional<EventRecord> event;
    std::optional<T7Record> report;
    uint64_t eventId = 0;
    uint64_t reportId = 0;
    bool journaled = true;  // every entry it needs was committed
  };

  void TryOpen();
  uint64_t AddEntry(std::vector<uint8_t> payload, Frame& frame);
  void OnCommitted(const CommitResult& result);
  void ReleaseReady();
  bool Ready(const Frame& frame) const;
  void Release(const Frame& frame);
  void Route(const Frame& frame, uint64_t eventId, uint64_t reportId);
  void NoteStatus(const std::optional<Failure>& status);

  OpenJournal open_;
  SerialPort& line_;
  EventRouter& router_;
  JournaledFramesWatch& watch_;
  std::unique_ptr<EventJournal> journal_;
  std::unique_ptr<JournalCommitter> committer_;
  QObject context_;  // queued calls from the commit thread land here; gone with it

  Frame collecting_;
  std::deque<Frame> frames_;                     // waiting, in arrival order
  std::unordered_map<uint64_t, bool> results_;  // entry -> committed (true) or failed
  bool failing_ = false;
  std::atomic<bool> retirementsWaiting_{false};  // set by Retire on any thread
};

}  // namespace orvelgate
