// Entries under spool names that are not regular files: each is set aside as it is
// (never followed, never deleted), nothing outside the folder is read or touched, and
// the re-send goes on with the good files.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "events/spool_resender.h"
#include "link_fakes.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::Day8;
using testing::ErrorLine;
using testing::EventFile;
using testing::FakeT7;
using testing::FakeT8;
using testing::FileNames;
using testing::ReadFileBytes;
using testing::ReadFileText;
using testing::ScopedCwd;
using testing::SetMtime;
using testing::TempDir;
using testing::WriteFileBytes;

enum class Entry { LinkToOutsideFile, LinkToOutsideFolder, DanglingLink, Fifo, Folder, LinkToDevice };

fs::file_type TypeOf(Entry entry) {
  if (entry == Entry::Fifo) return fs::file_type::fifo;
  if (entry == Entry::Folder) return fs::file_type::directory;
  return fs::file_type::symlink;
}

struct FaultCase {
  const char* title;
  Entry entry;
  const char* extension;
};

class SpoolFolderFaults : public ::testing::TestWithParam<FaultCase> {
 protected:
  // The odd entry under `name`; what a link points to lies outside the folder.
  void Make(Entry entry, const std::string& name) {
    switch (entry) {
      case Entry::LinkToOutsideFile: fs::create_symlink(outsideFile, name); break;
      case Entry::LinkToOutsideFolder: fs::create_directory_symlink(outside.path(), name); break;
      case Entry::DanglingLink: fs::create_symlink(outside.path() / "none", name); break;
      case Entry::Fifo: ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0); break;
      case Entry::Folder: fs::create_directory(name); break;
      case Entry::LinkToDevice: fs::create_symlink("/dev/zero", name); break;
    }
  }

  TempDir outside;
  fs::path outsideFile = outside.path() / "passwd";
  std::vector<uint8_t> outsideBytes = std::vector<uint8_t>(kT7RecordSize + 100, 0x41);
  TempDir dir;
  ScopedCwd cwd{dir.path()};
  FakeClock clock{Day8(20, 53, 7, 123)};
};

TEST_P(SpoolFolderFaults, IsSetAsideUnfollowedAndTheGoodFileGoesOut) {
  const FaultCase& c = GetParam();
  WriteFileBytes(outsideFile, outsideBytes);
  const std::string odd = std::string("5000000") + c.extension;
  const std::string good = std::string("6000000") + c.extension;
  Make(c.entry, odd);
  WriteFileBytes(good, c.extension == std::string(".dd8") ? EventFile(7)
                                                          : std::vector<uint8_t>(kT7EventSpoolSize, 0x33));
  struct ::timespec old[2] = {{1000, 0}, {1000, 0}};
  ::utimensat(AT_FDCWD, odd.c_str(), old, AT_SYMLINK_NOFOLLOW);  // the oldest
  SetMtime(good, 2000);

  SpoolStore store({.spoolPrefix = ""}, clock);
  FakeT8 t8(/*up=*/true);
  FakeT7 t7(/*connected=*/true);
  SpoolResender resender(&t8, &t7, store, clock);
  resender.ResendT8Step();
  resender.ResendT7Step();

  // Set aside as it was: the entry itself renamed, of the same type.
  const fs::path aside = dir.path() / (odd + ".bad");
  EXPECT_FALSE(fs::exists(fs::symlink_status(odd)));
  EXPECT_EQ(fs::symlink_status(aside).type(), TypeOf(c.entry));
  EXPECT_EQ(ReadFileText("error.txt"), ErrorLine(12));
  // The outside file is untouched and unsent; the good file went out.
  EXPECT_EQ(ReadFileBytes(outsideFile), outsideBytes);
  EXPECT_EQ(FileNames(outside.path()), std::vector<std::string>{"passwd"});
  const std::size_t sent = t8.Queued().size() + t7.sent.size();
  EXPECT_EQ(sent, 1u);
  for (const auto& m : t8.Queued()) EXPECT_EQ(m.payload.size(), EventRecord::kSize);
  for (const auto& r : t7.sent) EXPECT_EQ(r[0], 0x33);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SpoolFolderFaults,
    ::testing::Values(FaultCase{"LinkDd8", Entry::LinkToOutsideFile, ".dd8"},
                      FaultCase{"LinkDdk", Entry::LinkToOutsideFile, ".ddk"},
                      FaultCase{"LinkToFolderDd8", Entry::LinkToOutsideFolder, ".dd8"},
                      FaultCase{"DanglingLinkDdk", Entry::DanglingLink, ".ddk"},
                      FaultCase{"LinkToDeviceDd8", Entry::LinkToDevice, ".dd8"},
                      FaultCase{"LinkToDeviceDdk", Entry::LinkToDevice, ".ddk"},
                      FaultCase{"FifoDd8", Entry::Fifo, ".dd8"},
                      FaultCase{"FifoDdk", Entry::Fifo, ".ddk"},
                      FaultCase{"FolderDd8", Entry::Folder, ".dd8"},
                      FaultCase{"FolderDdk", Entry::Folder, ".ddk"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.title); });

}  // namespace
}  // namespace orvelgate
