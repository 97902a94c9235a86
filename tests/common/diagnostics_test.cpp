#include "common/diagnostics.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/fake_clock.h"

namespace orvelgate {
namespace {

struct Line {
  Severity severity;
  std::string text;
};

// Collects the lines for its lifetime. Diagnose serializes sink calls, so no lock here.
class CapturedLines {
 public:
  CapturedLines()
      : scope_([this](Severity s, std::string_view t) {
          lines_.push_back({s, std::string(t)});
        }) {}
  const std::vector<Line>& lines() const { return lines_; }
  std::size_t size() const { return lines_.size(); }
  const Line& back() const { return lines_.back(); }

 private:
  std::vector<Line> lines_;
  ScopedDiagnosticsSink scope_;  // after lines_, so it is undone first
};

// Everything written to the pipe until all its write ends are closed.
std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the last line has no newline";
  return lines;
}

class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// "2024-03-07 09:05:02.007 " at the start of line: a digit wherever the pattern has 0.
bool StartsWithTimestamp(std::string_view line) {
  constexpr std::string_view kPattern = "0000-00-00 00:00:00.000 ";
  if (line.size() < kPattern.size()) return false;
  for (std::size_t i = 0; i < kPattern.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kPattern[i] == '0' ? !digit : line[i] != kPattern[i]) return false;
  }
  return true;
}

// Sets TZ for its lifetime; tzset, since localtime_r need not look at TZ again.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    restore_.reset();
    ::tzset();
  }

 private:
  std::optional<ScopedEnv> restore_{std::in_place, "TZ"};
};

// --- the line itself ---

