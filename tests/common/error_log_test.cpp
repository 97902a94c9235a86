#include "common/error_log.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace orvelgate {
namespace {

using testing::ReadFileText;
using testing::ScopedCwd;
using testing::TempDir;

TEST(ErrorLog, CreatesThenAppendsWindows1251Lines) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  EXPECT_TRUE(LogError(9));
  EXPECT_EQ(ReadFileText("error.txt"), "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "9\r\n");
  EXPECT_TRUE(LogError(11));
  EXPECT_TRUE(LogError(19));
  EXPECT_EQ(ReadFileText("error.txt"),
            "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "9\r\n"
            "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "11\r\n"
            "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "19\r\n");
}

TEST(ErrorLog, ReportsAFileThatCannotBeWritten) {
  TempDir dir;
  EXPECT_FALSE(LogError(9, (dir / "missing-folder" / "error.txt").string()));
}

}  // namespace
}  // namespace orvelgate
