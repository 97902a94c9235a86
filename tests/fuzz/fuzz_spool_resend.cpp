// Arbitrary spool folders through the spool re-send: files of any name, size and content
// under the .dd8 and .ddk searches, taken by the T8 and T7 re-send steps of the 200 ms
// tick, with a T8 ring that sometimes refuses, a server that acknowledges every event it
// gets, and files that someone else removes or adds while the backlog runs.
//
// Input: a flags byte, a refusal byte, then entries:
//   flags bit 0: files are removed by someone else at the steps the input names
//   refusal: bit i set = the T8 ring refuses the i-th offer (i modulo 8)
//   entry: a shape byte, then (for a file) a 16-bit length and the contents
//     shape bits 0-3: name length (characters taken from the input, made safe)
//     bit 4: .ddk instead of .dd8   bit 5: "_-1" before the extension
//     bit 6: the file appears only after the re-send has started (someone adds it)
//     bit 7: a folder instead of a file (set aside like a file that cannot be read)
//
// Checks, once the backlog has run: every usable .dd8 (4 bytes .. 1 MiB) went to the
// ring exactly once as type + payload and is gone; every .ddk went to the T7 link once
// as its first record's worth of bytes padded with zeros and is gone; an unusable .dd8 is kept as
// "<name>.bad", and so is a folder under a spool name once the re-send reaches it; a
// file another party removed is simply not sent; nothing else left the
// folder, and no temporary file is left behind. With a ring that always refuses, every
// usable .dd8 file is still there (and an unusable one behind it may not be reached).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/wire_constants.h"
#include "events/link_outboxes.h"
#include "events/spool_resender.h"
#include "events/spool_store.h"
#include "fuzz_input.h"
#include "support/fake_clock.h"

namespace orvelgate::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Offer {
  int32_t type;
  Bytes payload;
};

class RecordingT8 final : public T8Outbox {
 public:
  explicit RecordingT8(uint8_t refusals) : refusals_(refusals) {}
  bool LinkUp() const override { return true; }
  bool QueueMessage(int32_t type, std::span<const uint8_t> payload) override {
    const bool refuse = refusals_ & (1u << (offers_++ % 8));
    if (!refuse) accepted.push_back({type, Bytes(payload.begin(), payload.end())});
    return !refuse;
  }
  std::vector<Offer> accepted;

 private:
  uint8_t refusals_;
  unsigned offers_ = 0;
};

class RecordingT7 final : public T7Outbox {
 public:
  bool Connected() const override { return true; }
  void SendRecord(std::span<const uint8_t> record) override {
    FUZZ_CHECK(record.size() == kT7RecordSize);
    sent.emplace_back(record.begin(), record.end());
  }
  std::vector<Bytes> sent;
};

// One folder per fuzzing process, emptied for every input and removed at the end.
const fs::path& Root() {
  static const fs::path root = [] {
    static char folder[] = "/tmp/orvelgate-fuzz-spool-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    static constexpr auto cleanup = [] {
      std::error_code ec;
      fs::remove_all(folder, ec);
    };
    std::atexit(cleanup);
    g_cleanupOnFailure = cleanup;
    return fs::path(folder);
  }();
  return root;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string SafeLeaf(std::span<const uint8_t> raw) {
  static constexpr char kChars[] = "0123456789ABCDEFabcdef-_.x";
  std::string leaf;
  for (uint8_t b : raw) leaf += kChars[b % (sizeof kChars - 1)];
  return leaf;
}

