#include "app/recording_view.h"

namespace orvelgate::testing {

void RecordingView::DrawStationIndicator(bool online, int counter) {
  calls.push_back("DrawStationIndicator " + std::to_string(online) + " " + std::to_string(counter));
  if (throwOnStationDraw) throw std::runtime_error("drawing failed");
}

void RecordingView::DrawT7Indicator(bool connected, int counter) {
  calls.push_back("DrawT7Indicator " + std::to_string(connected) + " " + std::to_string(counter));
}

void RecordingView::DrawT8Indicator(bool linkUp, int counter) {
  calls.push_back("DrawT8Indicator " + std::to_string(linkUp) + " " + std::to_string(counter));
}

void RecordingView::LogLine(const std::string& text) { calls.push_back("LogLine " + text); }

void RecordingView::SetAccessCode(const std::string& code) {
  accessCode = code;
  calls.push_back("SetAccessCode " + code);
}

void RecordingView::SetStartTime(const std::string& text) {
  startTime = text;
  calls.push_back("SetStartTime " + text);
}

void RecordingView::ClearPortList() { calls.push_back("ClearPortList"); }

void RecordingView::SetPortControlsRunning(bool running) {
  calls.push_back("SetPortControlsRunning " + std::to_string(running));
  if (onPortControlsRunning) onPortControlsRunning(running);
}

AccessAnswer RecordingView::AskAccessCode(const std::string& code) {
  calls.push_back("AskAccessCode " + code);
  asking = true;
  if (whileAsking) whileAsking();
  const bool closed = dialogsClosed;
  asking = false;
  if (closed || answers.empty()) return AccessAnswer::Cancelled;
  const AccessAnswer answer = answers.front();
  answers.pop_front();
  return answer;
}

void RecordingView::ShowNotice(const std::string& text) { calls.push_back("ShowNotice " + text); }

void RecordingView::CloseDialogs() {
  calls.push_back("CloseDialogs");
  if (asking) dialogsClosed = true;
}

void RecordingView::ShowError(const std::string& text) { calls.push_back("ShowError " + text); }

std::vector<std::string> RecordingView::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const auto& c : calls) {
    if (c.rfind(prefix, 0) == 0) found.push_back(c);
  }
  return found;
}

}  // namespace orvelgate::testing
