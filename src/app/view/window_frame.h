#pragma once
// WindowFrame: the frame the desktop puts round one of the driver's top-level windows,
// known before the window is first shown. Qt measures a window's frame only once the
// window is on screen, so a window sized or centred "frame included" would come out
// wrong the first time. On X11 the window manager is asked at once
// (_NET_REQUEST_FRAME_EXTENTS) and announces the frame in _NET_FRAME_EXTENTS, before
// the window is mapped and again when it manages it; other platforms know their frame
// as soon as the native window exists. Qt destroys a window's native window when it
// is closed and makes a new one for the next showing: that one is asked about again,
// and until the answer comes the frame of the one before stands.

#include <QMargins>
#include <QObject>
#include <QRect>
#include <QSize>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace orvelgate {

class WindowFrame : public QObject {
 public:
  // Creates the window's native window and asks for its frame. `announced` runs (from
  // the event loop) each time the window manager announces the frame anew.
  WindowFrame(QWidget* window, std::function<void()> announced);
  ~WindowFrame() override;

  // The frame's width on each side; none without a window manager or before it first
  // answered.
  QMargins Extents() const;
  // Places the window, at its present size, so that its frame is centred in the
  // primary screen's work area; returns the client area it was given.
  QRect Centre();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class X11Watch;

  // The frame of the present native window, when the platform has told it.
  std::optional<QMargins> Announced() const;

  QWidget* window_;
  std::function<void()> announced_;
  std::unique_ptr<X11Watch> x11_;
  mutable QMargins known_;
};

// The client area of a window `client` big inside `frame` whose frame is centred in
// `area` (halves rounded toward the top left).
QRect FrameCentredClient(QSize client, QMargins frame, QRect area);

}  // namespace orvelgate
