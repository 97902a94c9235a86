#include "events/spool_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "common/wire_constants.h"
#include "events/spool_files.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::Day8;
using testing::ErrorLine;
using testing::FileNames;
using testing::MakeEvent;
using testing::ReadFileBytes;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::SetMtime;
using testing::TempDir;
using testing::WriteFileBytes;

std::vector<uint8_t> Bytes(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

std::array<uint8_t, kT7RecordSize> Record(uint8_t type) {
  std::array<uint8_t, kT7RecordSize> r{};
  r[0] = r[1] = 0xFF;
  r[2] = type;
  for (std::size_t i = 3; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
  return r;
}

class SpoolStoreTest : public ::testing::Test {
 protected:
  SpoolStore Store(std::string prefix = "") {
    return SpoolStore({.spoolPrefix = std::move(prefix)}, clock);
  }
  // Takes every file of a kind, oldest first, deleting each.
  static std::vector<std::string> Drain(SpoolStore& store, SpoolKind kind) {
    std::vector<std::string> order;
    while (auto name = store.Oldest(kind)) {
      order.push_back(*name);
      EXPECT_TRUE(store.Remove(*name));
    }
    return order;
  }

  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
};

TEST_F(SpoolStoreTest, WritesTheThreeKindsWithTheirExactContents) {
  SpoolStore store = Store();
  const EventRecord event = MakeEvent(40123);
  EXPECT_EQ(store.WriteEventFile(event.Serialize()), "2DAE23B3.dd8");
  std::vector<uint8_t> expected{0x22, 0x00, 0x00, 0x03};
  const auto record = event.Serialize();
  expected.insert(expected.end(), record.begin(), record.end());
  EXPECT_EQ(ReadFileBytes("2DAE23B3.dd8"), expected);

  clock.Advance(1);
  const auto report = Record(21);
  EXPECT_EQ(store.WriteT7EventFile(report), "2DAE23B4.ddk");
  EXPECT_EQ(ReadFileBytes("2DAE23B4.ddk"), Bytes(std::span(report).first(kT7EventSpoolSize)));

  clock.Advance(1);
  const auto notice = Record(72);
  EXPECT_EQ(store.WriteNoticeFile(notice, -1), "2DAE23B5_-1.ddk");
  EXPECT_EQ(ReadFileBytes("2DAE23B5_-1.ddk"), Bytes(notice));
  EXPECT_EQ(store.WriteNoticeFile(notice, 42), "2DAE23B5_42.ddk");

  EXPECT_EQ(FileNames(dir.path()),
            (std::vector<std::string>{"2DAE23B3.dd8", "2DAE23B4.ddk", "2DAE23B5_-1.ddk",
                                      "2DAE23B5_42.ddk"}));
  EXPECT_EQ(store.Count(SpoolKind::T8), 1u);
  EXPECT_EQ(store.Count(SpoolKind::T7), 3u);
  EXPECT_EQ(store.WriteT7EventFile(std::span(report).first(38)), std::nullopt);
}

TEST_F(SpoolStoreTest, SpoolPrefixIsAPlainPrefixOfNamesAndSearches) {
  WriteFileBytes("other.dd8", {0x22, 0, 0, 3});  // not under the prefix
  SpoolStore store = Store("spool");
  EXPECT_EQ(store.WriteEventFile(MakeEvent(1).Serialize()), "spool2DAE23B3.dd8");
  EXPECT_TRUE(fs::exists(dir / "spool2DAE23B3.dd8"));
  EXPECT_EQ(Drain(store, SpoolKind::T8), std::vector<std::string>{"spool2DAE23B3.dd8"});
  EXPECT_TRUE(fs::exists(dir / "other.dd8"));

  // A folder is given with its separator; a missing one is made rather than losing the event.
  SpoolStore nested = Store("queue/t8/");
  EXPECT_EQ(nested.WriteEventFile(MakeEvent(2).Serialize()), "queue/t8/2DAE23B3.dd8");
  EXPECT_EQ(ReadFileBytes(dir / "queue/t8/2DAE23B3.dd8").size(), 22u);
  SpoolStore rescanned = Store("queue/t8/");
  EXPECT_EQ(rescanned.Oldest(SpoolKind::T8), "queue/t8/2DAE23B3.dd8");
}

TEST_F(SpoolStoreTest, FilesOfTheSameMillisecondGetDistinctNames) {
  WriteFileBytes("2DAE23B3.dd8", {1, 2, 3, 4, 5});  // same day and time, another month
  SpoolStore store = Store();
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) names.push_back(*store.WriteEventFile(MakeEvent(i).Serialize()));
  EXPECT_EQ(names, (std::vector<std::string>{"2DAE23B3-1.dd8", "2DAE23B3-2.dd8", "2DAE23B3-3.dd8"}));
  EXPECT_EQ(ReadFileBytes("2DAE23B3.dd8"), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  for (int i = 0; i < 3; ++i) {
    const auto bytes = ReadFileBytes(names[static_cast<std::size_t>(i)]);
    ASSERT_EQ(bytes.size(), 22u);
    EXPECT_EQ(EventRecord::Parse(std::span(bytes).subspan(4))->Account, i);
  }
  const auto notice = Record(73);
  EXPECT_EQ(store.WriteNoticeFile(notice, -1), "2DAE23B3_-1.ddk");
  EXPECT_EQ(store.WriteNoticeFile(notice, -1), "2DAE23B3-1_-1.ddk");
}

TEST_F(SpoolStoreTest, OldestFirstByModificationTimeThenName) {
  const std::vector<uint8_t> bytes{0x22, 0, 0, 3};
  // name -> seconds since 1970
  const std::pair<const char*, int64_t> files[] = {
      {"A0000000.dd8", 1000}, {"5265C00.dd8", 3000},  {"FFFFFFF.dd8", 2000},
      {"10000000.dd8", 2000}, {"FFFFFFF-1.dd8", 2000}, {"FFFFFFF-10.dd8", 2000},
      {"FFFFFFF-2.dd8", 2000}, {"x.dd8", 500},
  };
  for (const auto& [name, mtime] : files) {
    WriteFileBytes(name, bytes);
    SetMtime(dir / name, mtime);
  }
  SpoolStore store = Store();
  EXPECT_EQ(Drain(store, SpoolKind::T8),
            (std::vector<std::string>{"x.dd8", "A0000000.dd8", "FFFFFFF.dd8", "FFFFFFF-1.dd8",
                                      "FFFFFFF-2.dd8", "FFFFFFF-10.dd8", "10000000.dd8",
                                      "5265C00.dd8"}));
  EXPECT_TRUE(FileNames(dir.path()).empty());
}

TEST_F(SpoolStoreTest, IndexFollowsOwnWritesAndRescansOnlyWhenEmptyAndDue) {
  SpoolStore store({.spoolPrefix = "", .rescanIntervalMs = 30000}, clock);
  store.WriteEventFile(MakeEvent(1).Serialize());
  WriteFileBytes("5265C00.dd8", {0x22, 0, 0, 3});  // put there by someone else
  EXPECT_EQ(store.Count(SpoolKind::T8), 1u);
  EXPECT_TRUE(store.Remove("2DAE23B3.dd8"));
  EXPECT_EQ(store.Oldest(SpoolKind::T8), std::nullopt);  // scanned at start: not yet due
  clock.Advance(29999);
  EXPECT_EQ(store.Oldest(SpoolKind::T8), std::nullopt);
  clock.Advance(1);
  EXPECT_EQ(store.Oldest(SpoolKind::T8), "5265C00.dd8");

  // A file removed behind the store's back is dropped when found gone.
  fs::remove("5265C00.dd8");
  EXPECT_EQ(store.Read("5265C00.dd8", 100).status, SpoolRead::Gone);
  EXPECT_FALSE(store.Remove("5265C00.dd8"));
  EXPECT_EQ(store.Count(SpoolKind::T8), 0u);
}

TEST_F(SpoolStoreTest, SetAsideKeepsTheFileUnderANameNoSearchMatches) {
  WriteFileBytes("5265C00.dd8", {0x22, 0});
  WriteFileBytes("5265C00.dd8.bad", {9});  // an earlier one
  WriteFileBytes("6000000.ddk", {0xFF});
  SpoolStore store = Store();
  store.SetAside("5265C00.dd8");
  store.SetAside("6000000.ddk");
  EXPECT_EQ(ReadFileBytes("5265C00.dd8-1.bad"), (std::vector<uint8_t>{0x22, 0}));
  EXPECT_EQ(ReadFileBytes("5265C00.dd8.bad"), (std::vector<uint8_t>{9}));
  EXPECT_TRUE(fs::exists("6000000.ddk.bad"));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(12) + ErrorLine(12));
  store.Rescan();
  EXPECT_EQ(store.Count(SpoolKind::T8) + store.Count(SpoolKind::T7), 0u);
}

// A folder under a spool name is indexed, so that the re-send sets it aside rather
// than passing over it for ever; it cannot be read.
TEST_F(SpoolStoreTest, LeftoverTemporaryFilesAreNotSpoolFilesAndFoldersCannotBeRead) {
  WriteFileBytes(".orvelgate-spool-Ab12Cd", {0x22, 0, 0});
  fs::create_directory("7000000.dd8");
  SpoolStore store = Store();
  EXPECT_EQ(store.OldestFirst(SpoolKind::T8, 5), std::vector<std::string>{"7000000.dd8"});
  EXPECT_EQ(store.Read("7000000.dd8", 22).status, SpoolRead::Unreadable);
}

// A rename whose folder sync failed may vanish in a power cut: the write fails, its file
// goes, and the journal hears of it once, then again when writes work.
TEST_F(SpoolStoreTest, AFailedFolderSyncFailsTheWriteAndIsToldOnce) {
  std::vector<std::string> lines;
  const ScopedDiagnosticsSink sink([&](Severity, std::string_view text) { lines.emplace_back(text); });
  int syncs = 0;
  bool fails = true;
  SpoolStore store({.spoolPrefix = "",
                    .syncFolder = [&](const std::string& folder) -> std::optional<Failure> {
                      ++syncs;
                      if (fails) return Failure::FromErrno(EIO, "fsync folder .");
                      return SyncFolder(folder);
                    }},
                   clock);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(store.WriteEventFile({}), std::nullopt);
    clock.Advance(200);
  }
  EXPECT_EQ(syncs, 3);
  EXPECT_TRUE(FileNames(dir.path()).empty());
  EXPECT_EQ(store.Count(SpoolKind::T8), 0u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("spool files in . failed: fsync folder .: Input/output error"),
            std::string::npos)
      << lines[0];

  fails = false;
  const auto name = store.WriteEventFile({});
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(FileNames(dir.path()), (std::vector<std::string>{*name}));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("spool files in . recovered after 3 failed attempts"), std::string::npos)
      << lines[1];
}