TEST(Diagnostics, FormatsJournalAndTimestampedLinesBySeverity) {
  const CalendarTime when{2024, 3, 7, 9, 5, 2, 7, 4};
  struct Case {
    LineStyle style;
    Severity severity;
    const char* text;
    const char* line;
  };
  const std::vector<Case> cases{
      {LineStyle::kJournal, Severity::kError, "port lost", "<3>port lost\n"},
      {LineStyle::kJournal, Severity::kWarning, "port lost", "<4>port lost\n"},
      {LineStyle::kJournal, Severity::kInfo, "port lost", "<6>port lost\n"},
      // The journal reads only the first prefix; one in the text stays text.
      {LineStyle::kJournal, Severity::kInfo, "<1>x", "<6><1>x\n"},
      {LineStyle::kJournal, Severity::kWarning, "", "<4>\n"},
      {LineStyle::kTimestamped, Severity::kError, "port lost",
       "2024-03-07 09:05:02.007 orvelgate: error: port lost\n"},
      {LineStyle::kTimestamped, Severity::kWarning, "port lost",
       "2024-03-07 09:05:02.007 orvelgate: warning: port lost\n"},
      {LineStyle::kTimestamped, Severity::kInfo, "port lost",
       "2024-03-07 09:05:02.007 orvelgate: info: port lost\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(FormatDiagnosticLine(c.style, c.severity, when, c.text), c.line);
  }
  EXPECT_EQ(FormatDiagnosticLine(LineStyle::kTimestamped, Severity::kInfo,
                                 {1999, 12, 31, 23, 59, 59, 999, 5}, "x"),
            "1999-12-31 23:59:59.999 orvelgate: info: x\n");
}

TEST(Diagnostics, FlattensLineBreaksAndControlCharacters) {
  struct Case {
    std::string text;
    std::string flat;
  };
  const std::vector<Case> cases{
      {"", ""},
      {"plain text", "plain text"},
      {"first\nsecond", "first | second"},
      {"first\r\nsecond", "first | second"},
      {"first\rsecond", "first | second"},
      {"first\n\n\r\nsecond\nthird", "first | second | third"},
      {"trailing\n", "trailing"},
      {"\r\nleading", "leading"},
      {"\n", ""},
      {"tab\tstays", "tab\tstays"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {"del\x7f", "del\\x7f"},
      {"Порт COM3", "Порт COM3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flat);
    const std::string flat = FlattenDiagnosticText(c.text);
    EXPECT_EQ(flat, c.flat);
    EXPECT_EQ(flat.find_first_of(std::string("\n\r\0", 3)), std::string::npos);
  }
}

// --- where the line goes ---

TEST(Diagnostics, RecognizesTheJournalStreamOnlyByItsExactDeviceAndInode) {
  struct Case {
    const char* env;
    bool journal;
  };
  const dev_t device = 66306;
  const ino_t inode = 18446744073709551615u;  // the largest inode must still compare
  const std::vector<Case> cases{
      {"66306:18446744073709551615", true},
      {"66306:18446744073709551614", false},
      {"66307:18446744073709551615", false},
      {"18446744073709551615:66306", false},  // swapped
      {"", false},
      {"66306", false},
      {"66306:", false},
      {":18446744073709551615", false},
      {"66306:18446744073709551615x", false},
      {" 66306:18446744073709551615", false},
      {"66306:18446744073709551615 ", false},
      {"+66306:18446744073709551615", false},
      {"-66306:18446744073709551615", false},
      {"0x10302:18446744073709551615", false},
      {"66306:18446744073709551615:1", false},
      {"66306:18446744073709551616", false},  // out of range, not wrapped around
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env);
    EXPECT_EQ(StderrIsJournal(c.env, device, inode), c.journal);
  }
  EXPECT_TRUE(StderrIsJournal("0:0", 0, 0));
  EXPECT_TRUE(StderrIsJournal("8:1234", 8, 1234));
  EXPECT_FALSE(StderrIsJournal("8:1234", 1234, 8));
}

TEST(Diagnostics, IsJournalStreamComparesTheEnvironmentWithTheDescriptor) {
  ScopedEnv restore("JOURNAL_STREAM");
  int journal[2];
  int other[2];
  ASSERT_EQ(::pipe(journal), 0);
  ASSERT_EQ(::pipe(other), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(journal[1], &st), 0);
  const std::string env = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);

  ::setenv("JOURNAL_STREAM", env.c_str(), 1);
  EXPECT_TRUE(IsJournalStream(journal[1]));
  EXPECT_FALSE(IsJournalStream(other[1]));
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(IsJournalStream(journal[1]));
  ::setenv("JOURNAL_STREAM", env.c_str(), 1);
  EXPECT_FALSE(IsJournalStream(-1));

  for (int fd : {journal[0], journal[1], other[0], other[1]}) ::close(fd);
}

TEST(Diagnostics, SinkGetsFlattenedLinesAndScopesNest) {
  CapturedLines outer;
  Diagnose(Severity::kError, "to the outer\n");
  {
    CapturedLines inner;
    Diagnose(Severity::kWarning, "to the inner\nand on");
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner.back().severity, Severity::kWarning);
    EXPECT_EQ(inner.back().text, "to the inner | and on");
  }
  errno = EACCES;
  Diagnose(Severity::kInfo, "to the outer again");
  EXPECT_EQ(errno, EACCES) << "a line must not change the errno being reported";

  ASSERT_EQ(outer.size(), 2u);
  EXPECT_EQ(outer.lines()[0].severity, Severity::kError);
  EXPECT_EQ(outer.lines()[0].text, "to the outer");
  EXPECT_EQ(outer.lines()[1].severity, Severity::kInfo);
  EXPECT_EQ(outer.lines()[1].text, "to the outer again");
}

TEST(Diagnostics, TimestampedLinesCarryTheLocalTime) {
  ScopedTimeZone zone("XYZ-05:30");  // half an hour off UTC, so UTC or a wrong field shows
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto minuteText = [](std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return std::string(text);
  };
  const std::string before = minuteText(std::time(nullptr));
  {
    ScopedDiagnosticsSink sink(FdDiagnosticsSink(fds[1], LineStyle::kTimestamped));
    Diagnose(Severity::kInfo, "started\nin the window");
  }
  const std::string after = minuteText(std::time(nullptr));
  ::close(fds[1]);
  const std::string line = ReadToEnd(fds[0]);
  ::close(fds[0]);

  EXPECT_TRUE(StartsWithTimestamp(line)) << line;
  EXPECT_EQ(line.substr(std::min<std::size_t>(line.size(), 24)),
            "orvelgate: info: started | in the window\n");
  const std::string minute = line.substr(0, 16);
  EXPECT_TRUE(minute == before || minute == after) << line << " vs " << before << " / " << after;
}

