#include "common/whole_file.h"

#include <cerrno>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/no_failure.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(WholeFile, ReadsWhatWasWrittenIncludingZeroBytes) {
  TempDir dir;
  const std::string path = (dir / "f.bin").string();
  const std::string contents = std::string("a\0b\r\n", 5) + std::string(70000, 'z');
  ASSERT_TRUE(testing::NoFailure(ReplaceWholeFile(path, contents)));
  int error = -1;
  EXPECT_EQ(ReadWholeFile(path, error), contents);
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(testing::NoFailure(ReplaceWholeFile(path, "")));
  EXPECT_EQ(ReadWholeFile(path, error), "");
}

TEST(WholeFile, ReportsWhyAReadFailed) {
  TempDir dir;
  int error = 0;
  EXPECT_FALSE(ReadWholeFile((dir / "absent").string(), error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(ReadWholeFile(dir.path().string(), error));
  EXPECT_EQ(error, EISDIR);
}

TEST(WholeFile, RefusesToReplaceAFolderOrWriteIntoAMissingOne) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  const auto onFolder = ReplaceWholeFile((dir / "sub").string(), "x");
  ASSERT_TRUE(onFolder);
  EXPECT_EQ(onFolder->Describe(), (dir / "sub").string() + ": not a regular file");
  EXPECT_TRUE(fs::is_directory(dir / "sub"));
  const auto inMissing = ReplaceWholeFile((dir / "missing" / "f").string(), "x");
  ASSERT_TRUE(inMissing);
  EXPECT_EQ(inMissing->Errno(), ENOENT) << inMissing->Describe();
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace orvelgate
