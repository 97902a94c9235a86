#include "app/core/journaled_frames.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>

#include "events/journaled_event.h"

namespace orvelgate {

JournaledFrames::JournaledFrames(OpenJournal open, Targets targets)
    : open_(std::move(open)), targets_(std::move(targets)) {
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
  if (targets_.ackWritten) collecting_.ackAskedAt = MonotonicNow();
}

std::chrono::nanoseconds JournaledFrames::MonotonicNow() const {
  if (targets_.monotonicNow) return targets_.monotonicNow();
  return std::chrono::steady_clock::now().time_since_epoch();
}

std::chrono::nanoseconds JournaledFrames::OldestFrameWait() const {
  if (frames_.empty()) return std::chrono::nanoseconds(0);
  return MonotonicNow() - frames_.front().handedAt;
}

void JournaledFrames::RouteEvent(const EventRecord& current) { collecting_.event = current; }

void JournaledFrames::SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                                        DayCount time) {
  collecting_.report = T7EventReportRequest{account, code, group, time};
}

void JournaledFrames::FrameHandled() {
  Frame frame = std::move(collecting_);
  collecting_ = {};
  if (frame.ack.empty() && !frame.event && !frame.report) return;  // nothing to do
  frame.handedAt = MonotonicNow();
  if (frame.event) {
    const auto bytes = frame.event->Serialize();
    frame.eventId = AddEntry(EncodeJournaledEvent(JournaledKind::T8Event, bytes), frame);
  }
  if (frame.report) {
    const auto bytes = targets_.t7SpoolBytes(*frame.report);
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
    if (!journal_) NoteStatus({ENOENT, "the event journal is not open"});
    return 0;
  }
  return *id;
}

void JournaledFrames::OnCommitted(const CommitResult& result) {
  for (const uint64_t id : result.ids) results_[id] = result.status.Ok();
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
    if (!frame.ack.empty()) return;
    if (frame.event) targets_.routeEvent(*frame.event, 0);
    if (frame.report) targets_.sendT7EventReport(*frame.report, 0);
    return;
  }
  if (!frame.ack.empty()) {
    targets_.sendAck(frame.ack);
    if (targets_.ackWritten) targets_.ackWritten(MonotonicNow() - frame.ackAskedAt);
  }
  if (frame.event) targets_.routeEvent(*frame.event, frame.eventId);
  if (frame.report) targets_.sendT7EventReport(*frame.report, frame.reportId);
}

void JournaledFrames::NoteStatus(const JournalStatus& status) {
  if (!status.Ok() && !failing_) {
    failing_ = true;
    if (targets_.journalFailing) targets_.journalFailing(status);
  } else if (status.Ok() && failing_) {
    failing_ = false;
    if (targets_.journalWorksAgain) targets_.journalWorksAgain();
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
