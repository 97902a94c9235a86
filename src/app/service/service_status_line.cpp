#include "app/service/service_status_line.h"

#include <vector>

namespace orvelgate {

namespace {

// "1 T8 file", "12 T8 files (oldest 3 min)".
std::string BacklogText(const SpoolBacklog& backlog, const char* link, int64_t nowNs) {
  std::string text = std::to_string(backlog.Files) + " " + link + " file";
  if (backlog.Files != 1) text += "s";
  return text + " (oldest " + WaitedText(backlog.OldestAgeMs(nowNs)) + ")";
}

// The status line is one line of the notification: a name from the configuration
// must not end it or add assignments of its own.
std::string OneLine(const std::string& text) {
  std::string line = text;
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return line;
}

}  // namespace

std::string WaitedText(int64_t ms) {
  if (ms < 0) ms = 0;
  const int64_t seconds = ms / 1000;
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 60 * 60) return std::to_string(seconds / 60) + " min";
  if (seconds < 48 * 60 * 60) return std::to_string(seconds / (60 * 60)) + " h";
  return std::to_string(seconds / (24 * 60 * 60)) + " d";
}

std::string ServiceStatusLine(const DriverStatus& status) {
  std::vector<std::string> parts;
  if (status.portName.empty()) {
    parts.push_back("no port");
  } else {
    parts.push_back("port " + OneLine(status.portName) + (status.portOpen ? " open" : " not open"));
  }
  parts.push_back(status.stationOnline ? "station online" : "station offline");
  parts.push_back(!status.t8Used ? "T8 off" : status.t8Up ? "T8 up" : "T8 down");
  parts.push_back(!status.t7Used       ? "T7 off"
                  : status.t7Connected ? "T7 connected"
                                       : "T7 disconnected");

  if (status.t8Spool.Files == 0 && status.t7Spool.Files == 0) {
    parts.push_back("spool 0 waiting");
  } else {
    std::string spool = "spool ";
    if (status.t8Spool.Files > 0) spool += BacklogText(status.t8Spool, "T8", status.takenNs);
    if (status.t8Spool.Files > 0 && status.t7Spool.Files > 0) spool += ", ";
    if (status.t7Spool.Files > 0) spool += BacklogText(status.t7Spool, "T7", status.takenNs);
    parts.push_back(spool);
  }
  // Acknowledged to the station, not yet answered by a server nor in a spool file.
  if (status.journalLive > 0) {
    parts.push_back(std::to_string(status.journalLive) +
                    (status.journalLive == 1 ? " event in flight" : " events in flight"));
  }

  std::optional<CalendarTime> last;
  if (status.lastEvent) last = DecodeDateTime(*status.lastEvent);
  parts.push_back(last ? "last event " + DateTimeText(*last) : "no event yet");

  std::string line;
  for (const auto& part : parts) {
    if (!line.empty()) line += ", ";
    line += part;
  }
  return line;
}

}  // namespace orvelgate
