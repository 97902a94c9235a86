#include "events/event_record.h"

#include "common/counted_string.h"
#include "common/le_bytes.h"

namespace orvelgate {
namespace {
constexpr std::size_t kAccount = 0;
constexpr std::size_t kGroup = 4;
constexpr std::size_t kCode = 5;
constexpr std::size_t kCodeCapacity = 4;
constexpr std::size_t kEventTime = 10;
static_assert(kEventTime + 8 == EventRecord::kSize);
}  // namespace

EventRecord::Bytes EventRecord::Serialize() const {
  Bytes bytes{};
  LeWriter out(bytes);
  out.I32(kAccount, Account);
  out.U8(kGroup, Group);
  PutCountedString(out, kCode, kCodeCapacity, Code);
  out.F64(kEventTime, EventTime);
  return bytes;
}

std::optional<EventRecord> EventRecord::Parse(std::span<const uint8_t> bytes) {
  if (bytes.size() != kSize) return std::nullopt;
  LeReader in(bytes);
  EventRecord r;
  r.Account = *in.I32(kAccount);
  r.Group = *in.U8(kGroup);
  r.Code = *GetCountedString(in, kCode, kCodeCapacity);
  r.EventTime = *in.F64(kEventTime);
  return r;
}

}  // namespace orvelgate
