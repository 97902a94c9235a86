#pragma once
// The driver's diagnostics: every diagnostic line goes through Diagnose, one line per
// call, to stderr; it is the one place such a line leaves the driver. Under systemd
// stderr is a stream of the systemd journal: lines then carry a syslog priority prefix
// and no time, since the systemd journal stamps and ranks them itself. Anywhere else (a
// terminal, a file) each line carries the local time. (The window's log memo is not
// one of these: the view writes it.) Also here: RepeatedFailure, which keeps a failure
// that persists (a server away for hours) from flooding the systemd journal.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/day_count.h"
#include "common/failure.h"

namespace orvelgate {

enum class Severity { kError, kWarning, kInfo };

// Writes one line. Thread-safe; lines of several threads never mix. Line breaks and
// control characters in text are flattened, so one call is always one line of the systemd journal.
void Diagnose(Severity severity, std::string_view text);

// Receives each line's severity and flattened text (no time, no prefix, no newline).
// Calls are serialized; a sink must not call Diagnose itself.
using DiagnosticsSink = std::function<void(Severity severity, std::string_view text)>;

// Sends the lines to sink for its lifetime instead of stderr; the sink it replaced
// (or stderr) gets them again afterwards. For tests.
class ScopedDiagnosticsSink {
 public:
  explicit ScopedDiagnosticsSink(DiagnosticsSink sink);
  ~ScopedDiagnosticsSink();
  ScopedDiagnosticsSink(const ScopedDiagnosticsSink&) = delete;
  ScopedDiagnosticsSink& operator=(const ScopedDiagnosticsSink&) = delete;

 private:
  DiagnosticsSink previous_;
};

enum class LineStyle {
  kJournal,      // "<4>text": priority prefix, the systemd journal adds the time
  kTimestamped,  // "2024-03-07 09:05:02.007 orvelgate: warning: text"
};

// A sink that writes formatted lines to fd, each with a single write (a send without
// SIGPIPE on a socket such as the systemd journal's). The default sink
// is FdDiagnosticsSink(2, <systemd journal or not>).
DiagnosticsSink FdDiagnosticsSink(int fd, LineStyle style);

// The pieces of a line, pure so that they can be tested from tables.
// Line breaks (runs of CR and LF) become " | ", leading and trailing ones are dropped;
// other control characters except tab become "\xNN".
std::string FlattenDiagnosticText(std::string_view text);
// The whole line including its newline; text is expected flat.
std::string FormatDiagnosticLine(LineStyle style, Severity severity, const CalendarTime& when,
                                 std::string_view text);
// True when the JOURNAL_STREAM value ("device:inode", decimal) names this device
// and inode, i.e. when the descriptor they came from is the systemd journal's stream.
bool StderrIsJournal(std::string_view journalStreamEnv, dev_t device, ino_t inode);
// Whether fd is the stream named by the environment's JOURNAL_STREAM.
bool IsJournalStream(int fd);

// Rate limiter for a failure that persists, e.g. a connection that keeps failing.
// The first failure is logged at once; while it goes on, at most one line a minute
// says it still does, plus at most one line a minute when the cause changes. The
// first success after a logged failure says so once. Not thread-safe: one owner.
class RepeatedFailure {
 public:
  // subject names what fails: "T8 link to 10.0.0.5:12543".
  RepeatedFailure(std::string subject, const Clock& clock,
                  Severity severity = Severity::kWarning);

  void Fail(std::string_view cause);
  void Fail(const Failure& cause) { Fail(cause.Describe()); }
  void Succeed();

  bool Failing() const { return attempts_ > 0; }
  uint64_t Attempts() const { return attempts_; }  // failed attempts since the last success

 private:
  std::string History(std::string_view attemptsWord, uint64_t failingMs) const;
  void Log(std::string_view what, std::string_view cause);

  static constexpr uint64_t kQuietMs = 60000;

  std::string subject_;
  const Clock& clock_;
  Severity severity_;
  uint64_t attempts_ = 0;
  std::string since_;  // local time of the first failure, "HH:MM:SS"
  uint32_t lastTick_ = 0;
  // Times are summed call by call, so the 32-bit tick may wrap any number of times.
  uint64_t failingMs_ = 0;
  uint64_t sinceLineMs_ = 0;
  uint64_t sinceCauseLineMs_ = 0;
  std::string loggedCause_;
};

}  // namespace orvelgate
