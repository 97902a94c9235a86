#pragma once
// The 16 x 16 link picture shared by the station, T7 and T8 indicators: white, a
// 2-pixel frame and a five-column mark, green while the link is up and red while it
// is down. The mark moves one column per counter step, so a moving mark means traffic.

#include <QColor>
#include <QImage>

#include "app/core/main_view.h"

namespace orvelgate {

inline constexpr int kIndicatorSize = 16;

inline QColor IndicatorUpColor() { return QColor(0, 128, 0); }
inline QColor IndicatorDownColor() { return QColor(255, 0, 0); }

// Redraws `image` completely (it is made a 16 x 16 RGB32 image first when it is not
// one). Counters outside 0..16 never come from the stepping rules; they are brought
// into that range modulo 17 so that a stray value still draws a sane picture.
void DrawLinkIndicator(QImage& image, bool up, int counter);

}  // namespace orvelgate
