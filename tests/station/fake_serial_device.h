#pragma once
// A scripted serial device for the port component's tests: the test makes bytes arrive
// and reads back what was written, and waits move the fake clock instead of sleeping.
// Its readiness descriptor (an eventfd) turns readable once per Arrive or HangUp, as the
// real device's does, so the port's event loop can be driven too.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "station/serial_device.h"

namespace orvelgate::testing {

struct FakeLine {
  FakeLine();
  ~FakeLine();
  FakeLine(const FakeLine&) = delete;
  FakeLine& operator=(const FakeLine&) = delete;

  std::deque<uint8_t> input;
  std::vector<uint8_t> written;
  std::vector<LineSettings> configured;
  std::vector<std::pair<bool, bool>> purges;
  std::vector<bool> dtr;
  uint32_t outputQueued = 0;
  long writeLimit = -1;        // bytes taken per write call; -1 takes all, 0 nothing
  bool writeFails = false;
  bool configureFails = false;
  bool readFails = false;
  bool gone = false;           // BytesWaiting reports the device gone
  uint8_t modemLines = kModemCts | kModemDsr;
  int writeCalls = 0;
  int waits = 0;
  bool closed = false;
  bool withReadiness = true;   // false: a device the port has to poll
  int readinessFd = -1;        // readable from Arrive or HangUp until the port takes it

  void Arrive(const std::vector<uint8_t>& bytes);
  void HangUp();
};

class FakeSerialDevice final : public SerialDevice {
 public:
  FakeSerialDevice(std::shared_ptr<FakeLine> line, FakeClock& clock) : line_(std::move(line)), clock_(clock) {}

  bool Configure(const LineSettings& s) override;
  std::optional<uint32_t> BytesWaiting() override;
  long Read(uint8_t* buffer, std::size_t size) override;
  long Write(const uint8_t* data, std::size_t size) override;
  void WaitWritable(int timeoutMs) override;
  uint32_t OutputQueued() override { return line_->outputQueued; }
  bool Purge(bool input, bool output) override;
  bool SetDtr(bool on) override;
  uint8_t ModemLines() override { return line_->modemLines; }
  void Close() override { line_->closed = true; }
  int ReadinessDescriptor() override { return line_->withReadiness ? line_->readinessFd : -1; }
  Readiness TakeReadiness() override;

 private:
  std::shared_ptr<FakeLine> line_;
  FakeClock& clock_;
};

}  // namespace orvelgate::testing
