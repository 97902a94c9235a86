#pragma once
// T7 records: the fixed 555-byte records exchanged with the message server. Pure
// codec, no I/O. Every record starts with the marker FF FF and a type byte; a received
// record counts as valid when its marker is right (there is no length, checksum or
// acknowledgement).
//
//   offset size field
//   0      2    marker FF FF
//   2      1    type (T7RecordType)
//   3      552  data, laid out per type (tables below, next to each builder)

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/day_count.h"
#include "common/wire_constants.h"

namespace orvelgate {

using T7Record = std::array<uint8_t, kT7RecordSize>;
static_assert(sizeof(T7Record) == 2 + 1 + 552);

enum class T7RecordType : uint8_t {
  Clock = 4,           // server to driver: set the local clock
  Close = 17,          // server to driver: close the program without the access code
  Greeting = 20,       // driver to server: first record of every connection
  EventReport = 21,    // driver to server: one event from an ASCII frame
  PortNotice = 50,     // driver to server ('2'): second record of every connection
  StationLost = 72,    // driver to server ('H'): the station is no longer heard
  StationHeard = 73,   // driver to server ('I'): the station is heard again
};

// --- building -------------------------------------------------------------------

// Greeting: FF FF, 20, then 1 at offset 3; every other byte zero.
T7Record BuildGreetingRecord();

// The serial port number carried by the port-number notice: the device name minus its
// first seven characters (the prefix "\\.\COM") read as a decimal integer (an optional
// sign, then digits, within 32 bits). nullopt for an empty or non-numeric rest.
std::optional<int32_t> PortNumberFromDeviceName(std::string_view deviceName);

// Port-number notice: FF FF, 50, then the port number's low 8 bits at offset 3; every
// other byte zero. nullopt when the device name gives no port number.
std::optional<T7Record> BuildPortNumberNotice(std::string_view deviceName);

// The port-number notice every connection sends: a device name that gives no port
// number gives 0, a number no COM port has. The server still gets its second record,
// and nobody is bothered on every connection about a name the servers cannot know.
T7Record BuildPortNumberNoticeOrZero(std::string_view deviceName);

// Event report (every byte the table does not name is zero):
//
//   offset size content
//   0      2    FF FF
//   2      1    21
//   3      1    1
//   4      1    1
//   5      4    account, signed 32-bit
//   9      4    zero
//   13     5    event code, counted string of capacity 4 (Windows-1251)
//   18     1    zero
//   19     1    group
//   20     2    zero
//   22     4    counted string "000": 03 30 30 30
//   26     4    counted string "000": 03 30 30 30
//   30     8    time stamp, DayCount (IEEE 754 double)
//   38     1    1
//   39     516  zero
T7Record BuildEventReport(int32_t account, std::string_view code, uint8_t group,
                          DayCount time);

// Station-state notice: FF FF, the state letter as the type ('H' 72 lost, 'I' 73 heard),
// the signed 32-bit value 1 at offset 5 (where the event report has its account);
// every other byte zero. nullopt for any other letter.
std::optional<T7Record> BuildStationNotice(char stateLetter);

// The record a T7 spool file stands for: its bytes from the start, at most a record,
// the rest zero. An event spool file of kT7EventSpoolSize bytes gives back the whole
// event report.
T7Record T7RecordFromSpool(std::span<const uint8_t> fileBytes);

// --- reading --------------------------------------------------------------------

// True when the record starts with the marker FF FF.
bool HasT7Marker(std::span<const uint8_t> record);

// The type byte, or nullopt when the record is shorter than 3 bytes.
std::optional<uint8_t> T7TypeOf(std::span<const uint8_t> record);

// Clock record as the driver reads it: FF FF, 4, and at offset 30 the time stamp to
// which the local clock is set. nullopt when the record is too short.
std::optional<DayCount> ClockRecordTime(std::span<const uint8_t> record);

// The clock record a server sends: FF FF, 4, the time stamp at offset 30, zeros.
T7Record BuildClockRecord(DayCount time);

// The close record a server sends: FF FF, 17, zeros.
T7Record BuildCloseRecord();

// The fields of an event report, as a server reads them.
struct T7EventReportFields {
  int32_t account = 0;
  std::string code;
  uint8_t group = 0;
  DayCount time = 0.0;

  bool operator==(const T7EventReportFields&) const = default;
};
std::optional<T7EventReportFields> ParseEventReport(std::span<const uint8_t> record);

// The 32-bit value at offset 5 of a station-state notice.
std::optional<int32_t> StationNoticeValue(std::span<const uint8_t> record);

// A short English name of a record type ("greeting", "event-report", ...), or
// "type-<n>" for a type the driver does not know.
std::string T7TypeName(uint8_t type);

}  // namespace orvelgate
