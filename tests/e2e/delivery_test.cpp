// Events from the simulated station through the real driver to the reference servers:
// the T8 server gets every event as its exact 18-byte record, the T7 server the event
// report of every ASCII frame, and a server that is away gets everything from the
// spool files once it is back.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>

#include "driver_run.h"
#include "events/event_record.h"

namespace orvelgate::testing {
namespace {

using Delivery = DriverRun;

constexpr const char* kGb = "gb,object=42,group=3,code=BA,time=2024-05-06T07:08:09";
constexpr const char* kCn = "cn,object=1234,code=AB,time=2024-05-06T07:08:00";
constexpr const char* kAscii = "ascii,group=1,object=0123,code=E1";

DayCount At(int h, int m, int s) {
  return *EncodeDateTime({.year = 2024, .month = 5, .day = 6, .hour = h, .minute = m, .second = s});
}

DayCount LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DateTimeFromTm(tm, 0);
}

// The record of an EVENT line of the T8 server ("... record=<36 hex digits> ...").
std::optional<EventRecord> RecordOf(const std::string& line) {
  const auto at = line.find("record=");
  if (at == std::string::npos) return std::nullopt;
  EventRecord::Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoi(line.substr(at + 7 + 2 * i, 2), nullptr, 16));
  }
  return EventRecord::Parse(bytes);
}

std::string Ini(const std::string& pty, int t8Port, const std::string& main) {
  return "[main]\nComPort=COM3\nComBaudRate=9600\nhost=127.0.0.1\n" + main +
         "\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(t8Port) +
         "\n[ports]\nCOM3=" + pty + "\n";
}

TEST_F(Delivery, FramesAreAcknowledgedAndDeliveredAsExactRecords) {
  StartT7Server();
  const int t8Port = StartT8Server();
  const std::string pty = StartStation({"sleep 1500", kGb, kCn, kAscii});
  WriteIni(Ini(pty, t8Port, "SendT8=1\nSendT7=1"));
  const DayCount before = LocalNow();
  StartDriver();

  ASSERT_TRUE(Station().WaitForPrefix("FRAME 3 ", 20s));
  const auto frames = Station().LinesStartingWith("FRAME");
  EXPECT_NE(frames.at(0).find(" ok ack "), std::string::npos) << frames[0];
  EXPECT_NE(frames.at(1).find(" ok ack "), std::string::npos) << frames[1];
  EXPECT_NE(frames.at(2).find(" ok no-answer"), std::string::npos) << frames[2];

  ASSERT_TRUE(Eventually([&] { return T8().LinesStartingWith("EVENT").size() == 3; }, 20s));
  const DayCount after = LocalNow() + kOneSecond;
  const auto events = T8().LinesStartingWith("EVENT");
  EXPECT_EQ(RecordOf(events[0]), (EventRecord{40042, 3, "BA", At(7, 8, 9)})) << events[0];
  EXPECT_EQ(RecordOf(events[1]), (EventRecord{41234, 0, "AB", At(7, 8, 0)})) << events[1];
  const auto ascii = RecordOf(events[2]);
  ASSERT_TRUE(ascii) << events[2];
  EXPECT_EQ(ascii->Account, 40123);
  EXPECT_EQ(ascii->Group, 1);
  EXPECT_EQ(ascii->Code, "E1");
  EXPECT_GE(ascii->EventTime, before - kOneSecond) << "the time of reception";
  EXPECT_LE(ascii->EventTime, after);

  // The ASCII frame also reaches the message server as its event report.
  const auto report = T7().WaitForPrefix("RECORD 4 ", 10s);  // after greeting, port, heard
  ASSERT_TRUE(report);
  EXPECT_EQ(report->rfind("RECORD 4 event-report account=40123 code=E1 group=1 ", 0), 0u)
      << *report;
  EXPECT_TRUE(FilesEndingWith(".dd8").empty());
  EXPECT_TRUE(FilesEndingWith(".ddk").empty());
  EXPECT_EQ(TerminateDriver(), 0);
}

