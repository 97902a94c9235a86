#include "station/fake_serial_device.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace orvelgate::testing {
namespace {

void Signal(int fd) {
  const uint64_t one = 1;
  if (write(fd, &one, sizeof one) != sizeof one) throw std::runtime_error("eventfd write");
}

}  // namespace

FakeLine::FakeLine() : readinessFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (readinessFd < 0) throw std::runtime_error("eventfd");
}

FakeLine::~FakeLine() { close(readinessFd); }

void FakeLine::Arrive(const std::vector<uint8_t>& bytes) {
  input.insert(input.end(), bytes.begin(), bytes.end());
  Signal(readinessFd);
}

void FakeLine::HangUp() {
  gone = true;
  Signal(readinessFd);
}

Readiness FakeSerialDevice::TakeReadiness() {
  uint64_t count = 0;
  if (read(line_->readinessFd, &count, sizeof count) != sizeof count) return Readiness::kNone;
  return line_->gone ? Readiness::kHangUp : Readiness::kInput;
}

bool FakeSerialDevice::Configure(const LineSettings& s) {
  line_->configured.push_back(s);
  if (line_->configureFails) return false;
  line_->dtr.push_back(s.dtr);
  return true;
}

std::optional<uint32_t> FakeSerialDevice::BytesWaiting() {
  if (line_->gone) return std::nullopt;
  return static_cast<uint32_t>(line_->input.size());
}

long FakeSerialDevice::Read(uint8_t* buffer, std::size_t size) {
  if (line_->readFails) return -1;
  const std::size_t n = std::min(size, line_->input.size());
  std::copy_n(line_->input.begin(), n, buffer);
  line_->input.erase(line_->input.begin(), line_->input.begin() + static_cast<long>(n));
  return static_cast<long>(n);
}

long FakeSerialDevice::Write(const uint8_t* data, std::size_t size) {
  ++line_->writeCalls;
  if (line_->writeFails) return -1;
  const std::size_t n = line_->writeLimit < 0 ? size : std::min<std::size_t>(size, line_->writeLimit);
  line_->written.insert(line_->written.end(), data, data + n);
  return static_cast<long>(n);
}

void FakeSerialDevice::WaitWritable(int timeoutMs) {
  ++line_->waits;
  clock_.Advance(static_cast<uint32_t>(std::max(timeoutMs, 0)));
}

bool FakeSerialDevice::Purge(bool input, bool output) {
  line_->purges.emplace_back(input, output);
  if (input) line_->input.clear();
  return true;
}

bool FakeSerialDevice::SetDtr(bool on) {
  line_->dtr.push_back(on);
  return true;
}

}  // namespace orvelgate::testing
