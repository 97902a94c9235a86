// The X11 side of WindowFrame: the EWMH frame-extents request and announcement.
#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>
#include <QWindow>
#include <cstdlib>
#include <cstring>

#include "app/view/window_frame.h"

namespace orvelgate {
namespace {

xcb_connection_t* X11Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(reply);
  return atom;
}

}  // namespace

// Asks the window manager for the frame of the window's present native window and
// hears it announce the frame: a property change, which Qt passes on as no event.
class WindowFrame::X11Watch final : public QAbstractNativeEventFilter {
 public:
  X11Watch(WindowFrame& owner, xcb_connection_t* connection)
      : owner_(owner),
        connection_(connection),
        request_(InternAtom(connection, "_NET_REQUEST_FRAME_EXTENTS")),
        extents_(InternAtom(connection, "_NET_FRAME_EXTENTS")) {
    QCoreApplication::instance()->installNativeEventFilter(this);
  }
  ~X11Watch() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

  // A manager that does not know the request announces the frame when it maps the window.
  void RequestExtents() {
    const xcb_window_t window = Window();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    if (!window || !screen) return;
    xcb_client_message_event_t request{};
    request.response_type = XCB_CLIENT_MESSAGE;
    request.format = 32;
    request.window = window;
    request.type = request_;
    xcb_send_event(connection_, 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&request));
    xcb_flush(connection_);
  }

  // _NET_FRAME_EXTENTS holds left, right, top, bottom.
  std::optional<QMargins> Extents() const {
    const xcb_window_t window = Window();
    if (!window) return std::nullopt;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, extents_, XCB_ATOM_CARDINAL, 0, 4),
        nullptr);
    std::optional<QMargins> margins;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 16) {
      const auto* value = static_cast<const uint32_t*>(xcb_get_property_value(reply));
      margins = QMargins(static_cast<int>(value[0]), static_cast<int>(value[2]),
                         static_cast<int>(value[1]), static_cast<int>(value[3]));
    }
    std::free(reply);
    return margins;
  }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    const auto* change = static_cast<const xcb_property_notify_event_t*>(message);
    if (change->atom == extents_ && change->window == Window() && owner_.announced_) {
      // Not in the middle of Qt's own handling of the X event.
      QMetaObject::invokeMethod(&owner_, owner_.announced_, Qt::QueuedConnection);
    }
    return false;
  }

 private:
  xcb_window_t Window() const { return static_cast<xcb_window_t>(owner_.window_->internalWinId()); }

  WindowFrame& owner_;
  xcb_connection_t* connection_;
  xcb_atom_t request_;
  xcb_atom_t extents_;
};

WindowFrame::WindowFrame(QWidget* window, std::function<void()> announced)
    : QObject(window), window_(window), announced_(std::move(announced)) {
  if (xcb_connection_t* connection = X11Connection())
    x11_ = std::make_unique<X11Watch>(*this, connection);
  // Every native window made from now on is asked about (eventFilter); one made now
  // has its frame known before the first showing.
  window_->installEventFilter(this);
  if (window_->internalWinId() && x11_) x11_->RequestExtents();
  window_->winId();
  known_ = Announced().value_or(QMargins());
}

WindowFrame::~WindowFrame() = default;

bool WindowFrame::eventFilter(QObject* watched, QEvent* event) {
  // A new native window (the last one went when the window was closed), asked about
  // before Qt maps it.
  if (watched == window_ && event->type() == QEvent::WinIdChange && x11_) x11_->RequestExtents();
  return false;
}

std::optional<QMargins> WindowFrame::Announced() const {
  if (x11_) return x11_->Extents();
  // Elsewhere (offscreen, for one) the platform knows the frame of a native window.
  const QWindow* handle = window_->windowHandle();
  if (!handle || !handle->handle()) return std::nullopt;
  return handle->frameMargins();
}

QMargins WindowFrame::Extents() const {
  if (const std::optional<QMargins> now = Announced()) known_ = *now;
  return known_;
}

}  // namespace orvelgate