struct Planned {
  std::string leaf;
  Bytes bytes;
  bool t7 = false;
  bool late = false;
  bool folder = false;
};

}  // namespace
}  // namespace orvelgate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelgate;
  using namespace orvelgate::fuzz;

  const fs::path& root = Root();
  const fs::path spool = root / "spool";
  std::error_code ec;
  fs::remove_all(spool, ec);
  fs::create_directory(spool);

  Input in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t refusals = in.Byte();

  std::vector<Planned> plan;
  while (!in.Empty() && plan.size() < 24) {
    const uint8_t shape = in.Byte();
    Planned p;
    p.t7 = shape & 0x10;
    p.late = shape & 0x40;
    p.folder = shape & 0x80;
    p.leaf = SafeLeaf(in.Bytes(shape & 0x0F)) + ((shape & 0x20) ? "_-1" : "") + (p.t7 ? ".ddk" : ".dd8");
    if (p.leaf.starts_with(".") || p.leaf.starts_with("-")) p.leaf = "n" + p.leaf;
    if (!p.folder) {
      const auto bytes = in.Bytes(in.U16() % 2048);
      p.bytes.assign(bytes.begin(), bytes.end());
    }
    plan.push_back(std::move(p));
  }

  // The folder as the re-send should find it: name -> contents (a later entry of the
  // same name replaces the earlier one, as writing it again would).
  std::map<std::string, Bytes> files;
  std::set<std::string> folders;
  auto place = [&](const Planned& p) {
    const fs::path path = spool / p.leaf;
    if (folders.contains(p.leaf) || ((p.folder || p.late) && files.contains(p.leaf))) return;
    if (p.folder) {
      fs::create_directory(path);
      folders.insert(p.leaf);
    } else {
      WriteFile(path, p.bytes);
      files[p.leaf] = p.bytes;
    }
  };
  for (const auto& p : plan)
    if (!p.late) place(p);

  FakeClock clock;
  SpoolStore::Options options;
  options.spoolPrefix = spool.string() + "/";
  options.errorLog = (root / "error.txt").string();
  options.rescanIntervalMs = 0;
  SpoolStore store(options, clock);
  RecordingT8 t8(refusals);
  RecordingT7 t7;
  SpoolResender resender(&t8, &t7, store, clock);

  std::set<std::string> removedByOthers;
  std::map<std::string, std::size_t> t8Sent, t7Sent;  // leaf -> times
  std::vector<std::string> t7Order;
  // Enough for every file to meet eight refusals in a row.
  const std::size_t rounds = plan.size() * 9 + 16;
  for (std::size_t round = 0; round < rounds; ++round) {
    if (round == 1)
      for (const auto& p : plan)
        if (p.late) place(p);
    // Someone else removes the oldest remaining file now and then.
    if ((flags & 1) && round % 3 == 2) {
      for (const auto& [leaf, bytes] : files) {
        if (removedByOthers.contains(leaf) || t8Sent.contains(leaf) || t7Sent.contains(leaf)) continue;
        if (!fs::remove(spool / leaf, ec)) continue;  // already set aside
        removedByOthers.insert(leaf);
        break;
      }
    }

    const std::size_t acceptedBefore = t8.accepted.size();
    resender.ResendT8Step();
    if (t8.accepted.size() > acceptedBefore) {
      FUZZ_CHECK(t8.accepted.size() == acceptedBefore + 1);
      const std::string pending = resender.PendingSpoolFile();
      FUZZ_CHECK(pending.starts_with(options.spoolPrefix));
      const std::string leaf = pending.substr(options.spoolPrefix.size());
      FUZZ_CHECK(files.contains(leaf));
      const Bytes& bytes = files[leaf];
      const Offer& offer = t8.accepted.back();
      FUZZ_CHECK(bytes.size() >= 4);
      FUZZ_CHECK(offer.type == static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                                    static_cast<uint32_t>(bytes[3]) << 24));
      FUZZ_CHECK(Bytes(bytes.begin() + 4, bytes.end()) == offer.payload);
      ++t8Sent[leaf];
      resender.OnEventAck();  // the server acknowledges the event
    }

    const std::size_t sentBefore = t7.sent.size();
    resender.ResendT7Step();
    // Each record is the first kT7RecordSize bytes of one of the .ddk files, padded with zeros.
    for (std::size_t i = sentBefore; i < t7.sent.size(); ++i) {
      const Bytes& record = t7.sent[i];
      std::string match;
      for (const auto& [leaf, bytes] : files) {
        if (!leaf.ends_with(".ddk") || t7Sent.contains(leaf) || removedByOthers.contains(leaf)) continue;
        Bytes expected(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), kT7RecordSize)));
        expected.resize(kT7RecordSize, 0);
        if (expected == record && !fs::exists(spool / leaf)) {
          match = leaf;
          break;
        }
      }
      FUZZ_CHECK(!match.empty());
      ++t7Sent[match];
    }
    clock.Advance(static_cast<uint32_t>(SpoolResender::kT8PacingMs) + 1);
  }

  // What is left in the folder.
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(spool)) left.insert(entry.path().filename().string());

  const bool alwaysRefused = refusals == 0xFF;
  std::set<std::string> expectedLeft;
  for (const std::string& leaf : folders) {
    // Behind a file the ring keeps refusing, the T8 backlog never reaches a folder.
    const bool reached = leaf.ends_with(".ddk") || !alwaysRefused || left.contains(leaf + ".bad");
    expectedLeft.insert(reached ? leaf + ".bad" : leaf);
  }
  for (const auto& [leaf, bytes] : files) {
    if (removedByOthers.contains(leaf)) {
      FUZZ_CHECK(!t8Sent.contains(leaf) && !t7Sent.contains(leaf));
      continue;
    }
    if (leaf.ends_with(".dd8")) {
      const bool usable = bytes.size() >= 4 && bytes.size() <= SpoolResender::kMaxT8SpoolFileBytes;
      if (!usable) {
        FUZZ_CHECK(!t8Sent.contains(leaf));
        // Behind a file the ring keeps refusing, the backlog never reaches it.
        const bool reached = !alwaysRefused || left.contains(leaf + ".bad");
        expectedLeft.insert(reached ? leaf + ".bad" : leaf);
      } else if (alwaysRefused) {
        FUZZ_CHECK(!t8Sent.contains(leaf));
        expectedLeft.insert(leaf);
      } else {
        FUZZ_CHECK(t8Sent[leaf] == 1);
      }
    } else {
      FUZZ_CHECK(t7Sent[leaf] == 1);
    }
  }
  FUZZ_CHECK(left == expectedLeft);
  return 0;
}