TEST(Diagnostics, LinesFromSeveralThreadsStayWhole) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string received;
  std::thread reader([&] { received = ReadToEnd(fds[0]); });

  // Some lines are longer than PIPE_BUF, where the pipe itself no longer keeps writes whole.
  constexpr int kThreads = 6;
  constexpr int kLines = 150;
  auto text = [](int thread, int line) {
    return "thread " + std::to_string(thread) + " line " + std::to_string(line) + " " +
           std::string(static_cast<std::size_t>(line % 7) * 1500, static_cast<char>('a' + thread));
  };
  {
    ScopedDiagnosticsSink sink(FdDiagnosticsSink(fds[1], LineStyle::kJournal));
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t, &text] {
        for (int i = 0; i < kLines; ++i) Diagnose(Severity::kInfo, text(t, i));
      });
    }
    for (std::thread& writer : writers) writer.join();
  }
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) expected.insert("<6>" + text(t, i));
  }
  const std::vector<std::string> lines = SplitLines(received);
  EXPECT_EQ(lines.size(), expected.size());
  for (const std::string& line : lines) {
    ASSERT_EQ(expected.erase(line), 1u) << "torn or repeated line: " << line.substr(0, 60);
  }
  EXPECT_TRUE(expected.empty());
}

TEST(Diagnostics, SocketSinkSurvivesAJournalThatWentAway) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  {
    ScopedDiagnosticsSink sink(FdDiagnosticsSink(fds[0], LineStyle::kJournal));
    Diagnose(Severity::kWarning, "first");
    char buffer[64];
    const ssize_t n = ::read(fds[1], buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "<4>first\n");
  }
  ::close(fds[1]);
  {
    // Without MSG_NOSIGNAL this write would end the test program with SIGPIPE.
    ScopedDiagnosticsSink sink(FdDiagnosticsSink(fds[0], LineStyle::kJournal));
    errno = 0;
    Diagnose(Severity::kError, "nobody reads this");
    EXPECT_EQ(errno, 0);
  }
  ::close(fds[0]);
}

TEST(Diagnostics, WithoutASinkALineGoesToStderrWhole) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int savedStderr = ::dup(2);
  ASSERT_GE(savedStderr, 0);
  ASSERT_EQ(::dup2(fds[1], 2), 2);
  Diagnose(Severity::kWarning, "on stderr\nand more");
  ::dup2(savedStderr, 2);
  ::close(savedStderr);
  ::close(fds[1]);
  const std::string line = ReadToEnd(fds[0]);
  ::close(fds[0]);

  // Journal or not was decided from the real stderr, so either form is right here.
  const std::string text = "on stderr | and more\n";
  if (line.starts_with("<")) {
    EXPECT_EQ(line, "<4>" + text);
  } else {
    EXPECT_TRUE(StartsWithTimestamp(line)) << line;
    EXPECT_EQ(line.substr(std::min<std::size_t>(line.size(), 24)), "orvelgate: warning: " + text);
  }
}

// --- errno texts and failures ---

