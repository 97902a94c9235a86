#include "app/view/main_window.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include "app/view/app_pictures.h"
#include "app/view/indicator_image.h"
#include "app/view/log_line.h"
#include "app/view/window_face.h"
#include "app/view/window_frame.h"

namespace orvelgate {
namespace {

// Client-area layout, top to bottom: title strip, toolbar band, page area.
constexpr int kTitleHeight = 57;
constexpr int kToolbarBandHeight = 81;
constexpr int kPageTop = kTitleHeight + kToolbarBandHeight;
constexpr int kPageHeight = kMainClientHeight - kPageTop;  // 193
constexpr int kToolbarWidth = 76;
constexpr int kToolbarHeight = 74;

const QString kWindowTitle = QStringLiteral("Драйвер Orvel");
const QString kStripTitle = QStringLiteral("КПО Тевра 2008 - Драйвер Orvel");
const QString kStopCaption = QStringLiteral("Остановить");
const QString kStartCaption = QStringLiteral("Запустить");

// The title strip: a deeper band of the face with the program's title in it.
class TitleStrip : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(221, 234, 250));
    g.setColorAt(0.5, QColor(196, 216, 242));
    g.setColorAt(1, QColor(176, 201, 234));
    p.fillRect(rect(), g);
    p.setPen(QColor(141, 178, 227));
    p.drawLine(0, height() - 1, width(), height() - 1);
  }
};

// A toolbar of the band: a framed panel with its caption along the bottom edge.
class ToolbarPanel : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(240, 246, 253));
    g.setColorAt(1, QColor(214, 228, 245));
    p.setPen(QColor(141, 178, 227));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, width() - 1, height() - 1), 3, 3);
    p.fillRect(QRectF(1, height() - 17, width() - 2, 16), QColor(193, 216, 243));
  }
};

QLabel* PlaceLabel(QWidget* parent, const QString& text, int x, int y, int width) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(x, y, width, 15);
  FitTextToWidth(label);
  return label;
}

IndicatorImage* PlaceIndicator(QWidget* parent, const char* name, int x, int y) {
  auto* image = new IndicatorImage(parent);
  image->setObjectName(QString::fromLatin1(name));
  image->move(x, y);
  return image;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("MainWindow"));
  setWindowTitle(kWindowTitle);
  setWindowIcon(QIcon(ProgramIcon()));
  // A fixed border: the desktop offers minimise and close, the size never changes.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kMainClientWidth, kMainClientHeight);
  ApplyWindowFace(this);

  BuildTitleStrip()->setGeometry(0, 0, kMainClientWidth, kTitleHeight);
  BuildToolbarBand()->setGeometry(0, kTitleHeight, kMainClientWidth, kToolbarBandHeight);

  pages_ = new QStackedWidget(this);
  pages_->setGeometry(0, kPageTop, kMainClientWidth, kPageHeight);
  defaultPage_ = BuildDefaultPage();
  setupPage_ = BuildSetupPage();
  pages_->addWidget(defaultPage_);
  pages_->addWidget(setupPage_);
  pages_->setCurrentWidget(defaultPage_);
  statusButton_->setChecked(true);

  BuildTray();

  // Asked for now, so that the frame is known when the window is first shown; a frame
  // announced later moves the window only while it stands where it was centred.
  frame_ = new WindowFrame(this, [this] {
    if (geometry() == centred_) CentreOnScreen();
  });
  CentreOnScreen();
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::BuildTitleStrip() {
  auto* strip = new TitleStrip(this);
  strip->setObjectName(QStringLiteral("TitleStrip"));

  // The picture button at the left of the strip does nothing.
  auto* picture = new QToolButton(strip);
  picture->setObjectName(QStringLiteral("TitlePictureButton"));
  picture->setGeometry(1, 4, 55, 49);
  picture->setAutoRaise(true);
  picture->setIcon(QIcon(TitleStripPicture()));
  picture->setIconSize(QSize(47, 41));
  picture->setFocusPolicy(Qt::NoFocus);

  auto* title = new QLabel(kStripTitle, strip);
  title->setObjectName(QStringLiteral("TitleLabel"));
  QFont font = FaceFont(10);
  font.setBold(true);
  title->setFont(font);
  title->setAlignment(Qt::AlignCenter);
  title->setGeometry(60, 0, kMainClientWidth - 60 - 78, kTitleHeight);
  FitTextToWidth(title);

  // The strip's own window buttons: minimise, maximise (the border is fixed, so it
  // is shown but never enabled) and close, which takes the usual close path.
  struct Button { const char* name; QStyle::StandardPixmap icon; };
  const Button buttons[] = {{"MinimizeButton", QStyle::SP_TitleBarMinButton},
                            {"MaximizeButton", QStyle::SP_TitleBarMaxButton},
                            {"CloseButton", QStyle::SP_TitleBarCloseButton}};
  int x = kMainClientWidth - 3 * 25 - 3;
  for (const Button& b : buttons) {
    auto* button = new QToolButton(strip);
    button->setObjectName(QString::fromLatin1(b.name));
    button->setGeometry(x, 2, 24, 20);
    button->setAutoRaise(true);
    button->setIcon(style()->standardIcon(b.icon));
    button->setFocusPolicy(Qt::NoFocus);
    x += 25;
    if (b.icon == QStyle::SP_TitleBarMinButton)
      connect(button, &QToolButton::clicked, this, [this] { showMinimized(); });
    else if (b.icon == QStyle::SP_TitleBarCloseButton)
      connect(button, &QToolButton::clicked, this, [this] { close(); });
    else
      button->setEnabled(false);
  }
  return strip;
}

