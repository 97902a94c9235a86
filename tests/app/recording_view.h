#pragma once
// A MainView for core tests: it records every call as one line of text, in order, and
// answers AskAccessCode with what the test queued (Cancelled when nothing is queued).

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/main_view.h"

namespace orvelgate::testing {

class RecordingView final : public MainView {
 public:
  void DrawStationIndicator(bool online, int counter) override;
  void DrawT7Indicator(bool connected, int counter) override;
  void DrawT8Indicator(bool linkUp, int counter) override;
  void LogLine(const std::string& text) override;
  void SetAccessCode(const std::string& code) override;
  void SetStartTime(const std::string& text) override;
  void ClearPortList() override;
  void SetPortControlsRunning(bool running) override;
  AccessAnswer AskAccessCode(const std::string& code) override;
  void ShowNotice(const std::string& text) override;
  void CloseDialogs() override;
  void ShowError(const std::string& text) override;

  // Calls recorded so far, e.g. "DrawStationIndicator 1 0", "ShowNotice <text>".
  std::vector<std::string> calls;
  // Calls whose line starts with `prefix`.
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

  std::deque<AccessAnswer> answers;      // handed out by AskAccessCode, in order
  std::function<void()> whileAsking;     // runs inside AskAccessCode, as a nested loop would
  std::function<void(bool)> onPortControlsRunning;  // as the window passes it to the controls
  bool throwOnStationDraw = false;       // DrawStationIndicator throws std::runtime_error
  std::string accessCode;                // the last SetAccessCode
  std::string startTime;                 // the last SetStartTime
  bool dialogsClosed = false;            // CloseDialogs came while a dialog was open
  bool asking = false;
};

}  // namespace orvelgate::testing
