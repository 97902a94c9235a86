#include "station/serial_port.h"

#include <algorithm>
#include <exception>

#include "common/diagnostics.h"
#include "station/port_waking_qt.h"
#include "station/serial_device_posix.h"

namespace orvelgate {
namespace {

// Elapsed milliseconds from then to now on the wrapping tick, signed: a time that lies
// ahead of now reads as negative instead of as four billion.
int64_t Since(uint32_t now, uint32_t then) { return static_cast<int32_t>(now - then); }

uint32_t ClampBufSize(uint32_t size) {
  return std::clamp(size, SerialPort::kMinBufSize, SerialPort::kMaxBufSize);
}

}  // namespace

SerialPort::SerialPort(SerialPortEnvironment environment)
    : clock_(environment.clock ? environment.clock : &DefaultClock()),
      openDevice_(environment.openDevice ? std::move(environment.openDevice)
                                         : PosixSerialDeviceFactory()),
      resolvePort_(environment.resolvePort ? std::move(environment.resolvePort)
                                           : DefaultPortResolver()),
      portName_(PortNameFor("COM1")),
      buffer_(settings_.inBufSize, 0) {
  const PortWakingFactory wake =
      environment.wake ? std::move(environment.wake) : QtPortWakingFactory();
  waking_ = wake({.readable = [this] { ReadinessSignalled(); }, .due = [this] { RunStep(); }});
}

SerialPort::~SerialPort() { ClosePort(); }

// --- properties ---------------------------------------------------------------------

void SerialPort::SetPortName(const std::string& name) {
  if (IsOpen()) return;
  portName_ = name;
}

void SerialPort::SetBaudRate(uint32_t bitsPerSecond) {
  settings_.line.baud = bitsPerSecond;
  ReapplyIfOpen();
}

void SerialPort::SetDataBits(int bits) {
  settings_.line.dataBits = std::clamp(bits, 5, 8);
  ReapplyIfOpen();
}

void SerialPort::SetStopBits(LineStopBits bits) {
  settings_.line.stopBits = bits;
  ReapplyIfOpen();
}

void SerialPort::SetParity(LineParity parity) {
  settings_.line.parity = parity;
  ReapplyIfOpen();
}

void SerialPort::SetRts(LineRts rts) {
  settings_.line.rts = rts;
  ReapplyIfOpen();
}

void SerialPort::SetXonXoff(bool on) {
  settings_.line.xonXoff = on;
  ReapplyIfOpen();
}

void SerialPort::SetInBufSize(uint32_t size) {
  if (IsOpen()) return;
  ResizeBuffer(ClampBufSize(size));
  SetPacketSize(settings_.packetSize);
}

void SerialPort::SetOutBufSize(uint32_t size) {
  if (IsOpen()) return;
  settings_.outBufSize = ClampBufSize(size);
}

void SerialPort::SetPacketSize(int16_t size) {
  if (size <= 0) {
    settings_.packetSize = -1;
    return;
  }
  const auto wanted = static_cast<uint32_t>(size);
  if (wanted > settings_.inBufSize && !IsOpen()) ResizeBuffer(ClampBufSize(wanted));
  // A packet never outgrows the scratch buffer it is read into.
  settings_.packetSize = static_cast<int16_t>(std::min(wanted, settings_.inBufSize));
}

void SerialPort::SetPacketTimeout(int32_t ms) { settings_.packetTimeout = ms <= 0 ? -1 : ms; }

void SerialPort::SetPollingDelay(uint16_t ms) {
  const uint16_t delay = std::max(ms, kMinPollingDelay);
  const bool changed = delay != settings_.pollingDelay;
  settings_.pollingDelay = delay;
  if (changed && IsOpen() && polled_) waking_->WakeEvery(settings_.pollingDelay);
}

void SerialPort::ResizeBuffer(uint32_t size) {
  settings_.inBufSize = size;
  buffer_.assign(size, 0);
}

void SerialPort::ReapplyIfOpen() {
  if (IsOpen()) ApplySettings();
}

// --- operations ---------------------------------------------------------------------

bool SerialPort::OpenPort() {
  if (IsOpen()) return true;
  // An open that throws leaves no cause here: an earlier one's would be mistaken for it.
  lastOpenError_.reset();
  const std::optional<std::string> path = resolvePort_(portName_);
  if (!path) {
    lastOpenError_ = Failure::FromText(portName_ + ": no device for this port name");
    return false;
  }
  devicePath_ = *path;
  OpenedDevice opened = openDevice_(devicePath_);
  device_ = std::move(opened.device);
  if (!device_) {
    lastOpenError_ = OpenFailure(devicePath_, opened.error);
    return false;
  }
  // ApplySettings purges both queues, which also clears the first-byte time.
  if (!ApplySettings()) {
    lastOpenError_ = Failure::FromText(devicePath_ + ": the device refused the line settings");
    device_->Close();
    device_.reset();
    return false;
  }
  // Reads never wait and writes wait a bounded time: the device is non-blocking, and
  // SendBytesTimed bounds its own waits.
  StartWaking();
  return true;
}

// Bytes that come after the purge are signalled on the descriptor: nothing to look at yet.
void SerialPort::StartWaking() {
  const int descriptor = device_->ReadinessDescriptor();
  polled_ = descriptor < 0;
  if (polled_) {
    waking_->WakeEvery(settings_.pollingDelay);
    return;
  }
  waking_->WatchReadiness(descriptor);
}

void SerialPort::ClosePort() {
  if (!IsOpen()) return;
  waking_->StopTimer();
  waking_->StopWatching();  // this may run inside the readiness handler
  held_.clear();
  device_->Close();
  device_.reset();
}

bool SerialPort::ApplySettings() {
  if (!IsOpen()) return false;
  if (!device_->Configure(settings_.line)) return false;
  // The queue sizes are the kernel's own on Linux; InBufSize sizes the scratch buffer.
  return PurgeBuffers(true, true);
}

bool SerialPort::PurgeBuffers(bool input, bool output) {
  if (!IsOpen()) return false;
  if (!device_->Purge(input, output)) return false;
  firstByte_.reset();
  if (input) {
    held_.clear();
    lastSeenWaiting_ = 0;
  }
  return true;
}

int16_t SerialPort::OutputRoom() {
  if (!IsOpen()) return -1;
  const int64_t room = static_cast<int64_t>(settings_.outBufSize) - device_->OutputQueued();
  return static_cast<int16_t>(std::clamp<int64_t>(room, INT16_MIN, INT16_MAX));
}

uint8_t SerialPort::ModemLines() { return IsOpen() ? device_->ModemLines() : 0; }

uint32_t SerialPort::SendBytesTimed(const uint8_t* data, uint32_t count, uint32_t timeoutMs) {
  if (!IsOpen() || data == nullptr) return 0;
  uint32_t written = 0;
  uint32_t lastProgress = clock_->TickMs();
  while (written < count) {
    const int16_t room = OutputRoom();
    if (room > 0) {
      if (settings_.checkLineStatus && ModemLines() == 0) break;
      const uint32_t chunk = std::min<uint32_t>(static_cast<uint32_t>(room), count - written);
      const long w = device_->Write(data + written, chunk);
      if (w < 0) break;  // the device failed; waiting will not mend it
      if (w > 0) {
        written += static_cast<uint32_t>(w);
        lastProgress = clock_->TickMs();
        continue;
      }
    }
    const int64_t idle = Since(clock_->TickMs(), lastProgress);
    if (idle > static_cast<int64_t>(timeoutMs)) break;
    // Each wait is bounded to 10 ms, like one write call of the line driver.
    device_->WaitWritable(static_cast<int>(std::min<int64_t>(10, timeoutMs - idle + 1)));
  }
  return written;
}

uint32_t SerialPort::SendBytes(const uint8_t* data, uint32_t count) {
  return SendBytesTimed(data, count, settings_.outputTimeout);
}

void SerialPort::SetDTR(bool on) {
  if (IsOpen()) device_->SetDtr(on);
}

uint32_t SerialPort::TransmitTimeMs(uint32_t count) const {
  if (settings_.line.baud == 0) return 0;
  // count characters of 10 bits, rounded to the nearest millisecond.
  const uint64_t tenthsOfBits = static_cast<uint64_t>(count) * 10000u;
  return static_cast<uint32_t>((2 * tenthsOfBits + settings_.line.baud) / (2 * uint64_t{settings_.line.baud}));
}

// --- reading ------------------------------------------------------------------------

void SerialPort::ReadinessSignalled() {
  if (!IsOpen()) return;
  // A hung-up terminal stays readable for ever: close at once, never look again.
  if (device_->TakeReadiness() == Readiness::kHangUp) {
    DeviceLost();
    return;
  }
  RunStep();
}

void SerialPort::RunStep() {
  // An exception must not leave through the event loop: it ends this step only, and
  // whatever is still waiting is read on the next one.
  try {
    PollTick();
    return;
  } catch (...) {
    const Failure failure = Failure::FromCurrentException();
    if (OnTickError) {
      OnTickError(failure);
    } else {
      Diagnose(Severity::kError, Failure::Wrap("a packet's handling failed", failure).Describe());
    }
  }
  ScheduleWake();
}

void SerialPort::PollTick() {
  if (!IsOpen()) return;
  Step();
  ScheduleWake();
}

void SerialPort::Step() {
  retry_ = false;
  // 1. Bytes waiting.
  const std::optional<uint32_t> queued = Waiting();
  if (!queued) {
    DeviceLost();
    return;
  }
  uint32_t waiting = *queued;
  const uint32_t now = clock_->TickMs();
  const bool arrived = waiting > lastSeenWaiting_;
  if (arrived) lastArrival_ = now;
  lastSeenWaiting_ = waiting;

  if (settings_.packetSize <= 0) {
    TakeStream(waiting);
    return;
  }
  // 2. Full packets.
  if (waiting >= static_cast<uint32_t>(settings_.packetSize)) {
    TakeFullPackets(waiting, now);
    return;
  }
  // 3. Fewer bytes that already form a whole frame.
  if (arrived && TakeCompleteFrame(waiting)) return;
  // 4. A partial packet whose time-out has passed, once the line is quiet.
  if (settings_.packetTimeout > 0 && firstByte_ && Since(now, *firstByte_) > settings_.packetTimeout &&
      LineQuiet(now)) {
    TakePartialPacket(waiting);
    return;
  }
  // 5. The first byte of a new partial packet.
  if (waiting > 0 && !firstByte_) firstByte_ = now;
}

// The bytes held for a look count as waiting, ahead of the device's queue.
std::optional<uint32_t> SerialPort::Waiting() {
  const std::optional<uint32_t> queued = device_->BytesWaiting();
  if (!queued) return std::nullopt;
  return static_cast<uint32_t>(held_.size()) + *queued;
}

// Reads as the device does, the held bytes first; a read that gives less than asked has
// the next step look again, since no new arrival may come to wake it.
long SerialPort::ReadWaiting(uint8_t* into, uint32_t size) {
  const auto fromHeld = static_cast<uint32_t>(std::min<std::size_t>(size, held_.size()));
  std::copy_n(held_.begin(), fromHeld, into);
  held_.erase(held_.begin(), held_.begin() + fromHeld);
  long n = fromHeld;
  if (fromHeld < size) {
    const long got = device_->Read(into + fromHeld, size - fromHeld);
    if (got < 0 && fromHeld == 0) n = -1;
    if (got > 0) n += got;
  }
  if (n < static_cast<long>(size)) retry_ = true;
  return n;
}

void SerialPort::TakeFullPackets(uint32_t& waiting, uint32_t now) {
  const auto size = static_cast<uint32_t>(settings_.packetSize);
  const uint32_t packetTime = TransmitTimeMs(size);
  while (waiting >= size) {
    const long n = ReadWaiting(buffer_.data(), size);
    // Accounted before the handler runs, so that a handler that throws leaves a state
    // from which the next tick goes on.
    if (firstByte_) {
      // The next packet's first byte came one packet time later, but not after now
      // (bytes can come faster than the line rate, from a pseudo-terminal).
      const uint32_t next = *firstByte_ + packetTime;
      firstByte_ = Since(now, next) < 0 ? now : next;
    }
    waiting -= size;
    lastSeenWaiting_ = waiting;
    if (waiting == 0) firstByte_.reset();
    if (n > 0 && OnReceivePacket) {
      OnReceivePacket(buffer_.data(), static_cast<uint32_t>(n));
      if (!IsOpen()) return;  // the handler closed the port
    }
  }
  // Bytes left behind by packets that arrived whole between two ticks: they wait from
  // this tick, like the first byte of any partial packet.
  if (waiting > 0 && !firstByte_) firstByte_ = now;
}

// Reads what is waiting to look at it; when it is one whole frame it is handed over as
// a packet now, otherwise it stays held, still waiting under the usual rules.
bool SerialPort::TakeCompleteFrame(uint32_t waiting) {
  if (!IsCompleteFrame || waiting == 0) return false;
  const auto wanted = waiting - static_cast<uint32_t>(held_.size());
  const std::size_t at = held_.size();
  held_.resize(waiting);
  const long n = wanted > 0 ? device_->Read(held_.data() + at, wanted) : 0;
  held_.resize(at + static_cast<std::size_t>(std::max(n, 0L)));
  if (held_.size() != waiting) {
    retry_ = true;  // the device gave less than it announced: no look this time
    return false;
  }
  if (!IsCompleteFrame(std::span<const uint8_t>(held_))) return false;
  std::copy(held_.begin(), held_.end(), buffer_.begin());
  held_.clear();
  firstByte_.reset();
  lastSeenWaiting_ = 0;
  if (OnReceivePacket) OnReceivePacket(buffer_.data(), waiting);
  return true;
}

void SerialPort::TakePartialPacket(uint32_t waiting) {
  const long n = waiting > 0 ? ReadWaiting(buffer_.data(), waiting) : 0;
  firstByte_.reset();
  if (n > 0) lastSeenWaiting_ = waiting - static_cast<uint32_t>(n);
  if (n > 0 && settings_.partialPackets == PartialPacket::kPass && OnReceivePacket) {
    OnReceivePacket(buffer_.data(), static_cast<uint32_t>(n));
  }
}

void SerialPort::TakeStream(uint32_t waiting) {
  while (waiting > 0 && IsOpen()) {
    const long n = ReadWaiting(buffer_.data(), std::min<uint32_t>(waiting, settings_.inBufSize));
    if (n <= 0) return;
    waiting -= std::min<uint32_t>(waiting, static_cast<uint32_t>(n));
    lastSeenWaiting_ = waiting;
    if (OnReceiveData) OnReceiveData(buffer_.data(), static_cast<uint32_t>(n));
  }
}

// A partial packet is complete only when no byte has come for a polling period and for
// two character times: a precise timer would otherwise cut every frame that takes longer
// than the time-out to arrive (a 35-byte frame at 2400 bit/s takes 146 ms against 53).
uint32_t SerialPort::QuietGap() const {
  const uint32_t twoCharacters =
      settings_.line.baud == 0 ? 0 : (20000u + settings_.line.baud - 1) / settings_.line.baud;
  return std::max<uint32_t>(settings_.pollingDelay, twoCharacters);
}

bool SerialPort::LineQuiet(uint32_t now) const {
  return Since(now, lastArrival_) >= static_cast<int64_t>(QuietGap());
}

// Milliseconds until the next step is due, or nullopt when only an arrival can bring
// one: an idle port, or a partial packet without a time-out.
std::optional<uint32_t> SerialPort::NextWakeIn() const {
  if (retry_) return settings_.pollingDelay;
  // Left waiting by a handler that threw or by a short read: go on at once.
  const uint32_t whole = settings_.packetSize > 0 ? static_cast<uint32_t>(settings_.packetSize) : 1;
  if (lastSeenWaiting_ >= whole) return 0;
  if (settings_.packetSize <= 0 || settings_.packetTimeout <= 0 || !firstByte_) return std::nullopt;
  const uint32_t now = clock_->TickMs();
  const int64_t timedOut = int64_t{settings_.packetTimeout} + 1 - Since(now, *firstByte_);
  const int64_t quiet = int64_t{QuietGap()} - Since(now, lastArrival_);
  return static_cast<uint32_t>(std::max<int64_t>({timedOut, quiet, 0}));
}

void SerialPort::ScheduleWake() {
  if (!IsOpen() || polled_) return;  // a polled device keeps its period
  const std::optional<uint32_t> in = NextWakeIn();
  if (in) {
    waking_->WakeOnceIn(static_cast<int>(*in));
  } else {
    waking_->StopTimer();
  }
}

void SerialPort::DeviceLost() {
  // Looking at a device that is gone would fail for ever: let it go, so that the lock is
  // released and the operator can start the port again once it is back.
  ClosePort();
  if (OnDeviceLost) OnDeviceLost();
}

void ApplyStartupSettings(SerialPort& port, const StartupPortSettings& settings) {
  if (!settings.open) return;
  port.SetPortName(settings.portName);
  if (settings.tableSpeed) port.SetBaudRate(*settings.tableSpeed);
  port.SetPacketTimeout(settings.packetTimeout);
}

}  // namespace orvelgate
