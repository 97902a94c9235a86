#pragma once
// The look shared by the driver's windows: a pale blue face from top to bottom with
// dark blue text in small sans-serif type, and the bold serif type of the dialogs.

#include <QColor>
#include <QFont>
#include <QWidget>

class QLabel;

namespace orvelgate {

inline QColor FaceTopColor() { return QColor(233, 241, 250); }
inline QColor FaceBottomColor() { return QColor(199, 216, 237); }
inline QColor FaceTextColor() { return QColor(8, 55, 114); }

// Gives a top-level window the face: gradient background, text colour, 8-point font.
void ApplyWindowFace(QWidget* window);

// Sans-serif type of the given point size (the windows use 8 points).
QFont FaceFont(int pointSize = 8);

// Narrows a label's type (a stretch transform, never a smaller size) when its text
// would not fit its width in the face found on this machine; the layout was made
// for narrow Windows faces.
void FitTextToWidth(QLabel* label);

// Bold black serif type of 12 points, for the dialogs' prompt and notice texts.
QFont NoticeFont();

}  // namespace orvelgate
