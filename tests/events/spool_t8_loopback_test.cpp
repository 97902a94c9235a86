// The spool re-send with the real T8 worker against the reference server on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "common/wire_constants.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "t8link/t8_test_support.h"
#include "t8link/t8_worker.h"

namespace orvelgate {
namespace {

using testing::Day8;
using testing::ErrorLine;
using testing::EventFile;
using testing::ReadFileText;
using testing::ReadFileBytes;
using testing::SetMtime;
using testing::FileNames;
using testing::PutThreeEventFiles;
using testing::ScopedCwd;
using testing::T8ServerProcess;
using testing::TempDir;
using testing::WriteFileBytes;

// The application's wiring, reduced to what the spool needs of the worker and back.
class SpoolHost final : public T8WorkerHost {
 public:
  void LogLine(const std::string&) override {}
  void StepT8Indicator() override {}
  void OnEventAck(uint64_t sequence) override { resender->OnEventAck(sequence); }
  bool KeepNotAcknowledged(uint64_t sequence, int32_t /*type*/, std::span<const uint8_t>,
                           std::optional<int32_t> reply) override {
    if (reply && resender->IsPendingCopy(sequence)) resender->OnOtherReply(sequence, *reply);
    return true;
  }
  void OnConnectionEstablished() override { resender->OnConnectionEstablished(); }
  PortStatus CurrentPort() override { return {"COM3", true}; }
  SpoolResender* resender = nullptr;
};

class WorkerPort final : public T8Outbox {
 public:
  explicit WorkerPort(T8Worker& worker) : worker_(worker) {}
  bool LinkUp() const override { return worker_.LinkUp; }
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload) override {
    return worker_.QueueMessage(type, payload);
  }
  std::optional<uint64_t> QueueNumbered(int32_t type, std::span<const uint8_t> payload) override {
    return worker_.QueueNumbered(type, payload);
  }

 private:
  T8Worker& worker_;
};

class SpoolOverT8 : public ::testing::Test {
 protected:
  // Runs the 200 ms tick's first step (on spool time, 20 ms of real time apart) with the
  // worker connected to `server` until `done` or 15 s.
  void RunTicks(T8ServerProcess& server, const std::function<bool()>& done,
                const std::function<void(T8Worker&)>& eachTick = {}) {
    SpoolStore store({.spoolPrefix = ""}, spoolClock);
    SpoolHost host;
    T8Worker worker(host, workerClock, [&] { return ServerHostSettings{"127.0.0.1", server.Port(), 2000}; });
    WorkerPort port(worker);
    SpoolResender resender(&port, nullptr, store, spoolClock);
    host.resender = &resender;
    worker.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      spoolClock.Advance(200);
      if (eachTick && worker.LinkUp) eachTick(worker);
      resender.ResendT8Step();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    worker.RequestStop();
    EXPECT_TRUE(worker.Join(std::chrono::seconds(5)));
  }

