// The STATUS= line that `systemctl status` shows: one line, what an administrator
// needs to know first, from a table of driver states.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/service/service_status_line.h"

namespace orvelgate {
namespace {

constexpr int64_t kNowNs = 1'800'000'000'000'000'000;  // 2027-01-15, any fixed wall time
constexpr int64_t kSecondNs = 1'000'000'000;

DayCount At(int year, int month, int day, int hour, int minute, int second) {
  return *EncodeDateTime({year, month, day, hour, minute, second, 0, 0});
}

// Port open, station online, both links used and up, nothing waiting, one event.
DriverStatus AllWell() {
  DriverStatus s;
  s.portName = "COM3";
  s.portOpen = true;
  s.stationOnline = true;
  s.t8Used = s.t8Up = true;
  s.t7Used = s.t7Connected = true;
  s.lastEvent = At(2026, 12, 10, 20, 41, 7);
  s.takenNs = kNowNs;
  return s;
}

struct LineCase {
  const char* name;
  std::function<void(DriverStatus&)> change;
  const char* line;
};

class ServiceStatusLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ServiceStatusLineTest, RendersTheState) {
  DriverStatus status = AllWell();
  GetParam().change(status);
  EXPECT_EQ(ServiceStatusLine(status), GetParam().line);
}

SpoolBacklog Waiting(std::size_t files, int64_t ageSeconds) {
  return {files, kNowNs - ageSeconds * kSecondNs};
}

INSTANTIATE_TEST_SUITE_P(
    States, ServiceStatusLineTest,
    ::testing::Values(
        LineCase{"AllWell", [](DriverStatus&) {},
                 "port COM3 open, station online, T8 up, T7 connected, spool 0 waiting, "
                 "last event 2026-12-10 20:41:07"},
        LineCase{"BacklogOfBothKinds",
                 [](DriverStatus& s) {
                   s.t8Up = false;
                   s.t7Connected = false;
                   s.t8Spool = Waiting(12, 3 * 60 + 10);
                   s.t7Spool = Waiting(2, 40);
                 },
                 "port COM3 open, station online, T8 down, T7 disconnected, "
                 "spool 12 T8 files (oldest 3 min), 2 T7 files (oldest 40 s), "
                 "last event 2026-12-10 20:41:07"},
        LineCase{"OneT7FileJustWritten", [](DriverStatus& s) { s.t7Spool = Waiting(1, 0); },
                 "port COM3 open, station online, T8 up, T7 connected, "
                 "spool 1 T7 file (oldest 0 s), last event 2026-12-10 20:41:07"},
        LineCase{"OneT8FileForHours",
                 [](DriverStatus& s) { s.t8Spool = Waiting(1, 5 * 3600 + 59 * 60); },
                 "port COM3 open, station online, T8 up, T7 connected, "
                 "spool 1 T8 file (oldest 5 h), last event 2026-12-10 20:41:07"},
        LineCase{"LinksSwitchedOff",
                 [](DriverStatus& s) {
                   s.t8Used = s.t8Up = false;
                   s.t7Used = s.t7Connected = false;
                 },
                 "port COM3 open, station online, T8 off, T7 off, spool 0 waiting, "
                 "last event 2026-12-10 20:41:07"},
        LineCase{"PortNotOpenNoEventYet",
                 [](DriverStatus& s) {
                   s.portOpen = false;
                   s.stationOnline = false;
                   s.lastEvent.reset();
                 },
                 "port COM3 not open, station offline, T8 up, T7 connected, spool 0 waiting, "
                 "no event yet"},
        LineCase{"NoPortConfigured",
                 [](DriverStatus& s) {
                   s.portName.clear();
                   s.portOpen = false;
                 },
                 "no port, station online, T8 up, T7 connected, spool 0 waiting, "
                 "last event 2026-12-10 20:41:07"},
        LineCase{"EventsInFlight", [](DriverStatus& s) { s.journalLive = 5; },
                 "port COM3 open, station online, T8 up, T7 connected, spool 0 waiting, "
                 "5 events in flight, last event 2026-12-10 20:41:07"},
        LineCase{"OneEventInFlight", [](DriverStatus& s) { s.journalLive = 1; },
                 "port COM3 open, station online, T8 up, T7 connected, spool 0 waiting, "
                 "1 event in flight, last event 2026-12-10 20:41:07"},
        // A line break would end the STATUS assignment and start another one.
        LineCase{"ControlCharactersInThePortNameAreBlanked",
                 [](DriverStatus& s) { s.portName = "COM3\nREADY=1"; },
                 "port COM3 READY=1 open, station online, T8 up, T7 connected, "
                 "spool 0 waiting, last event 2026-12-10 20:41:07"},
        LineCase{"FileNewerThanTheSnapshotIsZeroSeconds",
                 [](DriverStatus& s) {
                   s.t8Spool = {3, kNowNs + 2 * kSecondNs};
                 },
                 "port COM3 open, station online, T8 up, T7 connected, "
                 "spool 3 T8 files (oldest 0 s), last event 2026-12-10 20:41:07"},
        LineCase{"LastEventNotADate", [](DriverStatus& s) { s.lastEvent = -1e9; },
                 "port COM3 open, station online, T8 up, T7 connected, spool 0 waiting, "
                 "no event yet"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

struct WaitedCase {
  int64_t ms;
  const char* text;
};

class WaitedTextTest : public ::testing::TestWithParam<WaitedCase> {};

TEST_P(WaitedTextTest, CutsOffBelowItsUnit) {
  EXPECT_EQ(WaitedText(GetParam().ms), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Spans, WaitedTextTest,
                         ::testing::Values(WaitedCase{-5, "0 s"}, WaitedCase{0, "0 s"},
                                           WaitedCase{999, "0 s"}, WaitedCase{1000, "1 s"},
                                           WaitedCase{59'999, "59 s"}, WaitedCase{60'000, "1 min"},
                                           WaitedCase{3'599'999, "59 min"},
                                           WaitedCase{3'600'000, "1 h"},
                                           WaitedCase{47 * 3'600'000 + 3'599'999, "47 h"},
                                           WaitedCase{48 * 3'600'000LL, "2 d"},
                                           WaitedCase{400 * 86'400'000LL, "400 d"}));

}  // namespace
}  // namespace orvelgate