TEST(ErrnoText, GivesTheSystemsTextAndTheNumber) {
  struct Case {
    int error;
    const char* text;
  };
  const std::vector<Case> cases{
      {ENOENT, "No such file or directory (errno 2)"},
      {EACCES, "Permission denied (errno 13)"},
      {EBUSY, "Device or resource busy (errno 16)"},
      {ECONNREFUSED, "Connection refused (errno 111)"},
      {0, "Success (errno 0)"},
      {98765, "Unknown error 98765 (errno 98765)"},
      {-1, "Unknown error -1 (errno -1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ErrnoText(c.error), c.text);
  }
}

TEST(ErrnoText, FailureDescribesWhatFailedAndWhy) {
  struct Case {
    Failure failure;
    const char* description;
  };
  const std::vector<Case> cases{
      {Failure::FromErrno(EACCES, "open /dev/ttyUSB0"),
       "open /dev/ttyUSB0: Permission denied (errno 13)"},
      {Failure::FromErrno(ENOENT, ""), "No such file or directory (errno 2)"},
      {Failure::FromText("no answer from the receiver"), "no answer from the receiver"},
      {Failure{}, ""},
      {Failure::Wrap("event journal", Failure::FromErrno(ENOSPC, "write orvelgate.journal")),
       "event journal: write orvelgate.journal: No space left on device (errno 28)"},
      {Failure::Wrap("T8 worker", Failure::Wrap("make socket", Failure::FromText("no T8 socket"))),
       "T8 worker: make socket: no T8 socket"},
      {Failure::Wrap("", Failure::FromErrno(EIO, "read")), "read: Input/output error (errno 5)"},
      // What mends a failure follows its own part of the chain.
      {Failure{EACCES, "/dev/ttyUSB0", {}, "add the user to the dialout group"},
       "/dev/ttyUSB0: Permission denied (errno 13); add the user to the dialout group"},
      {Failure{0, "COM3", {}, "is the [ports] line right?"}, "COM3; is the [ports] line right?"},
      {Failure::Wrap("opening the port",
                     Failure{EBUSY, "/dev/ttyS0", {}, "another program holds the port"}),
       "opening the port: /dev/ttyS0: Device or resource busy (errno 16); another program "
       "holds the port"},
      {Failure{0, "opening the port", std::make_shared<const Failure>(Failure::FromErrno(EIO, "")),
               "try another port"},
       "opening the port: Input/output error (errno 5); try another port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(c.failure.Describe(), c.description);
  }
}

TEST(ErrnoText, FailureKeepsTheInnermostErrnoAndWhatWasCaught) {
  const Failure chain =
      Failure::Wrap("event journal", Failure::FromErrno(ENOSPC, "write orvelgate.journal"));
  EXPECT_EQ(chain.Errno(), ENOSPC);
  EXPECT_EQ(Failure::FromText("x").Errno(), 0);

  try {
    throw std::runtime_error("no T8 socket");
  } catch (...) {
    EXPECT_EQ(Failure::FromCurrentException().Describe(), "no T8 socket");
  }
  try {
    throw 7;
  } catch (...) {
    EXPECT_EQ(Failure::FromCurrentException().Describe(), "unknown exception");
  }
}

TEST(ErrnoText, AddressLookupTextIsTheResolversWords) {
  EXPECT_EQ(AddressLookupText(EAI_NONAME, 0), gai_strerror(EAI_NONAME));
  EXPECT_EQ(AddressLookupText(EAI_SYSTEM, ECONNREFUSED), "Connection refused");
}

// --- RepeatedFailure ---

constexpr const char* kSubject = "T8 link to 10.0.0.5:12543";

TEST(RepeatedFailure, FirstFailureIsLoggedAtOnceWithItsCause) {
  CapturedLines captured;
  FakeClock clock;  // 12:00:00
  RepeatedFailure warning(kSubject, clock);
  RepeatedFailure error("port /dev/ttyUSB0", clock, Severity::kError);
  EXPECT_FALSE(warning.Failing());

  warning.Fail("connect: Connection refused (errno 111)");
  error.Fail(Failure::FromErrno(ENOENT, "open /dev/ttyUSB0"));

  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured.lines()[0].severity, Severity::kWarning);
  EXPECT_EQ(captured.lines()[0].text,
            "T8 link to 10.0.0.5:12543 failed: connect: Connection refused (errno 111)");
  EXPECT_EQ(captured.lines()[1].severity, Severity::kError);
  EXPECT_EQ(captured.lines()[1].text,
            "port /dev/ttyUSB0 failed: open /dev/ttyUSB0: No such file or directory (errno 2)");
  EXPECT_TRUE(warning.Failing());
  EXPECT_EQ(warning.Attempts(), 1u);
}

TEST(RepeatedFailure, RepeatsAreSilentWithinAMinuteThenOneLineAMinute) {
  CapturedLines captured;
  FakeClock clock;
  RepeatedFailure failure(kSubject, clock);
  failure.Fail("refused");
  for (int second = 1; second < 60; ++second) {
    clock.Advance(1000);
    failure.Fail("refused");
  }
  ASSERT_EQ(captured.size(), 1u) << captured.back().text;
  clock.Advance(999);
  failure.Fail("refused");
  EXPECT_EQ(captured.size(), 1u) << "59.999 s is still within the minute";
  clock.Advance(1);
  failure.Fail("refused");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured.back().severity, Severity::kWarning);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "still failing after 62 attempts since 12:00:00 (1 min 0 s): refused");

  // An hour on, once a second: one line each minute, the time given in hours.
  for (int second = 1; second <= 3600; ++second) {
    clock.Advance(1000);
    failure.Fail("refused");
  }
  EXPECT_EQ(captured.size(), 62u);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "still failing after 3662 attempts since 12:00:00 (1 h 1 min): refused");
}

