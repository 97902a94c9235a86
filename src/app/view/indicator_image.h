#pragma once
// A 16 x 16 picture control for one link indicator. It shows nothing until it is
// drawn for the first time and then keeps its last drawing until it is drawn again.

#include <QImage>
#include <QWidget>

namespace orvelgate {

class IndicatorImage : public QWidget {
  Q_OBJECT

 public:
  explicit IndicatorImage(QWidget* parent = nullptr);

  void Draw(bool up, int counter);
  // The picture as last drawn; a null image before the first drawing.
  const QImage& Picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture_;
};

}  // namespace orvelgate
