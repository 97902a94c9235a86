#include "faults/delivery_ledger.h"

#include <gtest/gtest.h>

namespace orvelgate::faults {
namespace {

TEST(DeliveryLedger, CountsDeliveredDuplicatesAndLostByTheFaultOfTheirTime) {
  DeliveryLedger ledger;
  ledger.Fault({"t8-server kill", 10, 15});
  ledger.Fault({"driver kill", 40, 42});
  ledger.Acknowledged(1, 1);    // delivered twice
  ledger.Acknowledged(2, 12);   // lost during the T8 server's absence
  ledger.Acknowledged(3, 29);   // lost in the aftermath of the T8 server's absence
  ledger.Acknowledged(4, 41);   // lost to the driver's kill
  ledger.Acknowledged(5, 100);  // lost with no fault about
  ledger.Acknowledged(1, 50);   // the station sent it again: still one event
  ledger.AsciiTaken(6, 41);
  ledger.Delivered(1);
  ledger.Delivered(1);
  ledger.Delivered(7);  // the station was never answered for it

  const LedgerTally tally = ledger.Tally();
  EXPECT_EQ(tally.acknowledged, 5);
  EXPECT_EQ(tally.asciiTaken, 1);
  EXPECT_EQ(tally.delivered, 2);
  EXPECT_EQ(tally.duplicates, 1);
  EXPECT_EQ(tally.unacknowledgedDelivered, 1);
  EXPECT_EQ(tally.lostByCause, (std::map<std::string, int>{
                                   {"t8-server kill", 2}, {"driver kill", 1}, {"no fault", 1}}));
  EXPECT_EQ(tally.asciiMissingByCause, (std::map<std::string, int>{{"driver kill", 1}}));
  EXPECT_EQ(tally.Lost(), 4);
  EXPECT_EQ(tally.LostExcept("driver kill"), 3);
}

TEST(DeliveryLedger, AnEventStillInASpoolFileIsHeldNotLost) {
  DeliveryLedger ledger;
  ledger.Fault({"driver kill", 0, 1});
  ledger.Acknowledged(1, 0.5);
  ledger.Acknowledged(2, 0.5);
  ledger.Acknowledged(3, 0.5);
  ledger.Delivered(1);
  ledger.Spooled(1);  // delivered and its file not yet deleted: delivered
  ledger.Spooled(2);
  ledger.Spooled(9);  // never acknowledged: nothing to hold

  const LedgerTally tally = ledger.Tally();
  EXPECT_EQ(tally.delivered, 1);
  EXPECT_EQ(tally.heldInSpool, 1);
  EXPECT_EQ(tally.lostByCause, (std::map<std::string, int>{{"driver kill", 1}}));
  EXPECT_EQ(tally.Lost(), 1);
}

TEST(DeliveryLedger, TheLatestFaultThatBeganBeforeAnEventIsCharged) {
  DeliveryLedger ledger;
  ledger.Fault({"disk full", 0, 30});
  ledger.Fault({"serial pull", 20, 22});
  EXPECT_EQ(ledger.CauseAt(19), "disk full");
  EXPECT_EQ(ledger.CauseAt(25), "serial pull");
  EXPECT_EQ(ledger.CauseAt(40), "disk full");  // within the disk's aftermath
  EXPECT_EQ(ledger.CauseAt(46), DeliveryLedger::kNoFault);
  EXPECT_EQ(ledger.CauseAt(-1), DeliveryLedger::kNoFault);
}

}  // namespace
}  // namespace orvelgate::faults
