#include "app/view/headless_view.h"

namespace orvelgate {

void HeadlessView::Line(const std::string& word, const std::string& text) {
  if (!out_) return;
  std::fprintf(out_, "%s %s\n", word.c_str(), text.c_str());
  std::fflush(out_);  // the systemd journal or a test reads it as it comes
}

void HeadlessView::Changed(std::optional<bool>& last, bool now, const char* word, const char* on,
                           const char* off) {
  if (last == now) return;
  last = now;
  Line(word, now ? on : off);
}

void HeadlessView::DrawStationIndicator(bool online, int /*counter*/) {
  Changed(station_, online, "STATION", "online", "lost");
}

void HeadlessView::DrawT7Indicator(bool connected, int /*counter*/) {
  Changed(t7_, connected, "T7", "connected", "disconnected");
}

void HeadlessView::DrawT8Indicator(bool linkUp, int /*counter*/) {
  Changed(t8_, linkUp, "T8", "up", "down");
}

void HeadlessView::LogLine(const std::string& text) { Line("LOG", text); }

// The code guards the window's close; it is kept, not printed into logs.
void HeadlessView::SetAccessCode(const std::string& code) { accessCode_ = code; }

void HeadlessView::SetStartTime(const std::string& text) { Line("START", text); }

void HeadlessView::SetPortControlsRunning(bool running) {
  Changed(running_, running, "PORT", "running", "stopped");
}

AccessAnswer HeadlessView::AskAccessCode(const std::string& /*code*/) {
  return AccessAnswer::Cancelled;
}

void HeadlessView::ShowNotice(const std::string& text) { Line("MESSAGE", text); }

void HeadlessView::ShowError(const std::string& text) { Line("ERROR", text); }

}  // namespace orvelgate
