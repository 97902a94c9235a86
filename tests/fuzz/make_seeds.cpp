// Writes the seed corpus of the fuzz targets from the unit tests' vectors, in each
// target's input format: `fuzz_make_seeds <tests/fuzz/corpus>` (the target is built on
// demand: ninja fuzz_make_seeds). The files it wrote are committed; run it again when a
// format or a vector changes.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/day_count.h"
#include "events/event_record.h"
#include "framecodec/frame_codec.h"
#include "support/sample_frames.h"
#include "t7link/t7_records.h"
#include "t8link/t8_frames.h"

namespace {

using namespace orvelgate;
using orvelgate::testing::SampleCnFields;
using orvelgate::testing::SampleGbFields;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path folder = g_root / target;
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <typename Range>
void Append(Bytes& to, const Range& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// ---- packet handler: settings, two key bytes, then length-prefixed packets ----------

struct Packets {
  Bytes bytes;
  Packets(uint8_t settings, uint8_t key1 = 0x5A, uint8_t key2 = 0x33) : bytes{settings, key1, key2} {}
  template <typename Range>
  Packets& Add(const Range& packet) {
    bytes.push_back(static_cast<uint8_t>(packet.size()));
    Append(bytes, packet);
    return *this;
  }
};

constexpr uint8_t kSendT8 = 1, kSendT7 = 2, kRepair = 4;
constexpr uint8_t FirstNumberIndex(int i) { return static_cast<uint8_t>(i << 3); }

void PacketHandlerSeeds() {
  const std::string t = "fuzz_packet_handler";
  Write(t, "ascii_example", Packets(kSendT8).Add(EncodeAsciiFrame('1', "0123", "01")).bytes);
  Write(t, "ascii_t7_non_digit_group",
        Packets(kSendT8 | kSendT7).Add(EncodeAsciiFrame('x', "0123", "01")).Add(EncodeAsciiFrame('7', "12a4", "ZZ")).bytes);
  Packets seventeen(kSendT7);
  for (int i = 0; i < 17; ++i) seventeen.Add(EncodeAsciiFrame(static_cast<char>('0' + i % 10), "0001", "AB"));
  Write(t, "ascii_seventeen", seventeen.bytes);

  Write(t, "gb_valid", Packets(kSendT8).Add(EncodeGbFrame(SampleGbFields(), 0x5A)).bytes);
  GbFields zero;
  zero.code = std::string(2, '\0');
  Write(t, "gb_all_zero_no_event", Packets(kSendT8).Add(EncodeGbFrame(zero, 0x00)).bytes);
  GbFrame broken = EncodeGbFrame(SampleGbFields(), 0x5A);
  broken[27] ^= 0x01;
  Write(t, "gb_check_one_off", Packets(kSendT8).Add(broken).bytes);
  GbFields feb30 = SampleGbFields();
  feb30.time = {2010, 2, 30, 1, 2, 3, 0};
  Write(t, "gb_invalid_date", Packets(kSendT8 | FirstNumberIndex(6)).Add(EncodeGbFrame(feb30, 0xC3)).bytes);
  GbFields high = SampleGbFields();
  high.object = 0xFFFF;
  Write(t, "gb_account_wraps", Packets(kSendT8 | FirstNumberIndex(6)).Add(EncodeGbFrame(high, 0xFE)).bytes);

  Write(t, "cn_valid", Packets(kSendT8).Add(EncodeCnFrame(SampleCnFields(), 0x37, false)).bytes);
  Write(t, "cn_no_event", Packets(kSendT8).Add(EncodeCnFrame(SampleCnFields(), 0x37, true)).bytes);
  CnFields badMonth = SampleCnFields();
  badMonth.month = 0x13;
  badMonth.minute = 0x5A;
  badMonth.objectHigh = 0x1A;
  badMonth.objectLow = 0x00;
  Write(t, "cn_month_13_minute_5a", Packets(kSendT8 | FirstNumberIndex(7)).Add(EncodeCnFrame(badMonth, 0x9C, false, 0x5A)).bytes);
  CnFields bigCode = SampleCnFields();
  bigCode.code = 0xFFFF;
  Write(t, "cn_code_ffff", Packets(kSendT8).Add(EncodeCnFrame(bigCode, 0xFF, false, 0xFF)).bytes);

  Packets mixed(kSendT8 | kSendT7 | kRepair, 0xFF, 0x00);
  mixed.Add(Bytes(34, 0x24)).Add(Bytes(20, 0x00)).Add(Bytes{});
  mixed.Add(EncodeGbFrame(SampleGbFields(), 0x11)).Add(EncodeCnFrame(SampleCnFields(), 0x01, false));
  mixed.Add(EncodeAsciiFrame('9', "9999", "99")).Add(Bytes(35, 0xA5)).Add(Bytes(31, 0x5A));
  mixed.Add(Bytes(200, 0x41));
  Write(t, "mixed_lengths_repaired", mixed.bytes);
}

// ---- T7 reassembly: 16-bit headers (0xFFFF connect, 0xFFFE disconnect, n chunk) ----

struct Stream {
  Bytes bytes;
  Stream& Connect() { return Header(0xFFFF); }
  Stream& Disconnect() { return Header(0xFFFE); }
  template <typename Range>
  Stream& Chunk(const Range& data, std::size_t from = 0, std::size_t count = SIZE_MAX) {
    count = std::min(count, data.size() - from);
    Header(static_cast<uint16_t>(count));
    bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(from + count));
    return *this;
  }
  Stream& Header(uint16_t h) {
    bytes.push_back(static_cast<uint8_t>(h));
    bytes.push_back(static_cast<uint8_t>(h >> 8));
    return *this;
  }
};

void T7Seeds() {
  const std::string t = "fuzz_t7_reassembly";
  const DayCount when = *EncodeDateTime({2010, 9, 8, 12, 34, 56, 0});
  const T7Record clock = BuildClockRecord(when);
  const T7Record close = BuildCloseRecord();
  Write(t, "clock_whole", Stream().Connect().Chunk(clock).bytes);
  Write(t, "close_in_two_chunks", Stream().Connect().Chunk(close, 0, 100).Chunk(close, 100).bytes);

  T7Record unmarked = BuildGreetingRecord();
  unmarked[0] = 0xFE;
  Bytes two(unmarked.begin(), unmarked.end());
  Append(two, BuildEventReport(40123, "01", 1, when));
  Write(t, "unmarked_then_report_split", Stream().Connect().Chunk(two, 0, 554).Chunk(two, 554, 2).Chunk(two, 556).bytes);

  Write(t, "partial_dropped_by_reconnect",
        Stream().Connect().Chunk(clock, 0, 300).Disconnect().Connect().Chunk(close).bytes);

  Bytes many;
  for (int i = 0; i < 17; ++i) Append(many, *BuildStationNotice(i % 2 ? 'H' : 'I'));
  Write(t, "seventeen_records_counter_wraps", Stream().Connect().Chunk(many).bytes);

  T7Record badClock = BuildClockRecord(1e300);
  Write(t, "clock_out_of_range", Stream().Connect().Chunk(badClock).Chunk(BuildClockRecord(-693594.5)).bytes);
}

// ---- packet assembly: timeout, speed, then operations -------------------------------

struct Serial {
  Bytes bytes;
  Serial(uint8_t timeout, uint8_t speed) : bytes{timeout, speed} {}
  template <typename Range>
  Serial& Arrive(const Range& data, std::size_t from = 0, std::size_t count = SIZE_MAX) {
    count = std::min(count, data.size() - from);
    while (count > 0) {
      const std::size_t n = std::min<std::size_t>(count, 64);
      bytes.push_back(static_cast<uint8_t>(n - 1));
      bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                   data.begin() + static_cast<std::ptrdiff_t>(from + n));
      from += n;
      count -= n;
    }
    return *this;
  }
  Serial& Wait(uint8_t ms) { return Op(static_cast<uint8_t>(0x40 | (ms & 0x3F))); }
  Serial& LongWait(uint8_t units) { return Op(static_cast<uint8_t>(0x80 | (units & 0x3F))); }
  Serial& ShortReads(uint8_t n) { return Op(static_cast<uint8_t>(0xC0 | (n & 0x3F))); }
  Serial& Op(uint8_t op) {
    bytes.push_back(op);
    return *this;
  }
};