QToolButton* MainWindow::BuildPageToolbar(QWidget* band, int left, const QPixmap& picture,
                                      const QString& caption, const QString& name) {
  auto* panel = new ToolbarPanel(band);
  panel->setGeometry(left, 3, kToolbarWidth, kToolbarHeight);

  auto* button = new QToolButton(panel);
  button->setObjectName(name);
  button->setGeometry(2, 2, 72, 54);
  button->setCheckable(true);
  button->setAutoRaise(true);
  button->setIcon(QIcon(picture));
  button->setIconSize(picture.size());
  button->setToolTip(caption);

  auto* label = new QLabel(caption, panel);
  label->setFont(FaceFont(7));
  label->setAlignment(Qt::AlignCenter);
  label->setGeometry(1, kToolbarHeight - 17, kToolbarWidth - 2, 16);
  FitTextToWidth(label);
  return button;
}

QWidget* MainWindow::BuildToolbarBand() {
  auto* band = new QWidget(this);
  band->setObjectName(QStringLiteral("ToolbarBand"));
  statusButton_ = BuildPageToolbar(band, 3, StatusPagePicture(), QStringLiteral("Состояние"),
                                   QStringLiteral("StatusPageButton"));
  setupButton_ = BuildPageToolbar(band, 3 + kToolbarWidth + 2, SetupPagePicture(),
                                  QStringLiteral("Настройки"), QStringLiteral("SetupPageButton"));
  // Exactly one of the pair is pressed; a click on the pressed one changes nothing.
  pageButtons_ = new QButtonGroup(this);
  pageButtons_->setExclusive(true);
  pageButtons_->addButton(statusButton_);
  pageButtons_->addButton(setupButton_);
  connect(statusButton_, &QToolButton::clicked, this, [this] { ShowStatusPage(); });
  connect(setupButton_, &QToolButton::clicked, this, [this] { ShowSetupPage(); });
  return band;
}

QWidget* MainWindow::BuildDefaultPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("StatusPage"));
  PlaceLabel(page, QStringLiteral("Контроль связи со станцией"), 8, 10, 166);
  stationIndicator_ = PlaceIndicator(page, "StationIndicator", 176, 8);
  PlaceLabel(page, QStringLiteral("Связь с сервером сообщений"), 256, 10, 158);
  t8Indicator_ = PlaceIndicator(page, "T8Indicator", 416, 8);

  QLabel* started = PlaceLabel(page, QStringLiteral("Дата и время запуска"), 7, 37, 111);
  started->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  started->setObjectName(QStringLiteral("StartedCaption"));
  startTimeLabel_ = PlaceLabel(page, QString(), 124, 37, 130);
  startTimeLabel_->setObjectName(QStringLiteral("StartTimeLabel"));
  PlaceLabel(page, QStringLiteral("Связь с сервером сообщений"), 256, 37, 158);
  t7Indicator_ = PlaceIndicator(page, "T7Indicator", 416, 35);
  // The two server captions read the same: the hints tell the servers apart.
  stationIndicator_->setToolTip(QStringLiteral("Приёмная станция"));
  SetServerHints(QStringLiteral("Сервер T8"), QStringLiteral("Сервер T7"));

  PlaceLabel(page, QStringLiteral("Пароль для закрытия"), 7, 65, 115);
  accessCodeLabel_ = PlaceLabel(page, QStringLiteral("Пароль"), 124, 65, 130);
  accessCodeLabel_->setObjectName(QStringLiteral("AccessCodeLabel"));

  logMemo_ = new QPlainTextEdit(page);
  logMemo_->setObjectName(QStringLiteral("LogMemo"));
  logMemo_->setGeometry(7, 84, 432, 100);
  logMemo_->setFrameStyle(QFrame::Box | QFrame::Plain);
  logMemo_->setLineWidth(1);
  logMemo_->setMaximumBlockCount(kMemoMaxLines);
  return page;
}

