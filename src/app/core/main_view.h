#pragma once
// What the driver core asks of the main window. The window (MainWindow) draws what it is
// told and forwards the operator's actions to the core; without a window the headless
// view stands in. All calls come on the user-interface thread.

#include <string>

namespace orvelgate {

// The link pictures' counters run 0..16.
inline constexpr int kIndicatorCounterMax = 16;

// The T8 activity counter after one more step: +1, and after 16 comes 0.
inline int NextT8Counter(int counter) {
  ++counter;
  return counter > kIndicatorCounterMax ? 0 : counter;
}

// The outcome of the access-code dialog.
enum class AccessAnswer {
  Accepted,   // the entry equals the access code
  Wrong,      // it does not
  Cancelled,  // "Отмена", the close box, or the program ended while it was open
};

class MainView {
 public:
  virtual ~MainView() = default;

  // The three link pictures: state (green up, red down) and counter 0..16.
  virtual void DrawStationIndicator(bool online, int counter) = 0;
  virtual void DrawT7Indicator(bool connected, int counter) = 0;
  virtual void DrawT8Indicator(bool linkUp, int counter) = 0;

  // One line of the T8 log (the log memo); the view puts the local date and time in front.
  virtual void LogLine(const std::string& text) = 0;

  virtual void SetAccessCode(const std::string& code) = 0;
  virtual void SetStartTime(const std::string& text) = 0;

  // Port controls: the list emptied with nothing selected; running ("Остановить", list
  // and scan disabled) or stopped ("Запустить", list and scan enabled).
  virtual void ClearPortList() = 0;
  virtual void SetPortControlsRunning(bool running) = 0;

  // Modal dialogs; the program keeps working while they wait for the operator.
  virtual AccessAnswer AskAccessCode(const std::string& code) = 0;
  virtual void ShowNotice(const std::string& text) = 0;
  // The program is ending: an open dialog closes (AskAccessCode answers Cancelled).
  virtual void CloseDialogs() = 0;

  // A failure that escaped a handler, for the operator (the window shows it in a box
  // titled with the program's title); the program goes on.
  virtual void ShowError(const std::string& text) = 0;
};

}  // namespace orvelgate