void PacketAssemblySeeds() {
  const std::string t = "fuzz_packet_assembly";
  constexpr uint8_t k9600 = 6, k2400 = 4, k115200 = 12;  // index - 1 of the speed table
  const GbFrame gb = EncodeGbFrame(SampleGbFields(), 0x5A);
  const CnFrame cn = EncodeCnFrame(SampleCnFields(), 0x37, false);
  const AsciiFrame ascii = EncodeAsciiFrame('1', "0123", "01");
  Write(t, "gb_whole", Serial(70, k9600).Arrive(gb).Wait(5).bytes);
  Write(t, "gb_in_pieces_at_2400", Serial(70, k2400).Arrive(gb, 0, 10).Wait(40).Arrive(gb, 10, 10)
                                       .Wait(40).Arrive(gb, 20).Wait(40).Wait(5).bytes);
  Write(t, "cn_then_pause", Serial(70, k9600).Arrive(cn).Wait(5).LongWait(6).Wait(5).bytes);
  Write(t, "ascii_then_pause", Serial(70, k9600).Arrive(ascii).Wait(5).Wait(60).Wait(20).bytes);
  Bytes three;
  for (int i = 0; i < 3; ++i) Append(three, gb);
  Append(three, ascii);
  Write(t, "three_gb_and_ascii_at_once", Serial(10, k115200).Arrive(three).Wait(5).Wait(20).Wait(20).bytes);
  Write(t, "short_reads", Serial(70, k9600).Arrive(three).ShortReads(3).Wait(5).LongWait(8).bytes);
}

