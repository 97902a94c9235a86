#pragma once
// TForm1, the driver's main window. It only draws what the application core tells it
// (link indicators, start time, access code, log lines, port controls) and forwards
// the operator's actions (page buttons aside) to the core through the hooks below.

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

inline constexpr int kMainClientWidth = 447;
inline constexpr int kMainClientHeight = 331;
inline constexpr int kMemoMaxLines = 10000;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Operator actions, forwarded to the core. An unset hook means "nothing to do",
  // except for onCloseRequested: without it the window refuses to close.
  std::function<void()> onScanClicked;
  std::function<void()> onStartStopClicked;
  std::function<void(const QString&)> onPortSelected;  // only selections by the operator
  // Asked on every close (close button, title strip, tray "Закрыть"); true lets it go on.
  std::function<bool()> onCloseRequested;
  // Whether a notification area is there to hide into; the system's answer by default.
  std::function<bool()> trayAvailable;

  // Indicators: Image2 (station), Image1 (T7), Image3 (T8).
  void DrawStationIndicator(bool online, int counter);
  void DrawT7Indicator(bool connected, int counter);
  void DrawT8Indicator(bool linkUp, int counter);

  // Appends one line to the log memo (line breaks inside become blanks); the memo
  // keeps the newest kMemoMaxLines lines.
  void AppendLogLine(const QString& line);
  // FormatLogLine with the current local time, then AppendLogLine.
  void LogLine(const QString& text);

  void SetStartTime(const QString& text);   // Label6
  void SetAccessCode(const QString& text);  // Label15

  // Port controls of the "setup" page. `selected` out of range selects nothing.
  void SetPortList(const QStringList& names, int selected);
  // Running: caption "Остановить", list and scan disabled; stopped: "Запустить", enabled.
  void SetPortControlsRunning(bool running);
  QString PortListText() const;
  bool PortControlsRunning() const { return running_; }

  // Page buttons: "Состояние" shows page "Default", "Настройки" shows page "setup".
  void AdvGlowButton28Click();
  void AdvGlowButton47Click();
  // The program was minimised: hide the window and its task-bar entry.
  void ApplicationEvents1Minimize();
  // Tray menu: "Восстановить" and "Закрыть".
  void N4Click();
  void N6Click();

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

  IndicatorImage* image1_ = nullptr;  // T7
  IndicatorImage* image2_ = nullptr;  // station
  IndicatorImage* image3_ = nullptr;  // T8
  QLabel* label6_ = nullptr;
  QLabel* label15_ = nullptr;
  QPlainTextEdit* memo1_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QWidget* defaultPage_ = nullptr;
  QWidget* setupPage_ = nullptr;
  QToolButton* statusButton_ = nullptr;  // AdvGlowButton28
  QToolButton* setupButton_ = nullptr;   // AdvGlowButton47
  QButtonGroup* pageButtons_ = nullptr;
  QComboBox* portList_ = nullptr;
  QPushButton* startStop_ = nullptr;
  QPushButton* scan_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  bool running_ = true;
};

}  // namespace orvelgate
