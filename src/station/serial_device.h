#pragma once
// The serial device behind SerialPort: the few operations the port component needs
// from the platform. Production uses termios (serial_device_posix.h); the PollTick tests
// use a scripted fake; integration tests use a real pseudo-terminal.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "station/serial_settings.h"

namespace orvelgate {

// Modem input lines, as the port component reports them.
enum ModemLine : uint8_t { kModemCts = 1, kModemDsr = 2, kModemRing = 4, kModemCd = 8 };

// What a device's readiness descriptor signalled since it was last taken.
enum class Readiness : uint8_t { kNone, kInput, kHangUp };

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Raw binary line with these settings; false when the device refuses them.
  virtual bool Configure(const LineSettings& settings) = 0;
  // Bytes waiting in the input queue. nullopt means the device has gone away (hung up,
  // unplugged); any other failure reads as 0.
  virtual std::optional<uint32_t> BytesWaiting() = 0;
  // Reads what is waiting, up to size bytes, without waiting; -1 on failure.
  virtual long Read(uint8_t* buffer, std::size_t size) = 0;
  // Writes what the device takes at once, up to size bytes; 0 when it takes nothing
  // now, -1 on failure.
  virtual long Write(const uint8_t* data, std::size_t size) = 0;
  // Waits at most timeoutMs until output can make progress again.
  virtual void WaitWritable(int timeoutMs) = 0;
  // Bytes still waiting in the output queue.
  virtual uint32_t OutputQueued() = 0;
  // Throws away the chosen queues.
  virtual bool Purge(bool input, bool output) = 0;
  // Raises or drops DTR; false when the device refuses (a line a device does not have,
  // such as DTR on a pseudo-terminal, is not a failure).
  virtual bool SetDtr(bool on) = 0;
  // A set of ModemLine flags.
  virtual uint8_t ModemLines() = 0;
  virtual void Close() = 0;

  // A descriptor that turns readable once each time new input arrives or the device
  // hangs up, and stays quiet while input already signalled merely waits: the port
  // leaves a partial packet in the queue until its time-out, and a level-triggered
  // descriptor would wake it without end meanwhile. -1 when the device has none; the
  // port then polls it every PollingDelay.
  virtual int ReadinessDescriptor() { return -1; }
  // Takes what the descriptor signalled, so that it goes quiet until the next arrival.
  virtual Readiness TakeReadiness() { return Readiness::kNone; }
};

// What opening a device path gave: the device, or why not (the errno of the step that
// failed; 0 when the cause is not known). Made from a bare device pointer too, so that a
// factory may simply return one.
struct OpenedDevice {
  OpenedDevice() = default;
  OpenedDevice(std::nullptr_t) {}
  template <typename Device>
    requires std::convertible_to<Device*, SerialDevice*>
  OpenedDevice(std::unique_ptr<Device> opened) : device(std::move(opened)) {}
  static OpenedDevice Failed(int errorNumber) {
    OpenedDevice result;
    result.error = errorNumber;
    return result;
  }

  std::unique_ptr<SerialDevice> device;
  int error = 0;
};

// Opens a device path exclusively.
using SerialDeviceFactory = std::function<OpenedDevice(const std::string& path)>;

}  // namespace orvelgate
