#include "server_commands.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "common/clock.h"
#include "common/day_count.h"
#include "common/hex_text.h"
#include "t7link/t7_records.h"

namespace orvelgate::t7server {
namespace {

std::vector<std::string> Words(std::string_view line) {
  std::istringstream in{std::string(line)};
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::optional<long> Integer(const std::string& text, long min, long max) {
  long v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max)
    return std::nullopt;
  return v;
}

// "now", "nan", a day count (40429.5) or 2010-09-08T12:34:56[.789].
std::optional<double> TimeArgument(const std::string& text) {
  if (text == "now") return DefaultClock().LocalNow();
  if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
  CalendarTime t;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d.%d", &t.year, &t.month, &t.day, &sep,
                  &t.hour, &t.minute, &t.second, &t.millisecond) >= 7 &&
      (sep == 'T' || sep == ' '))
    return EncodeDateTime(t);
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc() && end == text.data() + text.size()) return v;
  return std::nullopt;
}

std::vector<uint8_t> Vec(const T7Record& r) { return {r.begin(), r.end()}; }

Parsed Error(std::string text) { return {std::nullopt, std::move(text)}; }

// record <type> [offset=hex ...]: FF FF, the type, zeros, then the patches.
Parsed ParseRecord(const std::vector<std::string>& w) {
  if (w.size() < 2) return Error("record needs a type");
  const auto type = Integer(w[1], 0, 255);
  if (!type) return Error("bad record type: " + w[1]);
  std::vector<uint8_t> r(kT7RecordSize, 0);
  r[0] = r[1] = 0xFF;
  r[2] = static_cast<uint8_t>(*type);
  for (std::size_t i = 2; i < w.size(); ++i) {
    const auto eq = w[i].find('=');
    const auto offset = Integer(w[i].substr(0, eq), 0, kT7RecordSize - 1);
    const auto bytes = eq == std::string::npos ? std::nullopt : ParseHex(w[i].substr(eq + 1), ":-.");
    if (!offset || !bytes || *offset + bytes->size() > kT7RecordSize)
      return Error("bad patch: " + w[i]);
    std::copy(bytes->begin(), bytes->end(), r.begin() + *offset);
  }
  return {SendBytes{"record type " + w[1], r}, {}};
}

}  // namespace

Parsed ParseCommand(std::string_view line) {
  const auto w = Words(line);
  if (w.empty() || w[0][0] == '#') return {};
  const std::string& verb = w[0];
  if (verb == "clock") {
    if (w.size() != 2) return Error("clock needs one time");
    const auto t = TimeArgument(w[1]);
    if (!t) return Error("bad time: " + w[1]);
    return {SendBytes{"clock " + FormatTime(*t), Vec(BuildClockRecord(*t))}, {}};
  }
  if (verb == "close") return {SendBytes{"close", Vec(BuildCloseRecord())}, {}};
  if (verb == "record") return ParseRecord(w);
  if (verb == "raw") {
    std::string hex;
    for (std::size_t i = 1; i < w.size(); ++i) hex += w[i];
    const auto bytes = ParseHex(hex, ":-.");
    if (!bytes || bytes->empty()) return Error("raw needs hex bytes");
    return {SendBytes{"raw", *bytes}, {}};
  }
  if (verb == "garbage") {
    const auto n = w.size() == 2 ? Integer(w[1], 1, 100'000'000) : std::nullopt;
    if (!n) return Error("garbage needs a byte count");
    std::vector<uint8_t> bytes(static_cast<std::size_t>(*n));
    uint32_t state = 0x12345678u;  // fixed, so runs repeat
    for (auto& b : bytes) {
      state = state * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state >> 24);
    }
    return {SendBytes{"garbage", bytes}, {}};
  }
  if (verb == "chunks") {
    if (w.size() != 2) return Error("chunks needs sizes such as 300,255 or off");
    SetChunks c;
    if (w[1] != "off") {
      std::istringstream in(w[1]);
      for (std::string part; std::getline(in, part, ',');) {
        const auto n = Integer(part, 1, 100'000'000);
        if (!n) return Error("bad chunk size: " + part);
        c.sizes.push_back(static_cast<std::size_t>(*n));
      }
    }
    return {c, {}};
  }
  if (verb == "delay" || verb == "sleep") {
    const auto ms = w.size() == 2 ? Integer(w[1], 0, 3'600'000) : std::nullopt;
    if (!ms) return Error(verb + " needs milliseconds");
    if (verb == "delay") return {SetDelay{static_cast<int>(*ms)}, {}};
    return {Sleep{static_cast<int>(*ms)}, {}};
  }
  if (verb == "wait") {
    const auto n = w.size() == 2 ? Integer(w[1], 0, 1'000'000'000) : std::nullopt;
    if (!n) return Error("wait needs a record count");
    return {WaitRecords{static_cast<int>(*n)}, {}};
  }
  if (verb == "hangup") return {Hangup{false}, {}};
  if (verb == "reset") return {Hangup{true}, {}};
  if (verb == "reading") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return Error("reading needs on or off");
    return {SetReading{w[1] == "on"}, {}};
  }
  if (verb == "quit") return {Quit{}, {}};
  return Error("unknown command: " + verb);
}

