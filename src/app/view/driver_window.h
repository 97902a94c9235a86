#pragma once
// The main window wired to the driver core. MainWindow shows what the core tells it (this
// object is the core's MainView), the access-code dialog and the message box answer
// the core's questions, and the operator's actions go to the core (closing) and to the
// port controls (scan, selection, start and stop), which reach the serial port through
// the core's port keeper.
//
// The order is that of the program's start: the window first, then the core (which
// draws into it), then Attach once the core's start-up has read the configuration,
// then the two dialogs. Before CreateDialogs a question is answered Cancelled and a
// notice is dropped, as nothing can be shown while the main window is being made.

#include <memory>
#include <string>

#include "app/core/main_view.h"
#include "app/core/port_control.h"

namespace orvelgate {

class DriverCore;
class MainWindow;
class AccessCodeDialog;
class NoticeBox;

class DriverWindow final : public MainView {
 public:
  // `stateLines`, when given, also gets every drawing, log memo line and notice (not
  // the questions): the state lines the systemd journal or a whole-program test reads.
  explicit DriverWindow(MainView* stateLines = nullptr);
  ~DriverWindow() override;
  DriverWindow(const DriverWindow&) = delete;
  DriverWindow& operator=(const DriverWindow&) = delete;

  // After the core's Start: the port controls take over the port group in the
  // state the start-up left it, and the window's actions reach the core. The files are
  // those the core was given (its configuration file and error log).
  void Attach(DriverCore& core, std::string configFile, std::string errorLog);
  // The access-code dialog (AccessCodeDialog) and the message box (NoticeBox).
  void CreateDialogs();
  // Shows the window, centred on the screen.
  void Show();

  MainWindow& Form() { return *form_; }
  AccessCodeDialog* AccessDialog() { return dialog_.get(); }
  NoticeBox* MessageBox() { return box_.get(); }
  PortControl* Ports() { return ports_.get(); }

  // --- MainView ---------------------------------------------------------------------
  void DrawStationIndicator(bool online, int counter) override;
  void DrawT7Indicator(bool connected, int counter) override;
  void DrawT8Indicator(bool linkUp, int counter) override;
  void LogLine(const std::string& text) override;
  void SetAccessCode(const std::string& code) override;
  void SetStartTime(const std::string& text) override;
  // Through the port controls once they exist, so that their state is the one shown.
  void ClearPortList() override;
  void SetPortControlsRunning(bool running) override;
  AccessAnswer AskAccessCode(const std::string& code) override;
  // Dropped before the box exists and once the program is ending.
  void ShowNotice(const std::string& text) override;
  void CloseDialogs() override;
  void ShowError(const std::string& text) override;

 private:
  class PortHost;  // the port controls' way to the window and the access code

  bool Ending() const;

  MainView* stateLines_;
  std::unique_ptr<MainWindow> form_;
  std::unique_ptr<AccessCodeDialog> dialog_;
  std::unique_ptr<NoticeBox> box_;
  DriverCore* core_ = nullptr;
  std::unique_ptr<PortHost> portHost_;
  std::unique_ptr<PortControl> ports_;
};

}  // namespace orvelgate