// A spool folder that cannot be made (a file has its name): the systemd journal has
// what failed, with the system's words.
TEST_F(SpoolStoreTest, AWriteThatCannotStartSaysWhy) {
  WriteFileBytes(dir.path() / "blocked", {1});
  std::vector<std::string> lines;
  const ScopedDiagnosticsSink sink(
      [&](Severity, std::string_view text) { lines.emplace_back(text); });
  SpoolStore store = Store("blocked/sub/");
  EXPECT_EQ(store.WriteEventFile({}), std::nullopt);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("failed: create a temporary file in blocked/sub/: Not a directory"
                          " (errno 20)"),
            std::string::npos)
      << lines[0];
}

TEST_F(SpoolStoreTest, ReadTellsAFileLongerThanAsked) {
  WriteFileBytes("a.ddk", std::vector<uint8_t>(600, 7));
  SpoolStore store = Store();
  const SpoolRead r = store.Read("a.ddk", kT7RecordSize);
  EXPECT_EQ(r.status, SpoolRead::Ok);
  EXPECT_EQ(r.bytes.size(), kT7RecordSize);
  EXPECT_TRUE(r.truncated);
  EXPECT_FALSE(store.Read("a.ddk", 600).truncated);
}

TEST_F(SpoolStoreTest, BacklogCountsEachKindAndDatesItsOldestFile) {
  SpoolStore empty = Store();
  EXPECT_EQ(empty.Backlog(SpoolKind::T8).Files, 0u);
  EXPECT_EQ(empty.Backlog(SpoolKind::T8).OldestAgeMs(5000000000000), 0);
  WriteFileBytes("5265C00.dd8", {0x22, 0, 0, 3});
  WriteFileBytes("6000000.dd8", {0x22, 0, 0, 3});
  WriteFileBytes("7000000.ddk", {0xFF});
  SetMtime("5265C00.dd8", 3000);
  SetMtime("6000000.dd8", 2000);
  SetMtime("7000000.ddk", 4000);
  SpoolStore store = Store();
  const SpoolBacklog t8 = store.Backlog(SpoolKind::T8);
  const SpoolBacklog t7 = store.Backlog(SpoolKind::T7);
  EXPECT_EQ(t8.Files, 2u);
  EXPECT_EQ(t8.OldestModifiedNs, 2000 * 1000000000LL);
  EXPECT_EQ(t8.OldestAgeMs(2090 * 1000000000LL), 90000);
  EXPECT_EQ(t8.OldestAgeMs(1000 * 1000000000LL), 0);  // a clock behind the file
  EXPECT_EQ(t7.Files, 1u);
  EXPECT_EQ(t7.OldestAgeMs(4001 * 1000000000LL), 1000);
}

