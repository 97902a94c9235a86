#include "common/whole_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(WholeFile, ReadsWhatWasWrittenIncludingZeroBytes) {
  TempDir dir;
  const std::string path = (dir / "f.bin").string();
  const std::string contents = std::string("a\0b\r\n", 5) + std::string(70000, 'z');
  ASSERT_TRUE(ReplaceWholeFile(path, contents));
  std::error_code error;
  EXPECT_EQ(ReadWholeFile(path, error), contents);
  EXPECT_FALSE(error);
  ASSERT_TRUE(ReplaceWholeFile(path, ""));
  EXPECT_EQ(ReadWholeFile(path, error), "");
}

TEST(WholeFile, ReportsWhyAReadFailed) {
  TempDir dir;
  std::error_code error;
  EXPECT_FALSE(ReadWholeFile((dir / "absent").string(), error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(ReadWholeFile(dir.path().string(), error));
  EXPECT_TRUE(error);
  EXPECT_NE(error, std::errc::no_such_file_or_directory);
}

TEST(WholeFile, RefusesToReplaceAFolderOrWriteIntoAMissingOne) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(ReplaceWholeFile((dir / "sub").string(), "x"));
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  EXPECT_FALSE(ReplaceWholeFile((dir / "missing" / "f").string(), "x"));
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace orvelgate