TEST_F(Delivery, EveryEventOfAT8OutageIsDeliveredFromTheSpool) {
  const int t8Port = UnusedPort();  // nobody listens there yet
  std::vector<std::string> script;
  for (int i = 0; i < 4; ++i) {
    script.push_back("gb,object=" + std::to_string(100 + i) + ",group=1,code=BA");
    script.push_back("cn,object=" + std::to_string(2000 + i) + ",code=AB");
    script.push_back("ascii,group=2,object=0" + std::to_string(300 + i) + ",code=E1");
  }
  const std::string pty = StartStation(script);
  WriteIni(Ini(pty, t8Port, "SendT8=1\nSendT7=0"));
  StartDriver();
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 12 ", 30s));
  EXPECT_EQ(Station().LinesStartingWith("FRAME").size(), 12u);
  ASSERT_TRUE(Eventually([&] { return FilesEndingWith(".dd8").size() == 12; }))
      << FilesEndingWith(".dd8").size() << " spool files";
  EXPECT_TRUE(Driver().FindLine([](const std::string& l) { return l == "LOG Соединение..."; }));

  StartT8Server(t8Port);  // the worker tries again within 5 s
  ASSERT_TRUE(Eventually([&] { return FilesEndingWith(".dd8").empty(); }, 60s))
      << FilesEndingWith(".dd8").size() << " spool files left";
  ASSERT_TRUE(Eventually([&] { return T8().LinesStartingWith("EVENT").size() >= 12; }, 10s));
  const auto events = T8().LinesStartingWith("EVENT");
  EXPECT_EQ(events.size(), 12u);
  for (int i = 0; i < 4; ++i) {
    for (int account : {40100 + i, 42000 + i, 40300 + i}) {
      const std::string field = " account=" + std::to_string(account) + " ";
      EXPECT_EQ(std::count_if(events.begin(), events.end(),
                              [&](const std::string& l) { return l.find(field) != std::string::npos; }),
                1)
          << "account " << account << " delivered once";
    }
  }
  EXPECT_EQ(TerminateDriver(), 0);
}

TEST_F(Delivery, T7ReportsOfAnOutageAreDeliveredFromTheSpool) {
  const int t8Port = StartT8Server();
  const std::string pty = StartStation({kAscii, "ascii,group=4,object=0777,code=R3"});
  WriteIni(Ini(pty, t8Port, "SendT8=1\nSendT7=1\nn_abs=9"));
  StartDriver();
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 2 ", 20s));
  // Two event reports and the station-present notice wait on disk.
  ASSERT_TRUE(Eventually([&] { return FilesEndingWith(".ddk").size() == 3; }))
      << ::testing::PrintToString(FilesEndingWith(".ddk")) << "\n"
      << ::testing::PrintToString(Driver().Lines()) << "\n"
      << ::testing::PrintToString(Station().Lines());
  EXPECT_EQ(FilesEndingWith("_9.ddk").size(), 1u) << "the notice carries NoticeFileNumber in its name";

  StartT7Server();  // the driver tries again every 3 s
  ASSERT_TRUE(T7().WaitForPrefix("RECORD 5 ", 15s));
  ASSERT_TRUE(Eventually([&] { return FilesEndingWith(".ddk").empty(); }));
  const auto records = T7().LinesStartingWith("RECORD");
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0], "RECORD 1 greeting b3=1");
  EXPECT_EQ(records[1], "RECORD 2 port-notice port=3");
  int reports = 0, heard = 0;
  for (std::size_t i = 2; i < records.size(); ++i) {
    reports += records[i].find("event-report account=40123 code=E1 group=1 ") != std::string::npos ||
               records[i].find("event-report account=40777 code=R3 group=4 ") != std::string::npos;
    heard += records[i].find("station-heard value=1") != std::string::npos;
  }
  EXPECT_EQ(reports, 2);
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(TerminateDriver(), 0);
}

TEST_F(Delivery, SigtermEndsItWhileTheT8WorkerWaitsForAReply) {
  const int t8Port = StartT8Server(0, {"--silent"});
  const std::string pty = StartStation({kGb});
  WriteIni(Ini(pty, t8Port, "SendT8=1\nSendT7=0"));
  StartDriver();
  ASSERT_TRUE(Driver().WaitForPrefix("T8 up", 10s));
  ASSERT_TRUE(Station().WaitForPrefix("FRAME 1 ", 10s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TerminateDriver(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the worker does not hold it up";
  EXPECT_EQ(Driver().Lines().back(), "END");
  EXPECT_TRUE(T8().WaitForPrefix("CLOSE 1", 5s));
}

}  // namespace
}  // namespace orvelgate::testing