// A child spools in a loop with the real clock until it is killed with SIGKILL;
// every spool file left behind must be complete.
TEST_F(SpoolStoreTest, SigkillWhileSpoolingLeavesNoPartialFile) {
  for (int round = 0; round < 12; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      SpoolStore store({.spoolPrefix = "spool/"}, DefaultClock());
      const auto report = Record(21), notice = Record(72);
      for (int32_t i = 0;; ++i) {
        store.WriteEventFile(MakeEvent(i).Serialize());
        store.WriteT7EventFile(report);
        store.WriteNoticeFile(notice, 5);
      }
    }
    // Let it write for a while (more each round), then kill it mid-way. Temporary files
    // an earlier round left behind do not count: on a loaded machine they would end the
    // wait before a single spool file is complete.
    const auto published = [] {
      if (!fs::exists("spool")) return std::size_t{0};
      const auto names = FileNames("spool");
      return static_cast<std::size_t>(
          std::count_if(names.begin(), names.end(), [](const std::string& name) {
            return !std::string_view(name).starts_with(kTempSpoolPrefix);
          }));
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline && published() < 6u)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * round + 1));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
  }
  std::size_t spoolFiles = 0;
  for (const auto& e : fs::directory_iterator("spool")) {
    const std::string name = e.path().filename();
    const auto size = fs::file_size(e.path());
    if (name.ends_with(".dd8")) {
      EXPECT_EQ(size, 22u) << name;
    } else if (name.ends_with("_5.ddk")) {
      EXPECT_EQ(size, kT7RecordSize) << name;
    } else if (name.ends_with(".ddk")) {
      EXPECT_EQ(size, 39u) << name;
    } else {
      EXPECT_TRUE(name.starts_with(".orvelgate-spool-")) << name;
      continue;
    }
    ++spoolFiles;
  }
  EXPECT_GE(spoolFiles, 6u);
}

}  // namespace
}  // namespace orvelgate