  // Accounts of the EVENT lines the server printed, in order.
  static std::vector<int> EventAccounts(T8ServerProcess& server) {
    server.Sync();
    std::vector<int> accounts;
    const std::regex account(" account=(-?[0-9]+)");
    for (const std::string& line : server.Lines()) {
      std::smatch m;
      if (line.rfind("EVENT ", 0) == 0 && std::regex_search(line, m, account))
        accounts.push_back(std::stoi(m[1]));
    }
    return accounts;
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock spoolClock{Day8(20, 53, 7, 123)};
  SystemClock workerClock;
};

TEST_F(SpoolOverT8, SpooledFilesGoOutOldestFirstAndAreDeletedOnEventAck) {
  PutThreeEventFiles(dir.path());
  T8ServerProcess server({"--quiet"});
  RunTicks(server, [&] { return FileNames(dir.path()).empty(); });
  EXPECT_TRUE(FileNames(dir.path()).empty());
  std::vector<int> accounts = EventAccounts(server);
  // A slow acknowledgement may let a file go out twice; the order is what counts.
  accounts.erase(std::unique(accounts.begin(), accounts.end()), accounts.end());
  EXPECT_EQ(accounts, (std::vector<int>{1, 2, 3}));
}

TEST_F(SpoolOverT8, WithoutEventAckTheOldestFileIsRepeatedAndNothingIsDeleted) {
  PutThreeEventFiles(dir.path());
  T8ServerProcess server({"--quiet", "--no-ack"});
  RunTicks(server, [&] { return server.CountLinesStartingWith("EVENT ") >= 3; });
  EXPECT_EQ(EventAccounts(server), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(FileNames(dir.path()).size(), 3u);
}

TEST_F(SpoolOverT8, ALinkToAFileOutsideIsSetAsideUnsentAndTheRestArrive) {
  PutThreeEventFiles(dir.path());
  TempDir outside;
  WriteFileBytes(outside.path() / "passwd", EventFile(777));
  std::filesystem::create_symlink(outside.path() / "passwd", dir.path() / "4000000.dd8");
  T8ServerProcess server({"--quiet"});
  RunTicks(server, [&] { return FileNames(dir.path()).size() == 2; });
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{"4000000.dd8.bad", "error.txt"}));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "4000000.dd8.bad"));
  EXPECT_EQ(ReadFileBytes(outside.path() / "passwd"), EventFile(777));
  std::vector<int> accounts = EventAccounts(server);
  accounts.erase(std::unique(accounts.begin(), accounts.end()), accounts.end());
  EXPECT_EQ(accounts, (std::vector<int>{1, 2, 3}));
}

// A spooled message of another type gets a Poll answer, never an EventAck; while the
// server answers live events it is set aside, and the events around it arrive.
TEST_F(SpoolOverT8, AFileTheServerNeverAcknowledgesIsSetAsideAndTheOthersArrive) {
  PutThreeEventFiles(dir.path());
  WriteFileBytes(dir.path() / "6800000.dd8", {0x00, 0x00, 0x00, 0x02});  // a Poll
  SetMtime(dir.path() / "6800000.dd8", 1500);                            // second oldest
  T8ServerProcess server({"--quiet"});
  const auto live = testing::MakeEvent(-5).Serialize();
  RunTicks(
      server, [&] { return FileNames(dir.path()).size() == 2; },
      [&](T8Worker& worker) { worker.QueueNumbered(kT8EventMessageType, live); });
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{"6800000.dd8.bad", "error.txt"}));
  std::vector<int> accounts = EventAccounts(server);
  accounts.erase(std::remove(accounts.begin(), accounts.end(), -5), accounts.end());
  accounts.erase(std::unique(accounts.begin(), accounts.end()), accounts.end());
  EXPECT_EQ(accounts, (std::vector<int>{1, 2, 3}));
}

// The oldest file holds a message of another type, which the server answers with Poll
// answers only, and nothing else is in flight to pass it: after a few such answers it is
// set aside with its own error number, and the valid files behind it go out.
TEST_F(SpoolOverT8, AnOldestFileAnsweredOnlyWithPollsIsSetAsideAndTheOthersGoOut) {
  PutThreeEventFiles(dir.path());
  WriteFileBytes(dir.path() / "6800000.dd8", {0x99, 0x00, 0x00, 0x02});  // type 0x02000099
  SetMtime(dir.path() / "6800000.dd8", 500);                             // the oldest
  T8ServerProcess server({"--quiet"});
  RunTicks(server, [&] { return FileNames(dir.path()).size() == 2; });
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{"6800000.dd8.bad", "error.txt"}));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(kSpoolNeverAcknowledgedError));
  std::vector<int> accounts = EventAccounts(server);
  accounts.erase(std::unique(accounts.begin(), accounts.end()), accounts.end());
  EXPECT_EQ(accounts, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace orvelgate
