#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "t8_test_support.h"

namespace orvelgate::testing {

// ---- RecordingHost ----

void RecordingHost::LogLine(const std::string& text) {
  std::lock_guard lock(mutex_);
  logs_.push_back(text);
  changed_.notify_all();
}

void RecordingHost::StepT8Indicator() {
  std::lock_guard lock(mutex_);
  ++steps_;
}

void RecordingHost::OnEventAck(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (ackThrows_) throw std::runtime_error("the host failed");
  ++acks_;
  ackedSequences_.push_back(sequence);
  changed_.notify_all();
}

bool RecordingHost::KeepUnanswered(uint64_t sequence, int32_t /*type*/,
                                   std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  unanswered_.emplace_back(sequence, std::vector<uint8_t>(payload.begin(), payload.end()));
  return keeps_;
}

bool RecordingHost::KeepNotAcknowledged(uint64_t sequence, int32_t type,
                                        std::span<const uint8_t> /*payload*/,
                                        std::optional<int32_t> reply) {
  std::lock_guard lock(mutex_);
  notAcknowledged_.push_back({sequence, type, reply});
  return type != kT8EventMessageType || keeps_;
}

void RecordingHost::OnRequeued(uint64_t oldSequence, uint64_t newSequence) {
  std::lock_guard lock(mutex_);
  requeued_.emplace_back(oldSequence, newSequence);
}

void RecordingHost::LetGoUnkept(uint64_t sequence) {
  std::lock_guard lock(mutex_);
  letGo_.push_back(sequence);
}

std::vector<RecordingHost::NotAcknowledged> RecordingHost::NotAcknowledgedMessages() const {
  std::lock_guard lock(mutex_);
  return notAcknowledged_;
}

std::vector<std::pair<uint64_t, uint64_t>> RecordingHost::Requeued() const {
  std::lock_guard lock(mutex_);
  return requeued_;
}

std::vector<uint64_t> RecordingHost::LetGo() const {
  std::lock_guard lock(mutex_);
  return letGo_;
}

void RecordingHost::SetKeeps(bool keeps) {
  std::lock_guard lock(mutex_);
  keeps_ = keeps;
}

std::vector<uint64_t> RecordingHost::AckedSequences() const {
  std::lock_guard lock(mutex_);
  return ackedSequences_;
}

std::vector<std::pair<uint64_t, std::vector<uint8_t>>> RecordingHost::Unanswered() const {
  std::lock_guard lock(mutex_);
  return unanswered_;
}

void RecordingHost::OnConnectionEstablished() {
  std::lock_guard lock(mutex_);
  ++established_;
}

void RecordingHost::OnConnectFailed(const Failure& cause) {
  std::lock_guard lock(mutex_);
  connectFailures_.push_back(cause.Describe());
  changed_.notify_all();
}

void RecordingHost::OnConnectRecovered() {
  std::lock_guard lock(mutex_);
  ++recoveries_;
}

std::vector<std::string> RecordingHost::ConnectFailures() const {
  std::lock_guard lock(mutex_);
  return connectFailures_;
}

int RecordingHost::Recoveries() const {
  std::lock_guard lock(mutex_);
  return recoveries_;
}

void RecordingHost::SetAckThrows(bool throws) {
  std::lock_guard lock(mutex_);
  ackThrows_ = throws;
}

PortStatus RecordingHost::CurrentPort() {
  std::lock_guard lock(mutex_);
  return port_;
}

void RecordingHost::SetPort(PortStatus port) {
  std::lock_guard lock(mutex_);
  port_ = std::move(port);
}

std::vector<std::string> RecordingHost::Logs() const {
  std::lock_guard lock(mutex_);
  return logs_;
}

int RecordingHost::CountLog(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(logs_.begin(), logs_.end(), text));
}

int RecordingHost::Steps() const {
  std::lock_guard lock(mutex_);
  return steps_;
}

int RecordingHost::Acks() const {
  std::lock_guard lock(mutex_);
  return acks_;
}

int RecordingHost::Established() const {
  std::lock_guard lock(mutex_);
  return established_;
}

bool RecordingHost::WaitForLog(const std::string& text, int count,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::count(logs_.begin(), logs_.end(), text) >= count;
  });
}

bool RecordingHost::WaitForAcks(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return acks_ >= count; });
}

BlockedListener::BlockedListener() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener_, 0), 0);  // room for one connection that nobody accepts
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
}

BlockedListener::~BlockedListener() {
  close(filler_);
  close(listener_);
}

}  // namespace orvelgate::testing
