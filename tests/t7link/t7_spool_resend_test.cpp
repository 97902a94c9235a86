// .ddk files re-sent to the reference t7-server over loopback while it has stopped
// reading: a file is deleted only once the socket took its whole record, and one whose
// record was cut by the end of its connection goes out whole on the next.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "loopback_support.h"
#include "server_process_support.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "t7link/t7_link.h"

namespace orvelgate {
namespace {

using testing::PumpUntil;
using testing::RecordingHost;
using testing::T7ServerProcess;

class T7SpoolResendTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CoreApp(); }

  // Spool files of event reports for the accounts 0 .. count-1, oldest first.
  void SpoolReports(int count) {
    for (int32_t account = 0; account < count; ++account) {
      ASSERT_TRUE(store.WriteT7EventFile(BuildEventReport(account, "01", 1, 40429.5)));
      clock.Advance(1);
    }
  }
  // Records the socket took whole on this connection, after its greeting and notice.
  std::size_t ReportsInSocket() {
    return static_cast<std::size_t>(link.Client().BytesTaken() / kT7RecordSize) - 2;
  }

  RecordingHost host;
  FakeClock clock{40000.5};
  T7Link link{host, clock, true};
  testing::TempDir dir;
  SpoolStore store{{.spoolPrefix = (dir.path() / "").string()}, clock};
  SpoolResender resender{nullptr, &link, store, clock};
};

TEST_F(T7SpoolResendTest, AFileGoesOnlyOnceTheSocketTookItsWholeRecord) {
  constexpr int kFiles = 300;
  SpoolReports(kFiles);
  // The server stops reading as each connection comes, before its first byte.
  T7ServerProcess server({"--port", "0", "--rcvbuf", "2048", "--on-connect", "reading off"});
  const auto port = server.WaitReady();
  ASSERT_TRUE(port);
  link.Client().SetSendBufferSize(4096);
  link.Start("127.0.0.1", *port);
  ASSERT_TRUE(server.WaitLine("CONNECTED "));
  ASSERT_TRUE(PumpUntil([&] { return link.Connected(); }));

  // No event loop here: the socket's buffers fill until a record is taken only in part.
  for (int step = 0; step < kFiles && link.Client().PendingSendBytes() == 0; ++step)
    resender.ResendT7Step();
  ASSERT_GT(link.Client().PendingSendBytes(), 0u) << "no send was partial";
  const std::size_t inSocket = ReportsInSocket();
  ASSERT_LT(inSocket, static_cast<std::size_t>(kFiles));
  EXPECT_EQ(kFiles - store.Count(SpoolKind::T7), inSocket);  // the one in part is kept

  // The connection ends before the rest went: the file stays.
  server.Command("reset");
  ASSERT_TRUE(PumpUntil([&] { return !link.Connected(); }));
  resender.ResendT7Step();
  EXPECT_EQ(kFiles - store.Count(SpoolKind::T7), inSocket);

  // The next connection carries it whole, then the rest, and every file goes.
  link.ReconnectTick();
  ASSERT_TRUE(server.WaitLine("CONNECTED "));
  server.Command("reading on");  // after the connection's own "reading off"
  ASSERT_TRUE(PumpUntil([&] {
    resender.ResendT7Step();
    return store.Count(SpoolKind::T7) == 0;
  }, 20000));
  const std::size_t expected = 2 + (kFiles - inSocket);
  ASSERT_TRUE(PumpUntil([&] { return server.LinesStartingWith("RECORD ").size() >= expected; }));
  const auto records = server.LinesStartingWith("RECORD ");
  ASSERT_EQ(records.size(), expected);
  for (std::size_t i = 2; i < expected; ++i) {
    const std::string account = "account=" + std::to_string(inSocket + i - 2) + " ";
    EXPECT_NE(records[i].find(account), std::string::npos) << records[i];
  }
}

}  // namespace
}  // namespace orvelgate
