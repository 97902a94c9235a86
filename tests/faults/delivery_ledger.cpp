#include "faults/delivery_ledger.h"

namespace orvelgate::faults {

int LedgerTally::Lost() const { return LostExcept(""); }

int LedgerTally::LostExcept(const std::string& cause) const {
  int lost = 0;
  for (const auto& [name, count] : lostByCause) {
    if (name != cause) lost += count;
  }
  return lost;
}

void DeliveryLedger::Acknowledged(int64_t account, double at) {
  acknowledged_.emplace(account, at);  // a repeated frame keeps its first answer
}

void DeliveryLedger::AsciiTaken(int64_t account, double at) { ascii_.emplace(account, at); }

void DeliveryLedger::Delivered(int64_t account) { ++deliveries_[account]; }

void DeliveryLedger::Spooled(int64_t account) { spooled_.insert(account); }

void DeliveryLedger::Fault(FaultSpan span) { faults_.push_back(std::move(span)); }

std::string DeliveryLedger::CauseAt(double at) const {
  const FaultSpan* charged = nullptr;
  for (const FaultSpan& fault : faults_) {
    if (fault.start > at || at > fault.end + kAftermathSeconds) continue;
    if (!charged || fault.start > charged->start) charged = &fault;
  }
  return charged ? charged->cause : kNoFault;
}

LedgerTally DeliveryLedger::Tally() const {
  LedgerTally tally;
  tally.acknowledged = static_cast<int>(acknowledged_.size());
  tally.asciiTaken = static_cast<int>(ascii_.size());
  for (const auto& [account, count] : deliveries_) {
    ++tally.delivered;
    tally.duplicates += count - 1;
    if (!acknowledged_.contains(account) && !ascii_.contains(account)) {
      ++tally.unacknowledgedDelivered;
    }
  }
  for (const auto& [account, at] : acknowledged_) {
    if (deliveries_.contains(account)) continue;
    if (spooled_.contains(account)) {
      ++tally.heldInSpool;
    } else {
      ++tally.lostByCause[CauseAt(at)];
    }
  }
  for (const auto& [account, at] : ascii_) {
    if (!deliveries_.contains(account)) ++tally.asciiMissingByCause[CauseAt(at)];
  }
  return tally;
}

}  // namespace orvelgate::faults
