#include "app/view/driver_window.h"

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include "app/view/access_code_dialog.h"
#include "app/core/driver_core.h"
#include "app/config/config_reading.h"
#include "app/view/main_window.h"
#include "app/view/notice_box.h"

namespace orvelgate {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// An indicator's hint: which server, and where, or that the link is off.
QString ServerHint(const QString& server, bool used, const std::string& host, int port) {
  if (!used) return server + QStringLiteral(" не используется");
  return QStringLiteral("%1: %2:%3").arg(server, Q(host)).arg(port);
}

}  // namespace

class DriverWindow::PortHost final : public PortControlHost {
 public:
  PortHost(DriverWindow& window, DriverCore& core) : window_(window), core_(core) {}

  AccessAnswer AskAccessCode() override { return window_.AskAccessCode(core_.AccessCode()); }
  void ShowNotice(const std::string& text) override { window_.ShowNotice(text); }

  void SetPortList(const std::vector<std::string>& names, int selected) override {
    QStringList list;
    for (const std::string& name : names) list << Q(name);
    window_.form_->SetPortList(list, selected);
  }
  void SetPortControlsRunning(bool running) override {
    window_.form_->SetPortControlsRunning(running);
    if (window_.stateLines_) window_.stateLines_->SetPortControlsRunning(running);
  }

 private:
  DriverWindow& window_;
  DriverCore& core_;
};

DriverWindow::DriverWindow(MainView* stateLines)
    : stateLines_(stateLines), form_(std::make_unique<MainWindow>()) {}

DriverWindow::~DriverWindow() {
  // The hooks reach the core and the port controls, which may be gone before the form.
  form_->onCloseRequested = nullptr;
  form_->onScanClicked = nullptr;
  form_->onStartStopClicked = nullptr;
  form_->onPortSelected = nullptr;
}

void DriverWindow::Attach(DriverCore& core, std::string configFile, std::string errorLog) {
  core_ = &core;
  PortControlSettings settings;
  settings.configFile = std::move(configFile);
  settings.errorLog = std::move(errorLog);
  portHost_ = std::make_unique<PortHost>(*this, core);
  // The port record goes to the T7 link only with SendT7.
  T7Outbox* portRecords = core.Config().SendT7 ? core.T7() : nullptr;
  ports_ = std::make_unique<PortControl>(core.PortKeeper(), portRecords, *portHost_, settings);
  // The list is empty after the start-up; the state is the one it showed.
  ports_->SetRunning(form_->PortControlsRunning());

  // The T8 worker reads [ServerHost] itself; the hint shows what it holds now.
  const ServerHostSettings t8 = LoadServerHostConfig(settings.configFile);
  const TcpClient* t7 = core.T7() ? &core.T7()->Client() : nullptr;
  form_->SetServerHints(
      ServerHint(QStringLiteral("Сервер мониторинга T8"), core.Config().SendT8, t8.Address, t8.Port),
      ServerHint(QStringLiteral("Сервер сообщений T7"), core.Config().SendT7 && t7,
                 core.Config().T7Host, t7 ? t7->Port() : 0));

  form_->onCloseRequested = [this] { return core_->Close(); };
  form_->onScanClicked = [this] { ports_->Scan(); };
  form_->onStartStopClicked = [this] { ports_->StartStop(); };
  form_->onPortSelected = [this](const QString& text) { ports_->PortSelected(text.toStdString()); };
}

void DriverWindow::CreateDialogs() {
  if (!dialog_) dialog_ = std::make_unique<AccessCodeDialog>();
  if (!box_) box_ = std::make_unique<NoticeBox>();
}

void DriverWindow::Show() {
  form_->CentreOnScreen();  // with the frame the desktop has announced by now
  form_->show();
}

bool DriverWindow::Ending() const { return core_ && core_->Ending(); }

// --- MainView ---------------------------------------------------------------------

void DriverWindow::DrawStationIndicator(bool online, int counter) {
  form_->DrawStationIndicator(online, counter);
  if (stateLines_) stateLines_->DrawStationIndicator(online, counter);
}

void DriverWindow::DrawT7Indicator(bool connected, int counter) {
  form_->DrawT7Indicator(connected, counter);
  if (stateLines_) stateLines_->DrawT7Indicator(connected, counter);
}

void DriverWindow::DrawT8Indicator(bool linkUp, int counter) {
  form_->DrawT8Indicator(linkUp, counter);
  if (stateLines_) stateLines_->DrawT8Indicator(linkUp, counter);
}

void DriverWindow::LogLine(const std::string& text) {
  form_->LogLine(Q(text));
  if (stateLines_) stateLines_->LogLine(text);
}

void DriverWindow::SetAccessCode(const std::string& code) {
  form_->SetAccessCode(Q(code));
  if (stateLines_) stateLines_->SetAccessCode(code);
}

void DriverWindow::SetStartTime(const std::string& text) {
  form_->SetStartTime(Q(text));
  if (stateLines_) stateLines_->SetStartTime(text);
}

void DriverWindow::ClearPortList() {
  if (ports_) {
    ports_->ClearPortList();
  } else {
    form_->SetPortList({}, -1);
  }
  if (stateLines_) stateLines_->ClearPortList();
}

void DriverWindow::SetPortControlsRunning(bool running) {
  if (ports_) {
    ports_->SetRunning(running);  // draws through PortHost, the state lines included
    return;
  }
  form_->SetPortControlsRunning(running);
  if (stateLines_) stateLines_->SetPortControlsRunning(running);
}

AccessAnswer DriverWindow::AskAccessCode(const std::string& code) {
  if (!dialog_ || Ending()) return AccessAnswer::Cancelled;
  switch (dialog_->AskAccessCode(Q(code))) {
    case AccessResult::Accepted: return AccessAnswer::Accepted;
    case AccessResult::Wrong: return AccessAnswer::Wrong;
    case AccessResult::Cancelled: break;
  }
  return AccessAnswer::Cancelled;
}

void DriverWindow::ShowNotice(const std::string& text) {
  if (stateLines_) stateLines_->ShowNotice(text);
  // A notice after the program was told to end would hold up its end.
  if (!box_ || Ending()) return;
  box_->ShowNotice(Q(text));
}

void DriverWindow::CloseDialogs() {
  if (dialog_) dialog_->CancelForShutdown();
  if (box_) box_->CloseForShutdown();
}

void DriverWindow::ShowError(const std::string& text) {
  if (stateLines_) stateLines_->ShowError(text);
  // Not modal: the failure is told and the program goes on at once.
  auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Драйвер Orvel"), Q(text),
                              QMessageBox::Ok, form_.get(), Qt::Dialog);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName(QStringLiteral("FailureBox"));
  box->show();
}

}  // namespace orvelgate
