// The event journal at start-up as the operator hears of it: a journal that cannot open
// is told once (not at every retry) and again when it opens; a damaged one is told with
// where its bytes were kept and what was recovered from it.

#include "events/event_journal_start.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace orvelgate {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFileBytes;

class EventJournalStartTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex);
    return lines;
  }

  TempDir dir;
  FakeClock clock;
  SpoolStore spool{{.spoolPrefix = (dir / "spool").string() + "/",
                    .errorLog = (dir / "error.txt").string()},
                   clock};
  RepeatedFailure failures{"event journal", clock, Severity::kError};
  std::mutex mutex;
  std::vector<std::string> lines;
  ScopedDiagnosticsSink sink{[this](Severity, std::string_view text) {
    std::lock_guard lock(mutex);
    lines.emplace_back(text);
  }};
};

TEST_F(EventJournalStartTest, AJournalThatCannotOpenIsToldOnceThenWhenItOpens) {
  const fs::path path = dir / "missing-folder" / "events.journal";
  for (int tick = 0; tick < 50; ++tick) {
    EXPECT_EQ(OpenEventJournal(path.string(), spool, failures), nullptr);
    clock.Advance(200);
  }
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_NE(Lines()[0].find("event journal failed: open " + path.string() +
                            ": No such file or directory"),
            std::string::npos)
      << Lines()[0];
  EXPECT_NE(Lines()[0].find("frames are not acknowledged until it opens"), std::string::npos);

  fs::create_directory(dir / "missing-folder");
  EXPECT_NE(OpenEventJournal(path.string(), spool, failures), nullptr);
  const auto after = Lines();
  ASSERT_GE(after.size(), 2u);
  EXPECT_NE(after[1].find("event journal recovered after 50 failed attempts"), std::string::npos)
      << after[1];
}

TEST_F(EventJournalStartTest, ADamagedJournalIsToldWithWhereItWasKept) {
  const fs::path path = dir / "events.journal";
  WriteFileBytes(path, std::vector<uint8_t>(100000, 'x'));
  ASSERT_NE(OpenEventJournal(path.string(), spool, failures), nullptr);
  const auto all = Lines();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0], "event journal " + path.string() + ": damaged; kept as " + path.string() +
                        ".damaged-1, never deleted; 0 good records read from it, 0 events "
                        "recovered; a fresh journal holds them; bad to the end: 100000 bytes at "
                        "offset 0 (unknown record kind)");
  EXPECT_EQ(fs::file_size(path.string() + ".damaged-1"), 100000u);
  EXPECT_EQ(fs::file_size(path), 0u);
}

}  // namespace
}  // namespace orvelgate
