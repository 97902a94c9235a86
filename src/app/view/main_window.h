#pragma once
// MainWindow, the driver's main window. It only draws what the application core tells it
// (link indicators, start time, access code, log lines, port controls) and forwards
// the operator's actions (page buttons aside) to the core through the hooks below.

#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class QButtonGroup;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;

namespace orvelgate {

class IndicatorImage;
class WindowFrame;

inline constexpr int kMainClientWidth = 447;
inline constexpr int kMainClientHeight = 331;
inline constexpr int kMemoMaxLines = 10000;

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Operator actions, forwarded to the core. An unset hook means "nothing to do",
  // except for onCloseRequested: without it the window refuses to close.
  std::function<void()> onScanClicked;
  std::function<void()> onStartStopClicked;
  std::function<void(const QString&)> onPortSelected;  // only selections by the operator
  // Asked on every close (close button, title strip, tray "Закрыть"); true lets it go on.
  std::function<bool()> onCloseRequested;
  // Whether a notification area is there to hide into; the system's answer by default.
  std::function<bool()> trayAvailable;

  // The three link indicators.
  void DrawStationIndicator(bool online, int counter);
  void DrawT7Indicator(bool connected, int counter);
  void DrawT8Indicator(bool linkUp, int counter);

  // Appends one line to the log memo (line breaks inside become blanks); the memo
  // keeps the newest kMemoMaxLines lines.
  void AppendLogLine(const QString& line);
  // FormatLogLine with the current local time, then AppendLogLine.
  void LogLine(const QString& text);

  void SetStartTime(const QString& text); 
  void SetAccessCode(const QString& text);

  // Port controls of the "setup" page. `selected` out of range selects nothing.
  void SetPortList(const QStringList& names, int selected);
  // Running: caption "Остановить", list and scan disabled; stopped: "Запустить", enabled.
  void SetPortControlsRunning(bool running);
  QString PortListText() const;
  bool PortControlsRunning() const { return running_; }

  // The hints of the two server indicators, naming the server (and where it is).
  void SetServerHints(const QString& t8, const QString& t7);

  // Places the window so that its frame, not only its client area, is centred on the
  // screen. Done once made and again by whoever shows it first.
  void CentreOnScreen();

  // Page buttons: "Состояние" shows page "Default", "Настройки" shows page "setup".
  void ShowStatusPage();
  void ShowSetupPage();
  // The program was minimised: hide the window and its task-bar entry.
  void HideToTray();
  // Tray menu: "Восстановить" and "Закрыть".
  void RestoreFromTray();
  void CloseFromTray();

  QSystemTrayIcon* TrayIcon() const { return tray_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QWidget* BuildTitleStrip();
  QWidget* BuildToolbarBand();
  QWidget* BuildDefaultPage();
  QWidget* BuildSetupPage();
  void BuildTray();
  QToolButton* BuildPageToolbar(QWidget* band, int left, const QPixmap& picture,
                                const QString& caption, const QString& name);

  WindowFrame* frame_ = nullptr;
  QRect centred_;  // where CentreOnScreen put the client area
  IndicatorImage* t7Indicator_ = nullptr;  // T7
  IndicatorImage* stationIndicator_ = nullptr;  // station
  IndicatorImage* t8Indicator_ = nullptr;  // T8
  QLabel* startTimeLabel_ = nullptr;
  QLabel* accessCodeLabel_ = nullptr;
  QPlainTextEdit* logMemo_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QWidget* defaultPage_ = nullptr;
  QWidget* setupPage_ = nullptr;
  QToolButton* statusButton_ = nullptr;
  QToolButton* setupButton_ = nullptr;
  QButtonGroup* pageButtons_ = nullptr;
  QComboBox* portList_ = nullptr;
  QPushButton* startStop_ = nullptr;
  QPushButton* scan_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  bool running_ = true;
};

}  // namespace orvelgate
