#pragma once
// The view of a driver that runs without a window (a service, a test run): it writes
// what the window would show, as one line per change on a stream (stdout by default),
// and there is nobody to type the access code, so AskAccessCode answers Cancelled and
// the program ends only by a signal or by the message server's close record.
//
// Lines, each starting with a fixed word:
//   START <start date and time>      PORT running|stopped
//   STATION online|lost              T8 up|down            T7 connected|disconnected
//   LOG <T8 log text>                MESSAGE <notice text>     ERROR <failure text>
// Counters are not written: they step on every frame and would flood the output.

#include <cstdio>
#include <optional>
#include <string>

#include "app/core/main_view.h"

namespace orvelgate {

class HeadlessView final : public MainView {
 public:
  explicit HeadlessView(std::FILE* out = stdout) : out_(out) {}

  void DrawStationIndicator(bool online, int counter) override;
  void DrawT7Indicator(bool connected, int counter) override;
  void DrawT8Indicator(bool linkUp, int counter) override;
  void LogLine(const std::string& text) override;
  void SetAccessCode(const std::string& code) override;
  void SetStartTime(const std::string& text) override;
  void ClearPortList() override {}
  void SetPortControlsRunning(bool running) override;
  AccessAnswer AskAccessCode(const std::string& code) override;
  void ShowNotice(const std::string& text) override;
  void CloseDialogs() override {}
  void ShowError(const std::string& text) override;

  const std::string& AccessCode() const { return accessCode_; }

 private:
  void Line(const std::string& word, const std::string& text);
  void Changed(std::optional<bool>& last, bool now, const char* word, const char* on,
               const char* off);

  std::FILE* out_;
  std::string accessCode_;
  // The station is not heard until the first check says so: a frame drawn before that
  // check is no loss.
  std::optional<bool> station_{false};
  std::optional<bool> t7_, t8_, running_;
};

}  // namespace orvelgate
