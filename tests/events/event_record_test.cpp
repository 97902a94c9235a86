#include "events/event_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/day_count.h"

namespace orvelgate {
namespace {

TEST(EventRecord, SerialisesToItsEighteenByteLayout) {
  EventRecord r;
  r.Account = 40123;
  r.Group = 1;
  r.Code = "BA";
  r.EventTime = *EncodeDateTime({2010, 9, 8, 12, 0, 0, 0});
  const auto bytes = r.Serialize();
  const std::vector<uint8_t> expected{0xBB, 0x9C, 0x00, 0x00, 0x01, 0x02, 0x42, 0x41, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0xB0, 0xBD, 0xE3, 0x40};
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expected);
  EXPECT_EQ(EventRecord::Parse(bytes), r);
}

TEST(EventRecord, NegativeAccountAndEmptyRecord) {
  EventRecord empty;
  const auto zeros = empty.Serialize();
  for (uint8_t b : zeros) EXPECT_EQ(b, 0);
  EventRecord r;
  r.Account = -1;
  const auto bytes = r.Serialize();
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[3], 0xFF);
  EXPECT_EQ(EventRecord::Parse(bytes)->Account, -1);
}

TEST(EventRecord, ParseRefusesWrongSizes) {
  std::vector<uint8_t> shortBytes(17, 0), longBytes(19, 0);
  EXPECT_FALSE(EventRecord::Parse(shortBytes));
  EXPECT_FALSE(EventRecord::Parse(longBytes));
}

}  // namespace
}  // namespace orvelgate
