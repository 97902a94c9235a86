#include "common/diagnostics.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace orvelgate {
namespace {

// Both "device" and "inode" of JOURNAL_STREAM: plain decimal, nothing else.
bool ParseDecimal(std::string_view text, uintmax_t& value) {
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && rest == end;
}

CalendarTime LocalCalendarNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
          static_cast<int>(ts.tv_nsec / 1000000), tm.tm_wday};
}

void WriteWhole(int fd, bool socket, std::string_view bytes) {
  while (!bytes.empty()) {
    // A systemd journal that went away must not end the driver with SIGPIPE.
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOTSOCK && socket) {  // the descriptor was replaced meanwhile
      socket = false;
      continue;
    }
    if (n <= 0) return;  // nowhere left to tell
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

bool StderrIsJournal(std::string_view journalStreamEnv, dev_t device, ino_t inode) {
  const auto colon = journalStreamEnv.find(':');
  if (colon == std::string_view::npos) return false;
  uintmax_t envDevice = 0;
  uintmax_t envInode = 0;
  return ParseDecimal(journalStreamEnv.substr(0, colon), envDevice) &&
         ParseDecimal(journalStreamEnv.substr(colon + 1), envInode) &&
         envDevice == static_cast<uintmax_t>(device) && envInode == static_cast<uintmax_t>(inode);
}

bool IsJournalStream(int fd) {
  const char* env = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  return env && ::fstat(fd, &st) == 0 && StderrIsJournal(env, st.st_dev, st.st_ino);
}

DiagnosticsSink FdDiagnosticsSink(int fd, LineStyle style) {
  struct stat st {};
  const bool socket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  return [fd, style, socket](Severity severity, std::string_view text) {
    const CalendarTime when =
        style == LineStyle::kTimestamped ? LocalCalendarNow() : CalendarTime{};
    WriteWhole(fd, socket, FormatDiagnosticLine(style, severity, when, text));
  };
}

}  // namespace orvelgate