QWidget* MainWindow::BuildSetupPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("SetupPage"));
  auto* group = new QGroupBox(QStringLiteral("Com порт"), page);
  group->setGeometry(9, 3, 428, 62);

  portList_ = new QComboBox(group);
  portList_->setObjectName(QStringLiteral("PortList"));
  portList_->setGeometry(18, 25, 103, 21);
  portList_->setEnabled(false);
  connect(portList_, &QComboBox::textActivated, this, [this](const QString& text) {
    if (onPortSelected) onPortSelected(text);
  });

  QFont bold = font();
  bold.setBold(true);
  startStop_ = new QPushButton(kStopCaption, group);
  startStop_->setObjectName(QStringLiteral("StartStopButton"));
  startStop_->setGeometry(143, 22, 94, 25);
  startStop_->setFont(bold);
  QPalette green = startStop_->palette();
  green.setColor(QPalette::ButtonText, QColor(0, 128, 0));
  startStop_->setPalette(green);
  connect(startStop_, &QPushButton::clicked, this, [this] {
    if (onStartStopClicked) onStartStopClicked();
  });

  scan_ = new QPushButton(QStringLiteral("Сканировать заново"), group);
  scan_->setObjectName(QStringLiteral("ScanButton"));
  scan_->setGeometry(243, 22, 170, 25);
  scan_->setFont(bold);
  scan_->setEnabled(false);
  connect(scan_, &QPushButton::clicked, this, [this] {
    if (onScanClicked) onScanClicked();
  });
  return page;
}

void MainWindow::BuildTray() {
  tray_ = new QSystemTrayIcon(QIcon(ProgramIcon()), this);
  tray_->setToolTip(kWindowTitle);
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("TrayMenu"));
  QAction* restore = menu->addAction(QStringLiteral("Восстановить"));
  restore->setObjectName(QStringLiteral("TrayRestore"));
  menu->addSeparator();
  QAction* quit = menu->addAction(QStringLiteral("Закрыть"));
  quit->setObjectName(QStringLiteral("TrayClose"));
  connect(restore, &QAction::triggered, this, [this] { RestoreFromTray(); });
  connect(quit, &QAction::triggered, this, [this] { CloseFromTray(); });
  // The menu opens on the right button; a left click or a double click does nothing.
  tray_->setContextMenu(menu);
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

void MainWindow::SetServerHints(const QString& t8, const QString& t7) {
  t8Indicator_->setToolTip(t8);
  t7Indicator_->setToolTip(t7);
}

void MainWindow::CentreOnScreen() { centred_ = frame_->Centre(); }

void MainWindow::DrawStationIndicator(bool online, int counter) { stationIndicator_->Draw(online, counter); }
void MainWindow::DrawT7Indicator(bool connected, int counter) { t7Indicator_->Draw(connected, counter); }
void MainWindow::DrawT8Indicator(bool linkUp, int counter) { t8Indicator_->Draw(linkUp, counter); }

void MainWindow::AppendLogLine(const QString& line) {
  QString one = line;
  one.replace(u'\r', u' ').replace(u'\n', u' ');
  one.replace(QChar::ParagraphSeparator, u' ').replace(QChar::LineSeparator, u' ');
  logMemo_->appendPlainText(one);
}

void MainWindow::LogLine(const QString& text) {
  AppendLogLine(FormatLogLine(QDateTime::currentDateTime(), text));
}

void MainWindow::SetStartTime(const QString& text) {
  startTimeLabel_->setText(text);
  FitTextToWidth(startTimeLabel_);
}

void MainWindow::SetAccessCode(const QString& text) {
  accessCodeLabel_->setText(text);
  FitTextToWidth(accessCodeLabel_);
}

void MainWindow::SetPortList(const QStringList& names, int selected) {
  portList_->clear();
  portList_->addItems(names);
  portList_->setCurrentIndex(selected >= 0 && selected < names.size() ? selected : -1);
}

void MainWindow::SetPortControlsRunning(bool running) {
  running_ = running;
  startStop_->setText(running ? kStopCaption : kStartCaption);
  portList_->setEnabled(!running);
  scan_->setEnabled(!running);
}

QString MainWindow::PortListText() const { return portList_->currentText(); }

void MainWindow::ShowStatusPage() {
  pages_->setCurrentWidget(defaultPage_);
  statusButton_->setChecked(true);  // the exclusive pair raises "Настройки"
}

void MainWindow::ShowSetupPage() {
  pages_->setCurrentWidget(setupPage_);
  setupButton_->setChecked(true);  // the exclusive pair raises "Состояние"
}

void MainWindow::HideToTray() {
  // Without a notification area the hidden window could never be got back, so it
  // then stays an ordinary minimised window.
  const bool tray = trayAvailable ? trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
  if (!tray) return;
  if (!tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
  hide();
}

void MainWindow::RestoreFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void MainWindow::CloseFromTray() { close(); }

void MainWindow::closeEvent(QCloseEvent* event) {
  if (onCloseRequested && onCloseRequested())
    event->accept();
  else
    event->ignore();
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Hide once the minimise has been carried out, not in the middle of it.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && isVisible()) HideToTray();
    });
  }
}

}  // namespace orvelgate
