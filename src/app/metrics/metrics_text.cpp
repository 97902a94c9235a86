#include "app/metrics/metrics_text.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "common/version.h"

namespace orvelgate {
namespace {

constexpr std::array<const char*, kFrameKinds> kKindNames = {"gb", "cn", "ascii", "other"};
constexpr std::array<const char*, kFrameResults> kResultNames = {"event", "no_event", "rejected",
                                                                 "not_logged", "ignored"};
constexpr std::array<const char*, kServerLinks> kLinkNames = {"t8", "t7"};

// The results a kind can have: these series are always there, from 0 on.
bool Possible(FrameKind kind, FrameResult result) {
  if (result == FrameResult::NotLogged) return true;
  switch (kind) {
    case FrameKind::Gb:
    case FrameKind::Cn: return result != FrameResult::Ignored;
    case FrameKind::Ascii: return result == FrameResult::Event || result == FrameResult::NoEvent;
    case FrameKind::Other: return result == FrameResult::Ignored;
  }
  return false;
}

// Shortest text that reads back as the same number, never in exponent form.
std::string Number(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

std::string Number(uint64_t value) { return std::to_string(value); }

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// labels: `key="value"` pairs already quoted, or "" for none.
void Sample(std::string& out, std::string_view name, const std::string& labels,
            const std::string& value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(value).append("\n");
}

std::string Label(std::string_view key, std::string_view value) {
  return std::string(key) + "=\"" + EscapeLabelValue(value) + "\"";
}

void PerLink(std::string& out, std::string_view name, const std::array<uint64_t, kServerLinks>& v) {
  for (std::size_t l = 0; l < kServerLinks; ++l) Sample(out, name, Label("link", kLinkNames[l]), Number(v[l]));
}

void Frames(std::string& out, const CounterReadings& c) {
  constexpr std::string_view name = "orvelgate_frames_received_total";
  Family(out, name, "counter",
         "Packets from the station by frame kind (by length) and what became of them.");
  for (std::size_t k = 0; k < kFrameKinds; ++k) {
    for (std::size_t r = 0; r < kFrameResults; ++r) {
      const uint64_t n = c.frames[k][r];
      if (n == 0 && !Possible(static_cast<FrameKind>(k), static_cast<FrameResult>(r))) continue;
      Sample(out, name, Label("kind", kKindNames[k]) + "," + Label("result", kResultNames[r]), Number(n));
    }
  }
}

void Acknowledgements(std::string& out, const CounterReadings& c) {
  const uint64_t total = c.Acknowledgements();
  Family(out, "orvelgate_acknowledgements_total", "counter",
         "Acknowledgements written to the station, each once its events were synced.");
  Sample(out, "orvelgate_acknowledgements_total", "", Number(total));

  constexpr std::string_view name = "orvelgate_acknowledgement_latency_seconds";
  Family(out, name, "histogram",
         "Time from a frame's request for its acknowledgement to the acknowledgement written.");
  const std::string bucket = std::string(name) + "_bucket";
  uint64_t below = 0;
  for (std::size_t b = 0; b < kAckLatencyBoundsNs.size(); ++b) {
    below += c.ackLatency[b];
    Sample(out, bucket, Label("le", Number(Seconds(kAckLatencyBoundsNs[b]))), Number(below));
  }
  Sample(out, bucket, Label("le", "+Inf"), Number(total));
  Sample(out, std::string(name) + "_sum", "", Number(Seconds(static_cast<int64_t>(c.ackLatencySumNs))));
  Sample(out, std::string(name) + "_count", "", Number(total));
}

void Links(std::string& out, const CounterReadings& c) {
  Family(out, "orvelgate_events_delivered_total", "counter",
         "Events delivered: T8 EventAcks from the server, T7 event reports the socket took.");
  PerLink(out, "orvelgate_events_delivered_total", c.delivered);
  Family(out, "orvelgate_link_connections_total", "counter",
         "Connections made to the server, the first one and every reconnection.");
  PerLink(out, "orvelgate_link_connections_total", c.connections);
}

void Gauge(std::string& out, std::string_view name, std::string_view help, const std::string& value,
           const std::string& labels = "") {
  Family(out, name, "gauge", help);
  Sample(out, name, labels, value);
}

std::string Flag(bool on) { return on ? "1" : "0"; }

void StatusGauges(std::string& out, const DriverStatus& s, int64_t nowNs) {
  Gauge(out, "orvelgate_status_age_seconds",
        "How old the state below is; it grows while the user-interface thread is stuck.",
        Number(Seconds(std::max<int64_t>(nowNs - s.takenNs, 0))));
  Gauge(out, "orvelgate_port_open", "Whether the station's serial port is open.", Flag(s.portOpen),
        Label("port", s.portName));
  Gauge(out, "orvelgate_station_online", "Whether the station is heard (an ASCII frame lately).",
        Flag(s.stationOnline));
  const std::array<bool, kServerLinks> used = {s.t8Used, s.t7Used};
  const std::array<bool, kServerLinks> up = {s.t8Up, s.t7Connected};
  Family(out, "orvelgate_link_enabled", "gauge", "Whether the link is switched on (SendT8, SendT7).");
  for (std::size_t l = 0; l < kServerLinks; ++l)
    Sample(out, "orvelgate_link_enabled", Label("link", kLinkNames[l]), Flag(used[l]));
  Family(out, "orvelgate_link_up", "gauge", "Whether the link is up: T8 logged in, T7 connected.");
  for (std::size_t l = 0; l < kServerLinks; ++l)
    Sample(out, "orvelgate_link_up", Label("link", kLinkNames[l]), Flag(up[l]));
  const std::array<SpoolBacklog, kServerLinks> spool = {s.t8Spool, s.t7Spool};
  Family(out, "orvelgate_spool_files", "gauge", "Spool files waiting: .dd8 for T8, .ddk for T7.");
  for (std::size_t l = 0; l < kServerLinks; ++l)
    Sample(out, "orvelgate_spool_files", Label("link", kLinkNames[l]), Number(uint64_t{spool[l].Files}));
  Family(out, "orvelgate_spool_oldest_age_seconds", "gauge",
         "How long the oldest waiting spool file has waited; 0 when none waits.");
  for (std::size_t l = 0; l < kServerLinks; ++l)
    Sample(out, "orvelgate_spool_oldest_age_seconds", Label("link", kLinkNames[l]),
           Number(static_cast<double>(spool[l].OldestAgeMs(s.takenNs)) / 1e3));
  Gauge(out, "orvelgate_journal_unretired_entries",
        "Events in the journal not yet delivered or spooled.", Number(uint64_t{s.journalLive}));
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string RenderMetrics(const MetricsInput& input) {
  std::string out;
  Gauge(out, "orvelgate_build_info", "The driver's version.", "1", Label("version", ORVELGATE_VERSION));
  Frames(out, input.counters);
  Acknowledgements(out, input.counters);
  Links(out, input.counters);
  if (input.status) StatusGauges(out, *input.status, input.nowNs);
  return out;
}

}  // namespace orvelgate
