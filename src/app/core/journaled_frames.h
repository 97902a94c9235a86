#pragma once
// The station's acknowledgement is a promise: from that moment the driver alone holds
// the alarm. So the events a frame carries go into the event journal first, and the
// frame's acknowledgement is written to the line, and its events routed, only once the
// journal's commit of them has returned (synced). The commits run on the journal's own
// thread; frames that arrive meanwhile join the next commit, so a burst shares one sync.
//
// It stands between the packet handler and the rest of the program: what the handler
// asks for one frame (acknowledgement, T8 event, T7 event report) is collected until
// FrameHandled, then held until its commit returns, and released in the order the
// frames came. A frame without an event (group 0, no-event marker) needs no entry but
// still waits for the frames before it, so acknowledgements keep their order.
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
#include "events/journal_committer.h"
#include "station/packet_handler_host.h"

namespace orvelgate {

// The event report of an ASCII frame for the T7 link.
struct T7EventReportRequest {
  int32_t Account = 0;
  std::string Code;
  uint8_t Group = 0;
  DayCount Time = 0.0;
};

class JournaledFrames final : public PacketHandlerHost {
 public:
  struct Targets {
    std::function<void(std::span<const uint8_t>)> sendAck;
    std::function<void(const EventRecord&, uint64_t journalId)> routeEvent;
    std::function<void(const T7EventReportRequest&, uint64_t journalId)> sendT7EventReport;
    std::function<void()> drawStationIndicator;
    std::function<void(PacketProblem)> reportProblem;
    // The bytes of the journal entry of a T7 event report (what its .ddk would hold).
    std::function<std::vector<uint8_t>(const T7EventReportRequest&)> t7SpoolBytes;
    // The journal refuses commits, with the cause; called once until it works again.
    std::function<void(const JournalStatus&)> journalFailing;
    std::function<void()> journalWorksAgain;
    // An acknowledgement was written, so long after the packet handler asked for it.
    // Optional; `monotonicNow` times it (steady_clock when empty).
    std::function<void(std::chrono::nanoseconds)> ackWritten;
    std::function<std::chrono::nanoseconds()> monotonicNow;
  };
  // Opens the journal; called at start and, while it is not open, on every Tick. The
  // entries it recovers are the caller's to spool (the callback runs before any frame).
  using OpenJournal = std::function<std::unique_ptr<EventJournal>()>;

  JournaledFrames(OpenJournal open, Targets targets);
  ~JournaledFrames() override;
  JournaledFrames(const JournaledFrames&) = delete;
  JournaledFrames& operator=(const JournaledFrames&) = delete;

  // PacketHandlerHost: collected for the frame being handled.
  void SendBytes(std::span<const uint8_t> bytes) override;
  void RouteEvent(const EventRecord& current) override;
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override;
  void FrameHandled() override;
  // Passed on at once.
  void DrawStationIndicator() override { targets_.drawStationIndicator(); }
  void ReportPacketProblem(PacketProblem problem) override { targets_.reportProblem(problem); }

  // The entry's event is safe elsewhere. Any thread; the retirement is written with the
  // next commit (Tick commits one when nothing else does).
  void Retire(uint64_t journalId);
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
    std::optional<T7EventReportRequest> report;
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
  void NoteStatus(const JournalStatus& status);
  std::chrono::nanoseconds MonotonicNow() const;

  OpenJournal open_;
  Targets targets_;
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