std::vector<std::string> SplitScript(std::string_view script) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= script.size()) {
    const auto end = std::min(script.find(';', start), script.size());
    parts.emplace_back(script.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string FormatTime(double stamp) {
  const auto t = DecodeDateTime(stamp);
  if (!t) return "invalid";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t->year, t->month,
                t->day, t->hour, t->minute, t->second, t->millisecond);
  return text;
}

std::string DescribeRecord(const std::vector<uint8_t>& record) {
  char head[40];
  if (!HasT7Marker(record)) {
    std::snprintf(head, sizeof head, "bad-marker %02X%02X", record[0], record[1]);
    return head;
  }
  const uint8_t type = *T7TypeOf(record);
  std::string line = T7TypeName(type);
  switch (static_cast<T7RecordType>(type)) {
    case T7RecordType::Greeting:
      line += " b3=" + std::to_string(record[3]);
      break;
    case T7RecordType::PortNotice:
      line += " port=" + std::to_string(record[3]);
      break;
    case T7RecordType::EventReport: {
      const auto f = *ParseEventReport(record);
      line += " account=" + std::to_string(f.account) + " code=" + f.code +
              " group=" + std::to_string(f.group) + " time=" + FormatTime(f.time);
      break;
    }
    case T7RecordType::StationLost:
    case T7RecordType::StationHeard:
      line += " value=" + std::to_string(*StationNoticeValue(record));
      break;
    case T7RecordType::Clock:
      line += " time=" + FormatTime(*ClockRecordTime(record));
      break;
    case T7RecordType::Close:
      break;
  }
  return line;
}

const char kCommandHelp[] =
    "Commands (one per line on stdin, or ';'-separated in --on-connect):\n"
    "  clock now|nan|<days>|YYYY-MM-DDTHH:MM:SS[.mmm]  send a clock record (type 4)\n"
    "  close                          send a close record (type 17)\n"
    "  record <type> [<off>=<hex>...] send FF FF <type>, zeros, with bytes patched in\n"
    "  raw <hex>                      send these bytes as they are\n"
    "  garbage <n>                    send n pseudo-random bytes\n"
    "  chunks <a,b,...>|off           split later sends into pieces of these sizes\n"
    "  delay <ms>                     pause between pieces (default 20)\n"
    "  sleep <ms>                     pause the script\n"
    "  wait <n>                       pause until n records came on this connection\n"
    "  hangup | reset                 close the connection (orderly | abortive)\n"
    "  reading off|on                 stop | go on reading connections\n"
    "  quit                           end the server\n";

}  // namespace orvelgate::t7server
