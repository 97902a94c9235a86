#include "station/station_supervision.h"

namespace orvelgate {

void StationSupervision::Tick(DayCount now, DayCount lastFrameTime) {
  const bool heard = now <= lastFrameTime + attention_;
  if (heard == online_) return;  // notices go out only on a change
  online_ = heard;
  host_.DrawStationIndicator();
  if (sendT7_) host_.SendStationNotice(heard ? 'I' : 'H');
}

}  // namespace orvelgate
