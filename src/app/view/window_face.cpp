#include "app/view/window_face.h"

#include <QLabel>
#include <QLinearGradient>
#include <QPalette>
#include <QStringList>

namespace orvelgate {

void ApplyWindowFace(QWidget* window) {
  QLinearGradient gradient(0, 0, 0, 1);
  gradient.setCoordinateMode(QGradient::ObjectMode);
  gradient.setColorAt(0, FaceTopColor());
  gradient.setColorAt(1, FaceBottomColor());

  QPalette palette = window->palette();
  palette.setBrush(QPalette::Window, QBrush(gradient));
  palette.setColor(QPalette::WindowText, FaceTextColor());
  window->setPalette(palette);
  window->setAutoFillBackground(true);
  window->setFont(FaceFont());
}

QFont FaceFont(int pointSize) {
  QFont font;
  // Narrow faces first: the window's fixed layout was laid out for Tahoma.
  font.setFamilies(QStringList{"Tahoma", "Liberation Sans", "Arimo", "DejaVu Sans Condensed",
                               "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(pointSize);
  return font;
}

void FitTextToWidth(QLabel* label) {
  QFont font = label->font();
  font.setStretch(QFont::AnyStretch);
  label->setFont(font);
  const int room = label->contentsRect().width();
  // The face chosen for a stretch may differ from the unstretched one (a condensed
  // face, or a wide face scaled down), so each step is measured again.
  constexpr int kNarrowest = 60;  // percent; beyond that the text is better clipped
  for (int stretch = 100; label->fontMetrics().horizontalAdvance(label->text()) > room &&
                          stretch >= kNarrowest;
       stretch -= 4) {
    font.setStretch(stretch);
    label->setFont(font);
  }
}

QFont NoticeFont() {
  QFont font;
  font.setFamilies(QStringList{"Times New Roman", "Liberation Serif", "Tinos", "Nimbus Roman",
                               "DejaVu Serif Condensed", "DejaVu Serif"});
  font.setStyleHint(QFont::Serif);
  font.setPointSize(12);
  font.setBold(true);
  return font;
}

}  // namespace orvelgate
