#pragma once
// SerialPort: the serial-port component through which the driver talks to the
// receiving station. It opens one port exclusively, wakes when bytes arrive, cuts them
// into packets of PacketSize bytes and hands each to OnReceivePacket at once; fewer bytes
// than a packet that have waited longer than PacketTimeout (and after the line has gone
// quiet) are handed over as a shorter packet, which is how the 31- and 13-byte frames
// arrive whole. IsCompleteFrame, when set, may hand such bytes over before their time-out.
// Acknowledgements go out with a bounded wait.
//
// Everything runs on the thread that owns the object (the UI thread): the device's
// readiness and the one single-shot timer (a partial packet's deadline) fire through its
// event loop, so the handler and the other operations never overlap. An idle port runs
// no timer. A device without a readiness descriptor is polled every PollingDelay.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/failure.h"
#include "station/port_names.h"
#include "station/port_waking.h"
#include "station/serial_device.h"
#include "station/serial_settings.h"

namespace orvelgate {

// The bytes are valid only during the call.
using PacketCallback = std::function<void(const uint8_t* packet, uint32_t size)>;
using DataCallback = std::function<void(const uint8_t* data, uint32_t size)>;

// What the component needs from outside; empty members take the production choice.
struct SerialPortEnvironment {
  Clock* clock = nullptr;           // DefaultClock()
  SerialDeviceFactory openDevice;   // termios (serial_device_posix.h)
  PortResolver resolvePort;         // DefaultPortResolver()
  PortWakingFactory wake;           // Qt's event loop (port_waking_qt.h)
};

class SerialPort {
 public:
  static constexpr uint32_t kMinBufSize = 128;
  static constexpr uint32_t kMaxBufSize = 8192;
  static constexpr uint16_t kMinPollingDelay = 5;

  explicit SerialPort(SerialPortEnvironment environment = {});
  ~SerialPort();  // closes the port
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // --- properties -------------------------------------------------------------------
  const std::string& PortName() const { return portName_; }
  void SetPortName(const std::string& name);  // ignored while open
  void SetBaudRate(uint32_t bitsPerSecond);
  void SetDataBits(int bits);  // 5..8
  void SetStopBits(LineStopBits bits);
  void SetParity(LineParity parity);
  void SetRts(LineRts rts);
  void SetXonXoff(bool on);
  uint32_t InBufSize() const { return settings_.inBufSize; }
  void SetInBufSize(uint32_t size);  // ignored while open; 128..8192
  uint32_t OutBufSize() const { return settings_.outBufSize; }
  void SetOutBufSize(uint32_t size);  // ignored while open; 128..8192
  int16_t PacketSize() const { return settings_.packetSize; }
  void SetPacketSize(int16_t size);  // <= 0 becomes -1 (no packet mode)
  int32_t PacketTimeout() const { return settings_.packetTimeout; }
  void SetPacketTimeout(int32_t ms);  // <= 0 becomes -1 (none)
  void SetPartialPackets(PartialPacket mode) { settings_.partialPackets = mode; }
  // The shortest quiet gap before a partial packet, and the polling period of a device
  // without readiness.
  uint16_t PollingDelay() const { return settings_.pollingDelay; }
  void SetPollingDelay(uint16_t ms);  // at least 5; restarts a running poll
  void SetCheckLineStatus(bool on) { settings_.checkLineStatus = on; }

  PacketCallback OnReceivePacket;
  // Only without packet mode (PacketSize -1): whatever is waiting, each tick.
  DataCallback OnReceiveData;
  // Fewer bytes than a packet are all that is waiting, and they arrived just now: true
  // when they are one whole frame, which is then handed over at once instead of after
  // PacketTimeout. Unset, every partial packet waits for its time-out. The port knows no
  // frames: whoever wires it to the station's protocol sets this.
  std::function<bool(std::span<const uint8_t> waiting)> IsCompleteFrame;
  // The open device went away (hang-up, adapter pulled): the port has been closed.
  std::function<void()> OnDeviceLost;
  // Something escaped OnReceivePacket on a timer tick; the tick ended there. Unset, it
  // is a line in the systemd journal.
  std::function<void(const Failure& failure)> OnTickError;

  // --- operations -------------------------------------------------------------------
  bool OpenPort();
  // Why the last OpenPort failed, for the systemd journal: it describes itself as
  // "/dev/ttyUSB0: Permission denied (errno 13); add the user to the dialout group", and
  // keeps the errno where there is one. Empty after one that succeeded or threw.
  const std::optional<Failure>& LastOpenError() const { return lastOpenError_; }
  void ClosePort();
  bool IsOpen() const { return device_ != nullptr; }
  bool ApplySettings();
  bool PurgeBuffers(bool input, bool output);
  int16_t OutputRoom();
  uint8_t ModemLines();  // ModemLine flags; 0 when closed
  uint32_t SendBytesTimed(const uint8_t* data, uint32_t count, uint32_t timeoutMs);
  uint32_t SendBytes(const uint8_t* data, uint32_t count);
  void SetDTR(bool on);
  uint32_t TransmitTimeMs(uint32_t count) const;

  // One step, as on arrival or at a deadline: read, hand over full packets, or a partial
  // one after its time-out; then arm the timer for the next deadline, if any. Tests call
  // it directly to drive the port with a fake clock.
  void PollTick();


 private:
  void ReapplyIfOpen();
  void ResizeBuffer(uint32_t size);
  void StartWaking();
  void Step();
  std::optional<uint32_t> Waiting();
  long ReadWaiting(uint8_t* into, uint32_t size);
  void TakeFullPackets(uint32_t& waiting, uint32_t now);
  bool TakeCompleteFrame(uint32_t waiting);
  void TakePartialPacket(uint32_t waiting);
  void TakeStream(uint32_t waiting);
  uint32_t QuietGap() const;
  bool LineQuiet(uint32_t now) const;
  std::optional<uint32_t> NextWakeIn() const;
  void ScheduleWake();
  void DeviceLost();
  void ReadinessSignalled();
  void RunStep();

  Clock* clock_;
  SerialDeviceFactory openDevice_;
  PortResolver resolvePort_;
  std::unique_ptr<SerialDevice> device_;
  std::string devicePath_;  // what the last OpenPort resolved PortName to
  std::optional<Failure> lastOpenError_;
  // Readiness and a single-shot timer at the next deadline; a device without readiness
  // is polled by a periodic timer instead.
  std::unique_ptr<PortWaking> waking_;
  bool polled_ = false;  // the open device has no readiness descriptor

  std::string portName_;
  SerialSettings settings_;  // the window's design values until told otherwise

  std::vector<uint8_t> buffer_;          // the scratch buffer every packet is read into
  std::vector<uint8_t> held_;            // read to be looked at, still waiting as far as packets go
  bool retry_ = false;                   // a read gave less than was waiting: look again soon
  std::optional<uint32_t> firstByte_;    // tick of the first byte of a pending partial packet
  uint32_t lastSeenWaiting_ = 0;         // bytes left waiting after the previous tick
  uint32_t lastArrival_ = 0;             // tick that last saw the input queue grow
};

// Sets PortName, the speed and PacketTimeout as the start-up does; nothing for "COM255",
// which keeps the design values for a later start from the window. The caller then opens
// the port when settings.open is set.
void ApplyStartupSettings(SerialPort& port, const StartupPortSettings& settings);

}  // namespace orvelgate