// ---- T8 replies: limits, script length, script, then the server's bytes -------------

Bytes T8Frame(int32_t type, uint64_t sequence, const Bytes& payload, uint8_t marker = 0xFF) {
  Bytes frame = FrameMessage(*BuildMessage(type, sequence, payload));
  frame[0] = marker;
  return frame;
}

Bytes T8Input(uint8_t limits, const Bytes& script, const std::vector<Bytes>& frames) {
  Bytes in{limits, static_cast<uint8_t>(script.size())};
  Append(in, script);
  for (const auto& f : frames) Append(in, f);
  return in;
}

Bytes HeaderAnnouncing(int32_t length, uint8_t marker = 0xFF) {
  Bytes header(21, 0);
  header[0] = marker;
  for (int i = 0; i < 4; ++i) {
    header[5 + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
    header[17 + i] = header[5 + i];
  }
  return header;
}

void T8Seeds() {
  const std::string t = "fuzz_t8_reply";
  const Bytes ack = T8Frame(T8Type::EventAck, 5, {});
  const Bytes poll = T8Frame(T8Type::Poll, 0, {}, 0xF0);
  const Bytes login = T8Frame(T8Type::LoginAccepted, 1, {0x17, 0x00});
  const Bytes query = T8Frame(T8Type::ServerQuery, 2, Bytes(40, 0x33));
  const Bytes order = T8Frame(T8Type::DisconnectOrder, 3, {});
  Write(t, "replies_in_a_row", T8Input(0, {}, {login, poll, ack, query, order}));
  Write(t, "reply_in_small_requests_with_pauses", T8Input(1, {0, 1 | (3 << 2), 0, 1}, {ack, poll}));
  Write(t, "bad_lengths", T8Input(0, {}, {HeaderAnnouncing(-1), HeaderAnnouncing(kT8MaxMessageLength + 1),
                                          HeaderAnnouncing(INT32_MIN), ack}));
  Write(t, "zero_length_and_wrong_marker", T8Input(0, {}, {HeaderAnnouncing(0), T8Frame(T8Type::EventAck, 1, {}, 0x00), ack}));
  Bytes cut = query;
  cut.resize(30);
  Write(t, "frame_cut_by_close", T8Input(0, {}, {ack, cut}));
  Write(t, "header_in_part_then_failure", T8Input(0, {2 | (10 << 2)}, {ack}));
  Write(t, "slow_peer_against_the_budget", T8Input(16 | 2, {1 | (1 << 2)}, {query}));
  Write(t, "short_reply_not_a_message", T8Input(12, {}, {HeaderAnnouncing(1), Bytes{0xFF}, ack}));
}

// ---- spool re-send: flags, refusals, then entries (shape, length, contents) ---------

struct Spool {
  Bytes bytes;
  Spool(uint8_t flags, uint8_t refusals) : bytes{flags, refusals} {}
  // shape: name length in bits 0-3 (the name's characters follow), .ddk bit 4, "_-1"
  // bit 5, added late bit 6, folder bit 7.
  Spool& Entry(uint8_t shape, std::string_view nameChars, const Bytes& contents = {}) {
    bytes.push_back(static_cast<uint8_t>((shape & 0xF0) | (nameChars.size() & 0x0F)));
    bytes.insert(bytes.end(), nameChars.begin(), nameChars.end());
    if (!(shape & 0x80)) {
      bytes.push_back(static_cast<uint8_t>(contents.size()));
      bytes.push_back(static_cast<uint8_t>(contents.size() >> 8));
      Append(bytes, contents);
    }
    return *this;
  }
};

void SpoolSeeds() {
  const std::string t = "fuzz_spool_resend";
  EventRecord event;
  event.Account = 40123;
  event.Group = 1;
  event.Code = "01";
  event.EventTime = *EncodeDateTime({2010, 9, 8, 12, 34, 56, 0});
  Bytes dd8{0x22, 0x00, 0x00, 0x03};
  Append(dd8, event.Serialize());
  const T7Record report = BuildEventReport(40123, "01", 1, event.EventTime);
  const Bytes ddk(report.begin(), report.begin() + kT7EventSpoolSize);
  const T7Record notice = *BuildStationNotice('H');
  const Bytes noticeFile(notice.begin(), notice.end());
  // Names as a SafeLeaf index: 0-9 -> digits, 10-15 -> A-F.
  Write(t, "backlog_of_both_kinds", Spool(0, 0)
                                        .Entry(0x00, "\x05\x02\x06\x05", dd8)
                                        .Entry(0x00, "\x05\x02\x06\x06", dd8)
                                        .Entry(0x10, "\x05\x02\x06\x07", ddk)
                                        .Entry(0x30, "\x05\x02\x06\x08", noticeFile)
                                        .bytes);
  Write(t, "short_and_empty_dd8_set_aside", Spool(0, 0)
                                                .Entry(0x00, "\x01", Bytes{0x22, 0x00, 0x00})
                                                .Entry(0x00, "\x02", {})
                                                .Entry(0x00, "\x03", dd8)
                                                .bytes);
  Write(t, "ring_refuses_then_takes", Spool(0, 0x0B).Entry(0x00, "\x0A", dd8).Entry(0x00, "\x0B", dd8).bytes);
  Write(t, "ring_always_refuses", Spool(0, 0xFF).Entry(0x00, "\x0C", dd8).Entry(0x10, "\x0D", ddk).bytes);
  Bytes longDdk(700, 0x5A);
  Write(t, "long_ddk_and_folders_and_late_files", Spool(1, 0)
                                                      .Entry(0x10, "\x01\x02", longDdk)
                                                      .Entry(0x80, "\x04")
                                                      .Entry(0x90, "\x05")
                                                      .Entry(0x40, "\x06", dd8)
                                                      .Entry(0x50, "\x07", ddk)
                                                      .Entry(0x00, "\x08", dd8)
                                                      .bytes);
}

// ---- INI reader: text, then \0 section \0 key \0 value ------------------------------

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

void IniSeeds() {
  const std::string t = "fuzz_ini_reader";
  Write(t, "full_config", Text(
      "[main]\r\nComPort=COM3\r\nComBaudRate=9600\r\nn_abs=-1\r\nname=-1\r\nFirstNumber=0x10\r\n"
      "PathForSoob=spool/\r\nhost=localhost\r\nNotSendToDiskT8=0\r\nAttention=0:30\r\nLog=0\r\n"
      "SendT7=1\r\nSendT8=1\r\nLogMaxSize=$100000\r\n[ServerHost]\r\nAddress=127.0.0.1\r\n"
      "Port=12543\r\nPacketSize=2000\r\n[ports]\r\nCOM3=/dev/serial/by-id/usb-FTDI_x-if00-port0\r\n"));
  Write(t, "profile_rules", Text(
      "\xEF\xBB\xBF  [ MAIN ]  \n\t comport \t = \" COM4 \"\nFirstNumber = -2147483648\nSendT8=true\n"
      "Attention=24:00:00\n[main]\nComPort=COM9\nhost='x'\n;comment=1\njunk\n=novalue\n[broken\n"));
  Write(t, "attention_ten_hours", Text("[main]\nAttention=10\nComBaudRate=4294967296\nLogMaxSize=0\n"));
  Bytes write = Text("[main]\nComPort = COM255\n[ServerHost]\nPort=1\n");
  for (std::string_view part : {"main", "ComPort", "COM3"}) {
    write.push_back(0);
    Append(write, Text(part));
  }
  Write(t, "write_replaces_in_place", write);
  Bytes add = Text("[ServerHost]\r\nPort=1");
  for (std::string_view part : {"ports", "COM3", "  /dev/ttyUSB0 "}) {
    add.push_back(0);
    Append(add, Text(part));
  }
  Write(t, "write_adds_a_section_quoted", add);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  PacketHandlerSeeds();
  T7Seeds();
  PacketAssemblySeeds();
  T8Seeds();
  SpoolSeeds();
  IniSeeds();
  return 0;
}
