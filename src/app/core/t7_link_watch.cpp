#include "app/core/t7_link_watch.h"

#include <utility>

#include "common/failure.h"
#include "common/day_count.h"

namespace orvelgate {

T7LinkWatch::T7LinkWatch(MainView& view, Clock& clock, DriverCounters& counters,
                         const SerialPortKeeper& keeper, const std::string& linkName,
                         bool reportFailures, std::function<void()> closeWithoutCode)
    : view_(view),
      counters_(counters),
      keeper_(keeper),
      reportFailures_(reportFailures),
      closeWithoutCode_(std::move(closeWithoutCode)),
      failures_(linkName, clock) {}

void T7LinkWatch::DrawT7Indicator(bool connected, int counter) {
  if (!stopped_) view_.DrawT7Indicator(connected, counter);
}

void T7LinkWatch::RequestCloseWithoutCode() {
  // The service ends with status 0 and is not restarted: say who ended it.
  Diagnose(Severity::kWarning,
           "the T7 server sent a close record: the driver ends without the access code");
  view_.LogLine("Сервер T7 прислал команду закрытия: драйвер завершает работу.");
  closeWithoutCode_();
}

void T7LinkWatch::ReportLinkFailure(const std::string& cause) {
  if (reportFailures_ && !stopped_) failures_.Fail(cause);
}

void T7LinkWatch::ReportLinkUp() {
  counters_.CountConnection(ServerLink::T7);
  failures_.Succeed();
}

// Every clock record is a warning, with the time before and the time asked for.
void T7LinkWatch::ReportClockRecord(const ClockRecordOutcome& outcome) {
  const auto before = DecodeDateTime(outcome.before);
  const std::string was = before ? DateTimeText(*before) : "an unknown time";
  if (!outcome.requested) {
    Diagnose(Severity::kWarning, "the T7 server sent a clock record with no valid date and"
                                 " time; the clock stays at " + was);
    view_.LogLine("Сервер T7 прислал неверное время; часы не изменены.");
    return;
  }
  const std::string asked = DateTimeText(*outcome.requested);
  if (outcome.set) {
    Diagnose(Severity::kWarning, "the T7 server set the clock from " + was + " to " + asked);
    view_.LogLine("Сервер T7 установил время: было " + was + ", стало " + asked + ".");
    return;
  }
  const std::string cause = outcome.refusal ? outcome.refusal->Describe() : "refused";
  Diagnose(Severity::kWarning, "the T7 server asked to set the clock from " + was + " to " +
                                   asked + "; it was not set: " + cause);
  view_.LogLine("Сервер T7 прислал время " + asked + "; часы не изменены.");
}

}  // namespace orvelgate
