#include "common/log_rotation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/error_log.h"
#include "common/ini_file.h"
#include "support/scoped_log_max_size.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::ScopedLogMaxSize;
using testing::TempDir;
using testing::WriteFileText;

struct RotationCase {
  const char* name;
  std::optional<std::string> log;  // nullopt: no log file
  std::optional<std::string> old;  // an older ".1" file
  uint64_t limit;
  bool rotated;
};

TEST(LogRotation, MovesALogThatReachedItsLimitToTheFirstGeneration) {
  const std::vector<RotationCase> cases{
      {"no log", std::nullopt, std::nullopt, 4, false},
      {"no log, old generation stays", std::nullopt, "old", 4, false},
      {"below the limit", "abc", std::nullopt, 4, false},
      {"at the limit", "abcd", std::nullopt, 4, true},
      {"past the limit", "abcdefgh", std::nullopt, 4, true},
      {"replaces the older generation", "abcdefgh", "old", 4, true},
      {"below the limit keeps the older generation", "ab", "old", 4, false},
      {"empty log, limit 1", "", std::nullopt, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path log = dir / "orvelgate.log";
    const fs::path first = dir / "orvelgate.log.1";
    if (c.log) WriteFileText(log, *c.log);
    if (c.old) WriteFileText(first, *c.old);

    EXPECT_EQ(RotateIfLarger(log.string(), c.limit), c.rotated);

    if (c.rotated) {
      EXPECT_FALSE(fs::exists(log));
      EXPECT_EQ(ReadFileText(first), *c.log);
    } else {
      EXPECT_EQ(fs::exists(log), c.log.has_value());
      if (c.log) {
        EXPECT_EQ(ReadFileText(log), *c.log);
      }
      EXPECT_EQ(fs::exists(first), c.old.has_value());
      if (c.old) {
        EXPECT_EQ(ReadFileText(first), *c.old);
      }
    }
  }
}

TEST(LogRotation, LeavesTheLogWhenItCannotBeMoved) {
  TempDir dir;
  const fs::path log = dir / "error.txt";
  WriteFileText(log, "0123456789");
  // A non-empty folder where the first generation would go: the rename fails, and the
  // caller goes on appending to the same log.
  fs::create_directory(dir / "error.txt.1");
  WriteFileText(dir / "error.txt.1" / "x", "x");
  EXPECT_FALSE(RotateIfLarger(log.string(), 4));
  EXPECT_EQ(ReadFileText(log), "0123456789");

  // A folder is never taken for a log.
  fs::create_directory(dir / "folder");
  EXPECT_FALSE(RotateIfLarger((dir / "folder").string(), 0));
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

// Writers that all find the same full log: one moves it, the others then see the fresh
// file, so the first generation is the full log and no entry is lost.
TEST(LogRotation, ConcurrentWritersMoveAFullLogOnce) {
  constexpr int kRounds = 20;
  constexpr int kWriters = 4;
  const std::string full(100, 'x');
  const std::string line9 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "9\r\n";
  std::string expected;
  for (int i = 0; i < kWriters; ++i) expected += line9;
  const ScopedLogMaxSize limit(full.size());
  for (int round = 0; round < kRounds; ++round) {
    TempDir dir;
    const std::string log = (dir / "error.txt").string();
    WriteFileText(log, full);
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
      writers.emplace_back([&log] { EXPECT_TRUE(LogError(9, log)); });
    }
    for (auto& w : writers) w.join();
    ASSERT_EQ(ReadFileText(dir / "error.txt.1"), full) << "round " << round;
    ASSERT_EQ(ReadFileText(log), expected) << "round " << round;
  }
}

TEST(LogRotation, LimitIsProcessWideWithADefaultOf64MiB) {
  EXPECT_EQ(kDefaultLogMaxSize, 64u * 1024 * 1024);
  EXPECT_EQ(LogMaxSize(), kDefaultLogMaxSize);
  {
    ScopedLogMaxSize limit(1000);
    EXPECT_EQ(LogMaxSize(), 1000u);
    SetLogMaxSize(0);
    EXPECT_EQ(LogMaxSize(), kDefaultLogMaxSize);
  }
  EXPECT_EQ(LogMaxSize(), kDefaultLogMaxSize);
}

TEST(LogRotation, ReadsTheLimitFromTheMainSection) {
  const struct {
    const char* ini;
    uint64_t limit;
  } cases[] = {
      {"", kDefaultLogMaxSize},
      {"[main]\nLogMaxSize=1048576\n", 1048576},
      {"[MAIN]\nlogmaxsize = 0x100000\n", 0x100000},
      {"[main]\nLogMaxSize=$400\n", 0x400},
      {"[main]\nLogMaxSize=2147483647\n", 2147483647u},
      {"[main]\nLogMaxSize=0\n", kDefaultLogMaxSize},
      {"[main]\nLogMaxSize=-5\n", kDefaultLogMaxSize},
      {"[main]\nLogMaxSize=64M\n", kDefaultLogMaxSize},
      {"[main]\nLogMaxSize=4294967296\n", kDefaultLogMaxSize},
      {"[main]\nLogMaxSize=\n", kDefaultLogMaxSize},
      {"[ServerHost]\nLogMaxSize=100\n", kDefaultLogMaxSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    EXPECT_EQ(ReadLogMaxSize(IniFile::Parse(c.ini)), c.limit);
  }
}

TEST(LogRotation, ErrorLogStartsAFreshFileOnceFull) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  const std::string line9 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "9\r\n";    // 11 bytes
  const std::string line11 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "11\r\n";  // 12 bytes
  const std::string line19 = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "19\r\n";
  ScopedLogMaxSize limit(20);

  ASSERT_TRUE(LogError(9));
  ASSERT_TRUE(LogError(11));  // 11 bytes < 20: same file
  EXPECT_EQ(ReadFileText("error.txt"), line9 + line11);
  EXPECT_FALSE(fs::exists("error.txt.1"));

  ASSERT_TRUE(LogError(19));  // 23 bytes >= 20: moved aside first
  EXPECT_EQ(ReadFileText("error.txt.1"), line9 + line11);
  EXPECT_EQ(ReadFileText("error.txt"), line19);
}

}  // namespace
}  // namespace orvelgate
