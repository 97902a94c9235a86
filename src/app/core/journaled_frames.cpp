#include "app/core/journaled_frames.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>

#include "common/diagnostics.h"
#include "common/wire_constants.h"
#include "events/journaled_event.h"

namespace orvelgate {

JournaledFrames::JournaledFrames(OpenJournal open, SerialPort& line, EventRouter& router,
                                 JournaledFramesWatch& watch)
    : open_(std::move(open)), line_(line), router_(router), watch_(watch) {
  TryOpen();
}

JournaledFrames::~JournaledFrames() { Stop(); }

void JournaledFrames::TryOpen() {
  journal_ = open_();
  if (!journal_) return;
  committer_ = std::make_unique<JournalCommitter>(*journal_, [this](CommitResult result) {
    // The commit thread: the result is handled on the user-interface thread.
    QMetaObject::invokeMethod(
        &context_, [this, result = std::move(result)] { OnCommitted(result); },
        Qt::QueuedConnection);
  });
}

void JournaledFrames::SendBytes(std::span<const uint8_t> bytes) {
  collecting_.ack.assign(bytes.begin(), bytes.end());
  collecting_.ackAskedAt = watch_.MonotonicNow();
}

std::chrono::nanoseconds JournaledFrames::OldestFrameWait() const {
  if (frames_.empty()) return std::chrono::nanoseconds(0);
  return watch_.MonotonicNow() - frames_.front().handedAt;
}

void JournaledFrames::RouteEvent(const EventRecord& current) { collecting_.event = current; }

void JournaledFrames::SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                        DayCount time) {
  collecting_.report = BuildEventReport(account, code, group, time);
}

void JournaledFrames::FrameHandled() {
  Frame frame = std::move(collecting_);
  collecting_ = {};
  if (frame.ack.empty() && !frame.event && !frame.report) return;  // nothing to do
  frame.handedAt = watch_.MonotonicNow();
  if (frame.event) {
    const auto bytes = frame.event->Serialize();
    frame.eventId = AddEntry(EncodeJournaledEvent(JournaledKind::T8Event, bytes), frame);
  }
  if (frame.report) {
    // What its .ddk file would hold: the record's first kT7EventSpoolSize bytes.
    const auto bytes = std::span<const uint8_t>(*frame.report).first(kT7EventSpoolSize);
    frame.reportId = AddEntry(EncodeJournaledEvent(JournaledKind::T7EventReport, bytes), frame);
  }
  frames_.push_back(std::move(frame));
  ReleaseReady();
}

// 0 when the entry could not be added: the frame is then not journaled.
uint64_t JournaledFrames::AddEntry(std::vector<uint8_t> payload, Frame& frame) {
  const auto id = committer_ ? committer_->Add(payload) : std::nullopt;
  if (!id) {
    frame.journaled = false;
    if (!journal_) NoteStatus(Failure::FromErrno(ENOENT, "the event journal is not open"));
    return 0;
  }
  return *id;
}

void JournaledFrames::OnCommitted(const CommitResult& result) {
  for (const uint64_t id : result.ids) results_[id] = !result.status.has_value();
  if (!result.ids.empty()) NoteStatus(result.status);
  ReleaseReady();
}

bool JournaledFrames::Ready(const Frame& frame) const {
  for (const uint64_t id : {frame.eventId, frame.reportId}) {
    if (id != 0 && !results_.contains(id)) return false;
  }
  return true;
}

void JournaledFrames::ReleaseReady() {
  while (!frames_.empty() && Ready(frames_.front())) {
    Frame frame = std::move(frames_.front());
    frames_.pop_front();
    for (const uint64_t id : {frame.eventId, frame.reportId}) {
      if (id == 0) continue;
      if (!results_[id]) frame.journaled = false;
      results_.erase(id);
    }
    Release(frame);
  }
}

void JournaledFrames::Release(const Frame& frame) {
  if (!frame.journaled) {
    // The station sends an unacknowledged frame again; an ASCII frame it never would.
    if (frame.ack.empty()) Route(frame, kNoJournalEntry, kNoJournalEntry);
    return;
  }
  if (!frame.ack.empty()) {
    // Bounded wait; a short write is not detected (the station sends the frame again).
    line_.SendBytes(frame.ack.data(), static_cast<uint32_t>(frame.ack.size()));
    watch_.AcknowledgementWritten(watch_.MonotonicNow() - frame.ackAskedAt);
  }
  Route(frame, frame.eventId, frame.reportId);
}

// The router retires each entry once its event is safe elsewhere; a report it holds for
// want of a spool file keeps its entry until the file is written.
void JournaledFrames::Route(const Frame& frame, uint64_t eventId, uint64_t reportId) {
  if (frame.event && router_.RouteEvent(*frame.event, eventId) == Routed::Lost) {
    Diagnose(Severity::kError, "an event could not be spooled for the T8 link;"
                               " the event journal keeps it for the next start");
  }
  if (frame.report && router_.RouteT7Event(*frame.report, reportId) == Routed::Lost) {
    Diagnose(Severity::kError, "a T7 event report could not be kept");
  }
}

void JournaledFrames::NoteStatus(const std::optional<Failure>& status) {
  if (status.has_value() && !failing_) {
    failing_ = true;
    watch_.JournalFailing(*status);
  } else if (!status.has_value() && failing_) {
    failing_ = false;
    watch_.JournalWorksAgain();
  }
}

void JournaledFrames::Retire(uint64_t journalId) {
  if (journalId == 0) return;
  if (committer_) {
    committer_->Retire(journalId);
    retirementsWaiting_ = true;
  } else if (journal_) {
    journal_->Retire(journalId);  // stopped: written by the last commit
  }
}

void JournaledFrames::Tick() {
  if (!journal_) {
    TryOpen();
    if (journal_) NoteStatus({});
    return;
  }
  if (!committer_) return;  // stopped: the last commit has been written
  // Only when there is something to write: an idle driver does not wake the disk.
  if (retirementsWaiting_.exchange(false)) committer_->Flush();
}

void JournaledFrames::Stop() {
  if (!committer_) return;
  committer_->Stop();
  committer_.reset();
  // Results the commit thread posted and the loop has not handled yet, then what is
  // still queued: the frames waiting for them go on (their events are routed, and so
  // spooled), and the retirements are written.
  QCoreApplication::sendPostedEvents(&context_, QEvent::MetaCall);
  OnCommitted(journal_->Commit());
  journal_->Commit();  // the retirements of what was just routed
}

std::size_t JournaledFrames::LiveEntries() const {
  return journal_ ? journal_->Stats().liveEntries : 0;
}

}  // namespace orvelgate
