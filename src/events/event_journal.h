#pragma once
// The event journal: every event the driver is about to acknowledge to the station is
// first put here, on disk and synced, so that an acknowledged event survives a crash or
// a power cut until it is safe elsewhere (delivered and acknowledged by a server, or in
// a synced spool file).
//
// Use. Add() puts an entry into the batch in memory and hands back its id at once;
// Commit() writes the whole batch and syncs once (group commit). Only an entry whose
// batch committed may have its frame acknowledged. Retire() marks an entry safe
// elsewhere; the retirement rides along with the next commit and needs no sync of its
// own (a lost retirement only makes an event go out twice). At start-up Open() hands
// back every entry not retired, in the order added, for the caller to spool.
//
// The file is a sequence of checksummed records (layout in event_journal.cpp), only ever
// appended to, except that a torn last record is cut off at start-up and that
// CompactIfDue() replaces the file by one holding only the live entries once it holds
// mostly dead ones, so the file and the cost of reading it stay bounded.
//
// Damage. The journal never destroys bytes it did not write. A file with any other
// damage (garbage, a foreign file, bit rot in the middle) is kept aside under a new
// name, and a fresh file holding the entries recovered from it takes its place; so is
// a folder or other non-file under the journal's name. While that cannot be done, Open
// fails and nothing may be acknowledged.
//
// A failed write or sync fails that batch only: the bytes it left are cut off again and
// its entries are dropped (their frames are not acknowledged; the station sends them
// again), and the next commit starts from the last good record.
//
// Threads. Add, Retire and Stats only touch memory under a short lock and may be called
// from any thread while Commit or CompactIfDue does the disk work on another; those two
// run one at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.h"

namespace orvelgate {

// The file operations the journal needs. Production uses the POSIX one; tests put a
// recording fake in its place to fail operations and to check their order.
// Each operation gives nullopt when done; otherwise what failed, with its errno, e.g.
// "fdatasync /var/lib/orvelgate/events.journal: No space left on device (errno 28)".
class JournalStorage {
 public:
  virtual ~JournalStorage() = default;
  // Opens the journal file, creating it (durably: its name synced in its folder) when
  // missing, and reads it whole. Fails with kJournalNotAFile when something other than
  // a regular file holds the name.
  virtual std::optional<Failure> Open(std::vector<uint8_t>& contents) = 0;
  // Keeps what holds the journal's name under a new name beside it, durably, never
  // deleting a byte: a file stays the journal until Replace puts a new one in its place;
  // anything else is moved away, so that the next Open makes a fresh file. `aside` is
  // the new name.
  virtual std::optional<Failure> KeepAside(std::string& aside) = 0;
  virtual std::optional<Failure> Write(uint64_t offset, std::span<const uint8_t> bytes) = 0;
  // Makes everything written so far durable, the file's name in its folder included.
  virtual std::optional<Failure> Sync() = 0;
  virtual std::optional<Failure> Truncate(uint64_t size) = 0;
  // Puts a file holding exactly `contents`, synced, in the journal's place and goes on
  // with it. On failure the old file is still the journal. Whether the new name is
  // durable is settled by the next Sync().
  virtual std::optional<Failure> Replace(std::span<const uint8_t> contents) = 0;
};

// Open()'s errno when the journal's name holds a folder, a FIFO or a device.
constexpr int kJournalNotAFile = 21;  // EISDIR

// Temporary file of Replace(): `path` + ".new", overwritten when left from a crash.
// KeepAside() uses `path` + ".damaged-N", the first N from 1 that is free.
std::unique_ptr<JournalStorage> MakePosixJournalStorage(std::string path);

// Payloads are opaque to the journal: the caller puts in what it needs to spool the
// event again (e.g. a kind byte and an 18-byte event record).
constexpr std::size_t kMaxJournalPayload = 64 * 1024;
constexpr std::size_t JournalRecordSize(std::size_t payloadSize) { return 17 + payloadSize; }

struct JournalEntry {
  uint64_t id = 0;
  std::vector<uint8_t> payload;
  bool operator==(const JournalEntry&) const = default;
};

enum class RecordFault { Short, UnknownKind, BadLength, BadChecksum };
std::string_view Describe(RecordFault fault);

// Bytes at `offset` that did not form a good record.
struct JournalDamage {
  uint64_t offset = 0;
  uint64_t length = 0;
  RecordFault fault = RecordFault::Short;
  bool operator==(const JournalDamage&) const = default;
};

struct JournalRecovery {
  std::vector<JournalEntry> entries;  // not retired, in the order added
  std::size_t records = 0;            // good records read
  // Bad bytes at the end of the file: a write of the journal's own torn by a crash (no
  // longer than one record, starting as a record does, or zeros) is cut off; any other
  // counts as damage, like `skipped`.
  std::optional<JournalDamage> droppedTail;
  // Bad bytes with good records after them: passed over.
  std::vector<JournalDamage> skipped;
  // Where the damaged file (or whatever held the journal's name) was kept, when it was:
  // the journal then goes on in a fresh file holding the entries recovered from it.
  std::string setAside;
  // The cut or the rewrite that tidies the file, when it failed (retried later).
  std::optional<Failure> tidy;
};

struct CommitResult {
  std::optional<Failure> status;  // the batch: written and synced, or why not
  std::vector<uint64_t> ids;  // entries added in the batch: on disk, or dropped on failure
  std::size_t records = 0;    // records in the batch, retirements included; 0 = idle
};

struct JournalStats {
  uint64_t fileBytes = 0;
  std::size_t liveEntries = 0;
  uint64_t compactions = 0;
};

struct JournalOptions {
  // The file is rewritten once it has reached compactFromBytes and holds more than
  // deadPerLive dead bytes for each live one. So it stays below
  // max(compactFromBytes, (deadPerLive + 1) * live bytes) plus one batch.
  uint64_t compactFromBytes = 256 * 1024;
  uint64_t deadPerLive = 3;
};

class EventJournal;

struct JournalOpening {
  std::unique_ptr<EventJournal> journal;  // null when the file could not be opened
  std::optional<Failure> status;
  JournalRecovery recovery;
};

class EventJournal {
 public:
  static JournalOpening Open(std::unique_ptr<JournalStorage> storage, JournalOptions options = {});
  static JournalOpening OpenFile(const std::string& path, JournalOptions options = {}) {
    return Open(MakePosixJournalStorage(path), options);
  }

