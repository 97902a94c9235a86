#pragma once
// The driver without its window: the state and the handlers that the main window
// (MainWindow) owns, run on the user-interface thread. It starts everything (Start),
// runs the two ticks, decides a close (MayClose) and ends the program in order. The
// window, or the headless view, only draws what the core tells it through MainView and
// hands the operator's actions to it.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/main_config.h"
#include "app/link_outbox_adapters.h"
#include "app/main_view.h"
#include "app/t8_host_bridge.h"
#include "common/clock.h"
#include "common/random_source.h"
#include "events/event_router.h"
#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "station/serial_port.h"
#include "station/packet_handler.h"
#include "station/station_supervision.h"
#include "t7link/t7_link.h"
#include "t8link/t8_worker.h"

namespace orvelgate {

// What the core takes from outside; empty members take the production choice.
struct CoreEnvironment {
  Clock* clock = nullptr;          // DefaultClock()
  RandomSource* random = nullptr;  // a SystemRandom of the core's own
  std::string configFile = kConfigFileName;
  std::string errorLog = "error.txt";
  std::string packetLog = PacketHandler::kDefaultPacketLog;
  uint16_t t7Port = T7Link::kDefaultPort;  // fixed for the driver; tests use a free one
  SerialPortEnvironment port;                // the serial device behind the port component
  // How long the end of the program waits for the T8 worker to finish (it is woken at
  // once; this only bounds a worker that does not answer).
  std::chrono::milliseconds workerJoinBound{5000};
  // How often a port whose device went away is tried again until it opens.
  std::chrono::milliseconds reopenInterval{1000};
};

class DriverCore : public QObject,
                   private PacketHandlerHost,
                   private StationSupervisionHost,
                   private T7LinkHost {
 public:
  static constexpr int kSpoolTickMs = 200;
  static constexpr int kT7RetryTickMs = 3000;
  static constexpr int kSupervisionError = 9;
  static constexpr const char* kWrongCodeText = "Не правильный пароль.";

  explicit DriverCore(MainView& view, CoreEnvironment environment = {});
  ~DriverCore() override;  // Shutdown
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // The start-up, once: access code, configuration, serial port, links, start time;
  // then the two ticks run until the end.
  void Start();

  // The 200 ms tick: T8 spool re-send, T7 spool re-send, station supervision.
  void SpoolTick();
  // The 3000 ms tick: reconnect the T7 link when it is used and down.
  void T7RetryTick();

  // Whether a close goes ahead: without a question after the message server's close
  // record, otherwise only with the access code. Closes the serial port when it does.
  bool MayClose();
  // The main window is asked to close (its close button, the tray's "Закрыть", the
  // message server's close record): MayClose decides; when the close goes ahead the
  // program ends. True when it goes ahead.
  bool Close();
  // SIGTERM or SIGINT: the port is closed and the program ends, without the dialog.
  void EndBySignal(int signalNumber);

  // Runs when the event loop is to end (the program's entry sets it to quit the loop).
  std::function<void()> OnProgramEnd;

  // After the event loop: the ticks stop, the port is closed, the T8 worker is stopped
  // and joined within a bound. Safe to call more than once.
  void Shutdown();

  // --- state the window and the port controls read ----------------------------------
  const MainConfig& Config() const { return config_; }
  const std::string& AccessCode() const { return accessCode_; }
  const std::string& StartTimeText() const { return startTimeText_; }
  bool CloseWithoutCode() const { return closeWithoutCode_; }
  bool StationOnline() const { return supervision_ && supervision_->Online(); }
  bool Ending() const { return ending_; }
  PacketHandler& Packets() { return packets_; }
  // The T7 link; null before Start.
  T7Link* T7() { return t7_.get(); }
  // The T8 worker; null when SendT8 is off, before Start and after Shutdown.
  T8Worker* Worker() { return worker_.get(); }
  bool T8LinkUp() const { return worker_ && worker_->LinkUp; }
  // The T8 activity counter (0..16) stepped by the worker's StepT8Indicator.
  int T8ActivityCounter() const { return t8Counter_; }
  // The spool folder and its re-send; null before Start.
  SpoolStore* Spool() { return spool_.get(); }
  SpoolResender* Resender() { return resender_.get(); }
  // The station's serial port. The port controls open and close it
  // through OpenSerialPort and CloseSerialPort, so that the T8 worker's view of it
  // stays right. Either also calls off the reopen of a port whose device went away.
  SerialPort& Port() { return port_; }
  bool OpenSerialPort();
  void CloseSerialPort();
  const QTimer& SpoolTimer() const { return spoolTimer_; }
  const QTimer& T7RetryTimer() const { return t7RetryTimer_; }
  // Runs while the port's device is away: tries the same port again, once a tick.
  const QTimer& ReopenTimer() const { return reopenTimer_; }

  // Queues a PortNotice on the T8 link; nothing when there is no T8 worker.
  void QueuePortNotice(const std::string& name, bool open);

  // The configured port name (ComPort, or the operator's later choice), and whether
  // the serial port is open, as the T8 worker reads them from its own thread.
  struct PortState {
    std::string name;
    bool open = false;
  };
  PortState CurrentPortState() const;
  // Another name than the configured one calls off a pending reopen.
  void SetConfiguredPortName(const std::string& name);

 private:
  // PacketHandlerHost
  void SendBytes(std::span<const uint8_t> bytes) override;
  void RouteEvent(const EventRecord& current) override;
  void SendT7EventReport(int32_t account, const std::string& code, uint8_t group,
                         DayCount time) override;
  void ReportPacketProblem(PacketProblem problem) override;
  // PacketHandlerHost and StationSupervisionHost
  void DrawStationIndicator() override;
  // StationSupervisionHost
  void SendStationNotice(char stateLetter) override;
  // T7LinkHost
  void DrawT7Indicator(bool connected, int counter) override;
  void RequestCloseWithoutCode() override;
  std::string SerialDeviceName() const override;
  void ShowHandlerError(const std::string& text) override;
  void SpoolNotice(std::span<const uint8_t> record) override;
  void SpoolEventReport(std::span<const uint8_t> first39) override;

  void StartSerialPort();
  bool TryOpenPort();
  void ClosePortQuietly();
  void DeviceLost();
  void ReopenTick();
  void CancelReopen();
  void CreateLinks();
  void StepT8Indicator();
  void DrawT8Indicator();
  void StopWorker();
  bool KeepUnansweredEvent(uint64_t sequence, int32_t type, std::span<const uint8_t> payload);
  void KeepUndelivered(const std::vector<T8HeldMessage>& messages);
  void EndProgram();
  void SetPortOpen(bool open);

  MainView& view_;
  Clock& clock_;
  std::unique_ptr<RandomSource> ownRandom_;
  RandomSource& random_;
  CoreEnvironment environment_;

  MainConfig config_;
  std::string accessCode_;
  std::string startTimeText_;
  bool closeWithoutCode_ = false;
  bool ending_ = false;
  bool shutDown_ = false;

  PacketHandler packets_;
  SerialPort port_;
  std::optional<StationSupervision> supervision_;

  // Declared so that they go in the right order: what the worker reaches outlives it.
  std::unique_ptr<SpoolStore> spool_;
  std::unique_ptr<T7Link> t7_;
  std::unique_ptr<T7LinkOutbox> t7Outbox_;
  std::unique_ptr<SpoolResender> resender_;
  std::unique_ptr<T8HostBridge> t8Bridge_;
  std::unique_ptr<T8Worker> worker_;
  std::unique_ptr<T8WorkerOutbox> t8Outbox_;
  std::unique_ptr<EventRouter> router_;
  int t8Counter_ = 0;

  mutable std::mutex portStateMutex_;  // the T8 worker reads it from its thread
  PortState portState_;

  QTimer spoolTimer_;
  QTimer t7RetryTimer_;
  QTimer reopenTimer_;
  std::string lostPortName_;  // the PortName the reopen tries
};

}  // namespace orvelgate
