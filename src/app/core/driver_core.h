#pragma once
// The driver without its window: it makes the parts in order at the start (the serial
// port keeper, the spool, the T7 and T8 links, the router, the journaling stage and the
// packet handler), runs the two ticks, hands a close to the close guard and ends the
// program in order. An alarm does not pass through it: the packet handler's host is the
// journaling stage (JournaledFrames), which writes to the port and the router itself.
// It watches the journaling stage and the station supervision (the T7 link has a
// watch of its own, T7LinkWatch), and tells the view (MainView) what to draw. User-interface thread.

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "app/core/close_guard.h"
#include "app/core/driver_counters.h"
#include "app/core/driver_status.h"
#include "app/core/driver_ticks.h"
#include "app/core/journaled_frames.h"
#include "app/config/main_config.h"
#include "app/core/main_view.h"
#include "app/core/serial_port_keeper.h"
#include "app/core/spool_tick_pace.h"
#include "app/core/t7_link_watch.h"
#include "app/core/t8_link_owner.h"
#include "common/clock.h"
#include "common/diagnostics.h"
#include "common/error_log.h"
#include "common/random_source.h"
#include "events/event_journal_start.h"
#include "events/event_router.h"
#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "station/packet_handler.h"
#include "station/station_supervision.h"
#include "t7link/host_lookup.h"
#include "t7link/t7_link.h"