  EventJournal(const EventJournal&) = delete;
  EventJournal& operator=(const EventJournal&) = delete;

  // The new entry's id, greater than every id in the file; nullopt when the payload is
  // larger than kMaxJournalPayload.
  std::optional<uint64_t> Add(std::span<const uint8_t> payload);
  // False (and nothing written) when the id is not live.
  bool Retire(uint64_t id);
  // Writes the batch and syncs once. Nothing pending: no disk access, records == 0.
  CommitResult Commit();
  // Rewrites the file with the live entries when it holds mostly dead ones. Ok when not
  // due; on failure the old file stays in use.
  std::optional<Failure> CompactIfDue();

  JournalStats Stats() const;

 private:
  struct Batch {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> added;
    std::vector<uint64_t> retired;
  };

  EventJournal(std::unique_ptr<JournalStorage> storage, JournalOptions options);
  void Recover(std::span<const uint8_t> file, JournalRecovery& recovery);
  static bool Damaged(std::span<const uint8_t> file, const JournalRecovery& recovery);
  std::optional<Failure> StartAfresh(std::string& aside);
  std::optional<Failure> Tidy(const JournalRecovery& recovery);
  Batch TakeBatch();
  std::optional<Failure> WriteAndSync(std::span<const uint8_t> bytes);
  void Dismiss(const Batch& failed);
  bool DropLive(uint64_t id);
  void QueueRetirement(uint64_t id);
  bool CompactionDue() const;
  std::optional<Failure> Compact();

  const std::unique_ptr<JournalStorage> storage_;
  const JournalOptions options_;
  std::mutex commitMutex_;  // one Commit or CompactIfDue at a time

  // Under mutex_, never held across a file operation.
  mutable std::mutex mutex_;
  std::map<uint64_t, std::vector<uint8_t>> live_;  // ids grow in the order added
  uint64_t liveBytes_ = 0;                         // their ADD records' size
  uint64_t nextId_ = 1;
  uint64_t takenThrough_ = 0;  // every id up to here went into a commit
  Batch batch_;
  uint64_t fileBytes_ = 0;  // end of the last good record; changed under both locks
  uint64_t compactions_ = 0;

  // Under commitMutex_ only.
  bool tailDirty_ = false;  // the file may hold bytes past fileBytes_ (a failed batch)
};

}  // namespace orvelgate