TEST(RepeatedFailure, LinesAreAtLeastAMinuteApartWhateverTheRetryPace) {
  for (const uint32_t pace : {250u, 7000u, 59999u, 60000u, 90000u}) {
    SCOPED_TRACE(pace);
    FakeClock clock;
    RepeatedFailure failure(kSubject, clock);
    std::vector<uint32_t> lineTicks;
    ScopedDiagnosticsSink sink(
        [&](Severity, std::string_view) { lineTicks.push_back(clock.TickMs()); });
    for (uint32_t elapsed = 0; elapsed <= 20 * 60000; elapsed += pace) {
      failure.Fail("refused");
      clock.Advance(pace);
    }
    ASSERT_FALSE(lineTicks.empty());
    EXPECT_EQ(lineTicks.front(), 1000u) << "the first failure is told at once";
    for (std::size_t i = 1; i < lineTicks.size(); ++i) {
      const uint32_t gap = lineTicks[i] - lineTicks[i - 1];
      EXPECT_GE(gap, 60000u);
      EXPECT_LT(gap, 60000u + pace) << "a due line waited for more than one retry";
    }
  }
}

TEST(RepeatedFailure, RecoveryIsToldOnceThenTheNextFailureIsNewAgain) {
  CapturedLines captured;
  FakeClock clock;
  RepeatedFailure failure(kSubject, clock);
  failure.Fail("refused");
  clock.Advance(4000);
  failure.Fail("refused");
  clock.Advance(3000);
  failure.Succeed();
  failure.Succeed();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured.back().severity, Severity::kInfo);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 recovered after 2 failed attempts since 12:00:00 (7 s)");
  EXPECT_FALSE(failure.Failing());

  clock.Advance(10000);
  failure.Fail("timed out");
  ASSERT_EQ(captured.size(), 3u);
  EXPECT_EQ(captured.back().text, "T8 link to 10.0.0.5:12543 failed: timed out");
  clock.Advance(1000);
  failure.Succeed();
  ASSERT_EQ(captured.size(), 4u);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 recovered after 1 failed attempt since 12:00:17 (1 s)");
}

TEST(RepeatedFailure, NoRecoveryLineWithoutAFailure) {
  CapturedLines captured;
  FakeClock clock;
  RepeatedFailure failure(kSubject, clock);
  failure.Succeed();
  clock.Advance(120000);
  failure.Succeed();
  EXPECT_EQ(captured.size(), 0u);
  EXPECT_FALSE(failure.Failing());
}

TEST(RepeatedFailure, CountsTimeAcrossTheTickWrapAround) {
  CapturedLines captured;
  FakeClock clock;
  clock.SetTick(UINT32_MAX - 30000);
  RepeatedFailure failure(kSubject, clock);
  failure.Fail("refused");
  clock.Advance(30001);  // the tick wraps to 0
  ASSERT_EQ(clock.TickMs(), 0u);
  failure.Fail("refused");
  EXPECT_EQ(captured.size(), 1u);
  clock.Advance(29999);
  failure.Fail("refused");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "still failing after 3 attempts since 12:00:00 (1 min 0 s): refused");

  // Fifty days of a retry a minute: longer than the tick's whole range of 49.7 days.
  for (int minute = 0; minute < 50 * 24 * 60; ++minute) {
    clock.Advance(60000);
    failure.Fail("refused");
  }
  failure.Succeed();
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "recovered after 72003 failed attempts since 12:00:00 (1200 h 1 min)");
}

TEST(RepeatedFailure, ChangedCauseIsToldAtOnceButAtMostOnceAMinute) {
  CapturedLines captured;
  FakeClock clock;
  RepeatedFailure failure(kSubject, clock);
  failure.Fail("refused");
  clock.Advance(1000);
  failure.Fail("refused");
  clock.Advance(1000);
  failure.Fail("timed out");
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "failing differently after 3 attempts since 12:00:00 (2 s): timed out");

  // A cause that flips every second is not told each time...
  for (int second = 3; second < 62; ++second) {
    clock.Advance(1000);
    failure.Fail(second % 2 ? "refused" : "timed out");
  }
  EXPECT_EQ(captured.size(), 2u);
  // ...but a minute after the last line the latest cause is.
  clock.Advance(1000);
  failure.Fail("no route to host");
  ASSERT_EQ(captured.size(), 3u);
  EXPECT_EQ(captured.back().text,
            "T8 link to 10.0.0.5:12543 "
            "still failing after 63 attempts since 12:00:00 (1 min 2 s): no route to host");

  // Over ten minutes of flipping causes: at most two lines a minute.
  const std::size_t before = captured.size();
  for (int second = 0; second < 600; ++second) {
    clock.Advance(1000);
    failure.Fail(second % 2 ? "refused" : "timed out");
  }
  EXPECT_LE(captured.size() - before, 20u);
  EXPECT_GE(captured.size() - before, 10u);
}

}  // namespace
}  // namespace orvelgate
