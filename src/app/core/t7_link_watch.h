#pragma once
// What the T7 link tells the rest of the program: its indicator for the view; its
// failures for the systemd journal, rate-limited; every clock record for the systemd
// journal and the log memo, since it changes the whole computer's time; its counts;
// and the close that the message server orders. User-interface thread.

#include <functional>
#include <string>

#include "app/core/driver_counters.h"
#include "app/core/main_view.h"
#include "app/core/serial_port_keeper.h"
#include "common/clock.h"
#include "common/diagnostics.h"
#include "t7link/t7_link_host.h"

namespace orvelgate {

class T7LinkWatch final : public T7LinkHost {
 public:
  // `linkName` names the link in the systemd journal ("T7 link to 10.0.0.5:7788"); its
  // failures are told only when `reportFailures` (the link is used). `closeWithoutCode`
  // lets the close go ahead without the access code and asks for it once control is
  // back in the event loop. The parts given must outlive the watch.
  T7LinkWatch(MainView& view, Clock& clock, DriverCounters& counters,
              const SerialPortKeeper& keeper, const std::string& linkName,
              bool reportFailures, std::function<void()> closeWithoutCode);

  // The program is ending: nothing is drawn and no failure is told from now on.
  void Stop() { stopped_ = true; }

  void DrawT7Indicator(bool connected, int counter) override;
  void RequestCloseWithoutCode() override;
  std::string SerialDeviceName() const override { return keeper_.ServerDeviceName(); }
  void ShowHandlerError(const std::string& text) override { view_.ShowError(text); }
  void ReportLinkFailure(const std::string& cause) override;
  void ReportLinkUp() override;
  void ReportClockRecord(const ClockRecordOutcome& outcome) override;
  void EventReportSent() override { counters_.CountDelivered(ServerLink::T7); }

 private:
  MainView& view_;
  DriverCounters& counters_;
  const SerialPortKeeper& keeper_;
  const bool reportFailures_;
  const std::function<void()> closeWithoutCode_;
  // The first failure, then one line a minute while it lasts, then one when the link is
  // back.
  RepeatedFailure failures_;
  bool stopped_ = false;
};

}  // namespace orvelgate
