#include "common/diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace orvelgate {
namespace {

struct SinkState {
  std::mutex mutex;      // held while a line is written, so lines never mix
  DiagnosticsSink sink;  // empty: stderr
};

// Never destroyed: a worker left running at exit may still log.
SinkState& State() {
  static auto* state = new SinkState;
  return *state;
}

const DiagnosticsSink& StderrSink() {
  static const auto* sink = new DiagnosticsSink(
      FdDiagnosticsSink(2, IsJournalStream(2) ? LineStyle::kJournal : LineStyle::kTimestamped));
  return *sink;
}

const char* JournalPrefix(Severity severity) {
  switch (severity) {
    case Severity::kError: return "<3>";
    case Severity::kWarning: return "<4>";
    case Severity::kInfo: return "<6>";
  }
  return "<6>";
}

const char* LevelWord(Severity severity) {
  switch (severity) {
    case Severity::kError: return "error";
    case Severity::kWarning: return "warning";
    case Severity::kInfo: return "info";
  }
  return "info";
}

std::string SpanText(uint64_t ms) {
  const uint64_t s = ms / 1000;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

std::string ClockText(DayCount when) {
  const auto t = DecodeDateTime(when);
  if (!t) return "?";
  char text[40];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t->hour, t->minute, t->second);
  return text;
}

}  // namespace

void Diagnose(Severity severity, std::string_view text) {
  const int savedErrno = errno;  // callers may still want the errno they are reporting
  const std::string flat = FlattenDiagnosticText(text);
  SinkState& state = State();
  {
    std::lock_guard lock(state.mutex);
    if (state.sink) {
      state.sink(severity, flat);
    } else {
      StderrSink()(severity, flat);
    }
  }
  errno = savedErrno;
}

ScopedDiagnosticsSink::ScopedDiagnosticsSink(DiagnosticsSink sink) {
  SinkState& state = State();
  std::lock_guard lock(state.mutex);
  previous_ = std::exchange(state.sink, std::move(sink));
}

ScopedDiagnosticsSink::~ScopedDiagnosticsSink() {
  SinkState& state = State();
  std::lock_guard lock(state.mutex);
  state.sink = std::move(previous_);
}

std::string FlattenDiagnosticText(std::string_view text) {
  std::string flat;
  flat.reserve(text.size());
  bool lineBreak = false;
  for (const char c : text) {
    if (c == '\n' || c == '\r') {
      lineBreak = !flat.empty();
      continue;
    }
    if (lineBreak) {
      flat += " | ";
      lineBreak = false;
    }
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
      // NUL would end the systemd journal's line too; escapes would garble a terminal.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(byte));
      flat += escaped;
    } else {
      flat += c;
    }
  }
  return flat;
}

std::string FormatDiagnosticLine(LineStyle style, Severity severity, const CalendarTime& when,
                                 std::string_view text) {
  std::string line;
  if (style == LineStyle::kJournal) {
    line = JournalPrefix(severity);
  } else {
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d orvelgate: ", when.year,
                  when.month, when.day, when.hour, when.minute, when.second, when.millisecond);
    line = stamp;
    line += LevelWord(severity);
    line += ": ";
  }
  line += text;
  line += '\n';
  return line;
}

RepeatedFailure::RepeatedFailure(std::string subject, const Clock& clock, Severity severity)
    : subject_(std::move(subject)), clock_(clock), severity_(severity) {}

void RepeatedFailure::Fail(std::string_view cause) {
  const uint32_t now = clock_.TickMs();
  if (attempts_ == 0) {
    attempts_ = 1;
    since_ = ClockText(clock_.LocalNow());
    lastTick_ = now;
    failingMs_ = 0;
    sinceCauseLineMs_ = kQuietMs;  // a first change of cause is told at once
    Log("failed", cause);
    return;
  }
  const uint32_t elapsed = ElapsedMs(now, lastTick_);
  lastTick_ = now;
  ++attempts_;
  failingMs_ += elapsed;
  sinceLineMs_ += elapsed;
  sinceCauseLineMs_ += elapsed;
  if (sinceLineMs_ >= kQuietMs) {
    Log("still failing " + History("attempts", failingMs_), cause);
  } else if (cause != loggedCause_ && sinceCauseLineMs_ >= kQuietMs) {
    sinceCauseLineMs_ = 0;
    Log("failing differently " + History("attempts", failingMs_), cause);
  }
}

void RepeatedFailure::Succeed() {
  if (attempts_ == 0) return;
  const uint64_t failingMs = failingMs_ + ElapsedMs(clock_.TickMs(), lastTick_);
  Diagnose(Severity::kInfo,
           subject_ + " recovered " +
               History(attempts_ == 1 ? "failed attempt" : "failed attempts", failingMs));
  attempts_ = 0;
  loggedCause_.clear();
}

// "after 12 attempts since 14:03:07 (1 min 5 s)"
std::string RepeatedFailure::History(std::string_view attemptsWord, uint64_t failingMs) const {
  std::string text = "after " + std::to_string(attempts_) + " ";
  text += attemptsWord;
  text += " since " + since_ + " (" + SpanText(failingMs) + ")";
  return text;
}

void RepeatedFailure::Log(std::string_view what, std::string_view cause) {
  std::string line = subject_;
  line += ' ';
  line += what;
  line += ": ";
  line += cause;
  Diagnose(severity_, line);
  sinceLineMs_ = 0;
  loggedCause_ = cause;
}

}  // namespace orvelgate