namespace orvelgate {

// What the core takes from outside; empty members take the production choice.
struct CoreEnvironment {
  Clock* clock = nullptr;          // DefaultClock()
  RandomSource* random = nullptr;  // a SystemRandom of the core's own
  std::string configFile = kConfigFileName;
  std::string errorLog = kErrorLogName;
  std::string packetLog = PacketHandler::kDefaultPacketLog;
  // Every event is synced here before its frame is acknowledged.
  std::string journalFile = kEventJournalName;
  uint16_t t7Port = T7Link::kDefaultPort;  // fixed for the driver; tests use a free one
  Resolver t7Resolver;                     // name lookups of the T7 host; the system's
  SerialPortEnvironment port;                // the serial device behind the port component
  // How long the end of the program waits for the T8 worker to finish.
  std::chrono::milliseconds workerJoinBound{5000};
  // How often a port whose device went away is tried again until it opens.
  std::chrono::milliseconds reopenInterval = SerialPortKeeper::kReopenInterval;
};

class DriverCore : public QObject,
                   private JournaledFramesWatch,
                   private StationSupervisionHost {
 public:
  static constexpr int kSupervisionError = 9;

  explicit DriverCore(MainView& view, CoreEnvironment environment = {});
  ~DriverCore() override;  // Shutdown
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // The start-up, once: access code, configuration, links, serial port, start time;
  // then the two ticks run until the end.
  void Start();

  // The spool-and-supervision tick: held events, T8 spool re-send, T7 spool re-send,
  // station supervision; then it sets when the next one is due.
  void SpoolTick();
  // The T7 retry tick: reconnect the T7 link when it is used and down.
  void T7RetryTick();
  // The spool re-send between ticks: run once an EventAck left room in the window, or
  // while the T7 socket takes records; posted to the UI thread from any thread.
  void PostSpoolRefill();
  void RefillSpool();

  // The main window is asked to close (its close button, the tray's "Закрыть", the
  // message server's close record): the close guard decides; when the close goes
  // ahead the port is closed and the program ends. True when it goes ahead.
  bool Close();
  // SIGTERM or SIGINT: the port is closed and the program ends, without the dialog.
  void EndBySignal(int signalNumber);

  // Runs when the event loop is to end (the program's entry sets it to quit the loop).
  std::function<void()> OnProgramEnd;
  // Runs at the start of every spool-and-supervision tick (the metrics take Status here).
  std::function<void()> OnSpoolTick;

  // After the event loop: the ticks stop, the port is closed, the T8 worker is stopped
  // and joined within a bound. Safe to call more than once.
  void Shutdown();

  // --- what the window and its port controls use ------------------------------------
  const MainConfig& Config() const { return config_; }
  const std::string& AccessCode() const { return guard_.AccessCode(); }
  bool Ending() const { return ending_; }
  SerialPortKeeper& PortKeeper() { return keeper_; }
  // The T7 link; null before Start.
  T7Link* T7() { return t7_.get(); }
  // The waiting spool files of a kind; nothing before Start.
  SpoolBacklog Backlog(SpoolKind kind) const { return spool_ ? spool_->Backlog(kind) : SpoolBacklog{}; }
  // What the driver is doing now, for the service manager and the metrics.
  DriverStatus Status() const;
  // How long the oldest station frame has waited for the event journal before its
  // acknowledgement; zero when none waits.
  std::chrono::nanoseconds OldestFrameWait() const {
    return journaled_ ? journaled_->OldestFrameWait() : std::chrono::nanoseconds(0);
  }
  // How long from one spool tick to the next as things stand: its pace while it has
  // work, longer while it rests.
  std::chrono::milliseconds SpoolTickInterval() const { return ticks_.SpoolInterval(); }
  // What it has done since it started; counted on every thread, readable from any.
  const DriverCounters& Counters() const { return counters_; }

 private:
  // JournaledFramesWatch
  void ReportPacketProblem(PacketProblem problem) override;
  void FrameCounted(FrameKind kind, FrameResult result) override;
  void JournalFailing(const Failure& failure) override;
  void JournalWorksAgain() override;
  void AcknowledgementWritten(std::chrono::nanoseconds waited) override;
  // JournaledFramesWatch and StationSupervisionHost
  void DrawStationIndicator() override;
  // StationSupervisionHost
  void SendStationNotice(char stateLetter) override;

  // The journaling stage before the packet handler, which it hosts.
  void CreateStationPath();
  // Opens the event journal; a failure to open is told as repeated failures are.
  std::unique_ptr<EventJournal> OpenJournal();

  void RunSpoolTick();
  // What the spool tick's next run depends on (see spool_tick_pace.h).
  SpoolTickNeeds SpoolTickNeedsNow() const;

  void CreateLinks();
  void CreateT7Link();
  void CreateT8Link();
  void CreateRouting();
  void StopT8Link();
  std::size_t SpoolHeldEvents();
  void EndProgram();

  MainView& view_;
  Clock& clock_;
  std::unique_ptr<RandomSource> ownRandom_;
  RandomSource& random_;
  CoreEnvironment environment_;
  DriverCounters counters_;  // before every part that counts into it

  MainConfig config_;
  bool ending_ = false;
  bool shutDown_ = false;

  CloseGuard guard_;
  SerialPortKeeper keeper_;
  std::optional<StationSupervision> supervision_;

  // Each is declared after the parts it holds, so that it goes before them. The T8
  // worker reaches back up (the re-send, the ack book): Shutdown stops it, or cuts it
  // off, before any of these goes.
  std::unique_ptr<SpoolStore> spool_;
  std::unique_ptr<T7LinkWatch> t7Watch_;  // what the T7 link tells the program
  std::unique_ptr<T7Link> t7_;
  std::unique_ptr<SpoolResender> resender_;
  std::unique_ptr<T8LinkOwner> t8_;
  std::unique_ptr<EventRouter> router_;
  std::unique_ptr<JournaledFrames> journaled_;
  std::unique_ptr<EventAckBook> acks_;  // which event journal entry each T8 event message carries
  // The station's packets, handed to the journaling stage; made at Start.
  std::optional<PacketHandler> packets_;

  std::optional<DayCount> lastEvent_;  // the last event taken from the station

  std::unique_ptr<RepeatedFailure> journalOpenFailures_;  // an event journal that cannot open

  DriverTicks ticks_;
  // Where refills posted from the worker's thread run: the UI thread. One at a time.
  QObject refillContext_;
  std::atomic<bool> refillPosted_{false};
};

}  // namespace orvelgate
