#pragma once
// Watches whether the receiving station is still talking: it counts as heard while an
// ASCII frame has arrived within the Attention interval. The outcome is one flag, drawn
// by the station indicator and, when the T7 link is used, reported to the message
// server each time it changes (73 "I" heard again, 72 "H" lost).

#include "common/day_count.h"

namespace orvelgate {

class StationSupervisionHost {
 public:
  virtual ~StationSupervisionHost() = default;
  virtual void DrawStationIndicator() = 0;
  virtual void SendStationNotice(char stateLetter) = 0;  // 'I' or 'H'
};

class StationSupervision {
 public:
  StationSupervision(StationSupervisionHost& host, DayCount attention, bool sendT7)
      : host_(host), attention_(attention), sendT7_(sendT7) {}

  // One check, run by the 200 ms tick after the two spool re-send steps.
  void Tick(DayCount now, DayCount lastFrameTime);

  bool Online() const { return online_; }

 private:
  StationSupervisionHost& host_;
  DayCount attention_;
  bool sendT7_;
  bool online_ = false;
};

}  // namespace orvelgate
