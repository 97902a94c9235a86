#include "t7link/t7_records.h"

#include <algorithm>
#include <charconv>

#include "common/counted_string.h"
#include "common/le_bytes.h"

namespace orvelgate {
namespace {

constexpr std::size_t kMarkerOffset = 0;
constexpr std::size_t kTypeOffset = 2;
constexpr uint16_t kMarker = 0xFFFF;

// Offsets shared by several record types.
constexpr std::size_t kConstantByteOffset = 3;  // greeting 1, port number, report 1
constexpr std::size_t kValueOffset = 5;         // report's account, notice's value 1
constexpr std::size_t kTimeOffset = 30;         // report's and clock record's time stamp

// Event report fields (table in the header).
constexpr std::size_t kReportSecondOne = 4;
constexpr std::size_t kReportCode = 13;
constexpr std::size_t kReportCodeCapacity = 4;
constexpr std::size_t kReportGroup = 19;
constexpr std::size_t kReportZeros1 = 22;
constexpr std::size_t kReportZeros2 = 26;
constexpr std::size_t kReportZerosCapacity = 3;
constexpr std::size_t kReportLastOne = 38;
static_assert(kReportLastOne + 1 == kT7EventSpoolSize);

constexpr std::size_t kDeviceNamePrefixLength = 7;  // "\\.\COM"

T7Record Blank(T7RecordType type) {
  T7Record r{};
  LeWriter w(r);
  w.U16(kMarkerOffset, kMarker);
  w.U8(kTypeOffset, static_cast<uint8_t>(type));
  return r;
}

}  // namespace

T7Record BuildGreetingRecord() {
  T7Record r = Blank(T7RecordType::Greeting);
  r[kConstantByteOffset] = 1;
  return r;
}

std::optional<int32_t> PortNumberFromDeviceName(std::string_view deviceName) {
  if (deviceName.size() <= kDeviceNamePrefixLength) return std::nullopt;
  std::string_view rest = deviceName.substr(kDeviceNamePrefixLength);
  bool negative = false;
  if (rest.front() == '+' || rest.front() == '-') {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty() || !std::all_of(rest.begin(), rest.end(),
                                   [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (ec != std::errc() || end != rest.data() + rest.size()) return std::nullopt;
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<T7Record> BuildPortNumberNotice(std::string_view deviceName) {
  const auto number = PortNumberFromDeviceName(deviceName);
  if (!number) return std::nullopt;
  T7Record r = Blank(T7RecordType::PortNotice);
  r[kConstantByteOffset] = static_cast<uint8_t>(static_cast<uint32_t>(*number) & 0xFFu);
  return r;
}

T7Record BuildPortNumberNoticeOrZero(std::string_view deviceName) {
  if (auto notice = BuildPortNumberNotice(deviceName)) return *notice;
  return Blank(T7RecordType::PortNotice);  // the number 0 at offset 3
}

T7Record BuildEventReport(int32_t account, std::string_view code, uint8_t group,
                          DayCount time) {
  T7Record r = Blank(T7RecordType::EventReport);
  LeWriter w(r);
  w.U8(kConstantByteOffset, 1);
  w.U8(kReportSecondOne, 1);
  w.I32(kValueOffset, account);
  PutCountedString(w, kReportCode, kReportCodeCapacity, code);
  w.U8(kReportGroup, group);
  PutCountedString(w, kReportZeros1, kReportZerosCapacity, "000");
  PutCountedString(w, kReportZeros2, kReportZerosCapacity, "000");
  w.F64(kTimeOffset, time);
  w.U8(kReportLastOne, 1);
  return r;
}

std::optional<T7Record> BuildStationNotice(char stateLetter) {
  T7RecordType type;
  if (stateLetter == 'H') {
    type = T7RecordType::StationLost;
  } else if (stateLetter == 'I') {
    type = T7RecordType::StationHeard;
  } else {
    return std::nullopt;
  }
  T7Record r = Blank(type);
  LeWriter(r).I32(kValueOffset, 1);
  return r;
}

T7Record T7RecordFromSpool(std::span<const uint8_t> fileBytes) {
  T7Record r{};
  const std::size_t n = std::min(fileBytes.size(), r.size());
  std::copy_n(fileBytes.begin(), n, r.begin());
  return r;
}

bool HasT7Marker(std::span<const uint8_t> record) {
  return LeReader(record).U16(kMarkerOffset) == kMarker;
}

std::optional<uint8_t> T7TypeOf(std::span<const uint8_t> record) {
  return LeReader(record).U8(kTypeOffset);
}

std::optional<DayCount> ClockRecordTime(std::span<const uint8_t> record) {
  return LeReader(record).F64(kTimeOffset);
}

T7Record BuildClockRecord(DayCount time) {
  T7Record r = Blank(T7RecordType::Clock);
  LeWriter(r).F64(kTimeOffset, time);
  return r;
}

T7Record BuildCloseRecord() { return Blank(T7RecordType::Close); }

std::optional<T7EventReportFields> ParseEventReport(std::span<const uint8_t> record) {
  const LeReader in(record);
  if (!in.Has(0, kT7EventSpoolSize)) return std::nullopt;
  T7EventReportFields f;
  f.account = *in.I32(kValueOffset);
  f.code = *GetCountedString(in, kReportCode, kReportCodeCapacity);
  f.group = *in.U8(kReportGroup);
  f.time = *in.F64(kTimeOffset);
  return f;
}

std::optional<int32_t> StationNoticeValue(std::span<const uint8_t> record) {
  return LeReader(record).I32(kValueOffset);
}

std::string T7TypeName(uint8_t type) {
  switch (static_cast<T7RecordType>(type)) {
    case T7RecordType::Clock: return "clock";
    case T7RecordType::Close: return "close";
    case T7RecordType::Greeting: return "greeting";
    case T7RecordType::EventReport: return "event-report";
    case T7RecordType::PortNotice: return "port-notice";
    case T7RecordType::StationLost: return "station-lost";
    case T7RecordType::StationHeard: return "station-heard";
  }
  return "type-" + std::to_string(type);
}

}  // namespace orvelgate
