#pragma once
// The books of a fault-injection run: which events the station was answered for, which
// reached the T8 server (and how often), and which faults were going on when. Every
// event of the run has an account of its own, so the account names it. No I/O.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace orvelgate::faults {

// A fault that the harness caused, from `start` to `end` (seconds into the run).
struct FaultSpan {
  std::string cause;  // "t8-server kill", "driver kill", ...
  double start = 0;
  double end = 0;
};

struct LedgerTally {
  int acknowledged = 0;      // GB and CN frames the driver acknowledged
  int asciiTaken = 0;        // ASCII frames sent while the driver held the line
  int delivered = 0;         // distinct events the T8 server received
  int duplicates = 0;        // receptions beyond the first of an event
  int unacknowledgedDelivered = 0;  // received, though the station got no answer for it
  int heldInSpool = 0;       // acknowledged, not received, but in a whole spool file
  std::map<std::string, int> lostByCause;       // acknowledged, never received
  std::map<std::string, int> asciiMissingByCause;
  int Lost() const;
  int LostExcept(const std::string& cause) const;
};

class DeliveryLedger {
 public:
  // How long after a fault's end an event still counts against that fault.
  static constexpr double kAftermathSeconds = 15;
  static constexpr const char* kNoFault = "no fault";

  // The station got the acknowledgement of the frame carrying `account` at `at`.
  void Acknowledged(int64_t account, double at);
  // An ASCII frame (never answered) went out while the driver held the line.
  void AsciiTaken(int64_t account, double at);
  // The T8 server printed the event.
  void Delivered(int64_t account);
  // A whole spool file holds the event (read when the run ends): not lost, only late.
  void Spooled(int64_t account);
  void Fault(FaultSpan span);

  LedgerTally Tally() const;
  // The fault an event handed over at `at` is charged to: the latest that began before
  // it and had not been over for long.
  std::string CauseAt(double at) const;

 private:
  std::map<int64_t, double> acknowledged_;
  std::map<int64_t, double> ascii_;
  std::map<int64_t, int> deliveries_;
  std::set<int64_t> spooled_;
  std::vector<FaultSpan> faults_;
};

}  // namespace orvelgate::faults
