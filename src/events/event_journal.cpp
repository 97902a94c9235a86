#include "events/event_journal.h"

#include <algorithm>
#include <array>
#include <utility>

#include "common/le_bytes.h"

namespace orvelgate {
namespace {

enum class RecordKind : uint8_t { Add = 0xA1, Retire = 0xA2 };

// CRC-32 as in zlib and Ethernet (reflected polynomial 0xEDB88320).
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
  static constexpr auto table = MakeCrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (const uint8_t b : bytes) crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

//   Journal record, little-endian
//   offset  size  field
//   0       1     kind: 0xA1 ADD, 0xA2 RETIRE
//   1       4     payload length n: at most kMaxJournalPayload, 0 for RETIRE
//   5       8     entry id
//   13      n     payload, opaque to the journal (ADD only)
//   13+n    4     CRC-32 of bytes 0 .. 12+n
constexpr std::size_t kHeaderSize = 13;
static_assert(JournalRecordSize(0) == kHeaderSize + 4);

struct Record {
  RecordKind kind = RecordKind::Add;
  uint64_t id = 0;
  std::span<const uint8_t> payload;
  std::size_t size = 0;
};

void AppendRecord(std::vector<uint8_t>& out, RecordKind kind, uint64_t id,
                  std::span<const uint8_t> payload) {
  const std::size_t start = out.size();
  const std::size_t n = payload.size();
  out.resize(start + JournalRecordSize(n));
  const auto record = std::span(out).subspan(start);
  LeWriter writer(record);
  writer.U8(0, static_cast<uint8_t>(kind));
  writer.U32(1, static_cast<uint32_t>(n));
  writer.U64(5, id);
  writer.Bytes(kHeaderSize, payload);
  writer.U32(kHeaderSize + n, Crc32(record.first(kHeaderSize + n)));
}

bool KnownKind(uint8_t kind) {
  return kind == uint8_t(RecordKind::Add) || kind == uint8_t(RecordKind::Retire);
}

// The record at the start of `bytes`, or nullopt with the reason in `fault`.
std::optional<Record> ReadRecord(std::span<const uint8_t> bytes, RecordFault& fault) {
  const LeReader reader(bytes);
  const auto kind = reader.U8(0);
  const auto length = reader.U32(1);
  const auto id = reader.U64(5);
  if (kind && !KnownKind(*kind)) {
    fault = RecordFault::UnknownKind;
    return std::nullopt;
  }
  if (!kind || !length || !id) {
    fault = RecordFault::Short;
    return std::nullopt;
  }
  const bool retire = *kind == uint8_t(RecordKind::Retire);
  if (*length > kMaxJournalPayload || (retire && *length != 0)) {
    fault = RecordFault::BadLength;
    return std::nullopt;
  }
  const std::size_t n = *length;
  const auto payload = reader.Bytes(kHeaderSize, n);
  const auto crc = reader.U32(kHeaderSize + n);
  if (!payload || !crc) {
    fault = RecordFault::Short;
    return std::nullopt;
  }
  if (*crc != Crc32(bytes.first(kHeaderSize + n))) {
    fault = RecordFault::BadChecksum;
    return std::nullopt;
  }
  return Record{RecordKind(*kind), *id, *payload, JournalRecordSize(n)};
}

// Where the next good record after damage begins; the end of the file when none does.
std::size_t NextGoodRecord(std::span<const uint8_t> file, std::size_t from) {
  RecordFault ignored{};
  for (std::size_t offset = from; offset < file.size(); ++offset)
    if (ReadRecord(file.subspan(offset), ignored)) return offset;
  return file.size();
}

}  // namespace

std::string_view Describe(RecordFault fault) {
  switch (fault) {
    case RecordFault::Short: return "record cut short";
    case RecordFault::UnknownKind: return "unknown record kind";
    case RecordFault::BadLength: return "impossible payload length";
    case RecordFault::BadChecksum: return "checksum mismatch";
  }
  return "unknown fault";
}

EventJournal::EventJournal(std::unique_ptr<JournalStorage> storage, JournalOptions options)
    : storage_(std::move(storage)), options_(options) {}

JournalOpening EventJournal::Open(std::unique_ptr<JournalStorage> storage,
                                  JournalOptions options) {
  JournalOpening opening;
  std::vector<uint8_t> file;
  opening.status = storage->Open(file);
  if (opening.status && opening.status->error == kJournalNotAFile) {
    // A folder (or a FIFO, a device) in the journal's place: moved away, never removed.
    const std::optional<Failure> moved = storage->KeepAside(opening.recovery.setAside);
    if (moved.has_value()) {
      opening.status->text += "; " + moved->Describe();
      return opening;
    }
    opening.status = storage->Open(file);
  }
  if (opening.status.has_value()) return opening;
  std::unique_ptr<EventJournal> journal(new EventJournal(std::move(storage), options));
  journal->Recover(file, opening.recovery);
  if (Damaged(file, opening.recovery)) {
    opening.status = journal->StartAfresh(opening.recovery.setAside);
    if (opening.status.has_value()) return opening;
  } else {
    opening.recovery.tidy = journal->Tidy(opening.recovery);
  }
  opening.journal = std::move(journal);
  return opening;
}

// Keeps the damaged file under its new name, then puts the recovered entries in a fresh
// file in its place. Until that is done the damaged file may not be written to: it is
// the very file kept aside.
std::optional<Failure> EventJournal::StartAfresh(std::string& aside) {
  std::lock_guard commitLock(commitMutex_);
  const std::optional<Failure> kept = storage_->KeepAside(aside);
  if (kept.has_value()) return Failure::Wrap("damaged, and it could not be kept aside", *kept);
  const std::optional<Failure> fresh = Compact();
  if (fresh.has_value()) return Failure::Wrap("damaged, kept as " + aside + ", but no fresh file", *fresh);
  return {};
}

// Whether the file holds bad bytes that a torn write of the journal's own cannot explain.
bool EventJournal::Damaged(std::span<const uint8_t> file, const JournalRecovery& recovery) {
  if (!recovery.skipped.empty()) return true;
  if (!recovery.droppedTail) return false;
  const auto tail = file.subspan(recovery.droppedTail->offset);
  if (tail.size() > JournalRecordSize(kMaxJournalPayload)) return true;
  // A torn append starts as a record does; or the file grew before its data came (zeros).
  if (KnownKind(tail[0])) return false;
  return std::any_of(tail.begin(), tail.end(), [](uint8_t b) { return b != 0; });
}

// Reads every good record; bad bytes are passed over up to the next good record, so
// that damage in the middle costs only the records it hit.
void EventJournal::Recover(std::span<const uint8_t> file, JournalRecovery& recovery) {
  uint64_t maxId = 0;
  std::size_t offset = 0;
  while (offset < file.size()) {
    RecordFault fault{};
    const auto record = ReadRecord(file.subspan(offset), fault);
    if (!record) {
      const std::size_t next = NextGoodRecord(file, offset + 1);
      const JournalDamage damage{offset, next - offset, fault};
      if (next == file.size()) recovery.droppedTail = damage;
      else recovery.skipped.push_back(damage);
      offset = next;
      continue;
    }
    ++recovery.records;
    maxId = std::max(maxId, record->id);
    if (record->kind == RecordKind::Add) {
      if (live_.try_emplace(record->id, record->payload.begin(), record->payload.end()).second)
        liveBytes_ += record->size;
    } else {
      DropLive(record->id);
    }
    offset += record->size;
    fileBytes_ = offset;
  }
  nextId_ = maxId + 1;
  takenThrough_ = maxId;
  for (const auto& [id, payload] : live_) recovery.entries.push_back({id, payload});
}

std::optional<Failure> EventJournal::Tidy(const JournalRecovery& recovery) {
  std::lock_guard commitLock(commitMutex_);
  bool rewrite = false;
  {
    std::lock_guard lock(mutex_);
    rewrite = CompactionDue();
  }
  if (rewrite) {
    const std::optional<Failure> rewritten = Compact();
    if (!rewritten.has_value() || !recovery.droppedTail) return rewritten;
  }
  if (!recovery.droppedTail) return {};
  std::optional<Failure> cut = storage_->Truncate(fileBytes_);
  tailDirty_ = cut.has_value();
  return cut;
}

std::optional<uint64_t> EventJournal::Add(std::span<const uint8_t> payload) {
  if (payload.size() > kMaxJournalPayload) return std::nullopt;
  std::lock_guard lock(mutex_);
  const uint64_t id = nextId_++;
  AppendRecord(batch_.bytes, RecordKind::Add, id, payload);
  batch_.added.push_back(id);
  live_.emplace(id, std::vector<uint8_t>(payload.begin(), payload.end()));
  liveBytes_ += JournalRecordSize(payload.size());
  return id;
}

bool EventJournal::Retire(uint64_t id) {
  std::lock_guard lock(mutex_);
  if (!DropLive(id)) return false;
  QueueRetirement(id);
  return true;
}

bool EventJournal::DropLive(uint64_t id) {
  const auto it = live_.find(id);
  if (it == live_.end()) return false;
  liveBytes_ -= JournalRecordSize(it->second.size());
  live_.erase(it);
  return true;
}

void EventJournal::QueueRetirement(uint64_t id) {
  AppendRecord(batch_.bytes, RecordKind::Retire, id, {});
  batch_.retired.push_back(id);
}

CommitResult EventJournal::Commit() {
  std::lock_guard commitLock(commitMutex_);
  const Batch batch = TakeBatch();
  CommitResult result;
  result.ids = batch.added;
  result.records = batch.added.size() + batch.retired.size();
  if (batch.bytes.empty()) return result;
  result.status = WriteAndSync(batch.bytes);
  std::lock_guard lock(mutex_);
  if (!result.status.has_value()) fileBytes_ += batch.bytes.size();
  else Dismiss(batch);
  return result;
}

EventJournal::Batch EventJournal::TakeBatch() {
  std::lock_guard lock(mutex_);
  takenThrough_ = nextId_ - 1;
  return std::exchange(batch_, {});
}

std::optional<Failure> EventJournal::WriteAndSync(std::span<const uint8_t> bytes) {
  if (tailDirty_) {
    std::optional<Failure> cut = storage_->Truncate(fileBytes_);
    if (cut.has_value()) return cut;
    tailDirty_ = false;
  }
  std::optional<Failure> status = storage_->Write(fileBytes_, bytes);
  if (!status.has_value()) status = storage_->Sync();
  // Whatever the failed batch left behind goes, so that the next batch follows the last
  // good record; a failed cut is tried again before the next write.
  if (status.has_value()) tailDirty_ = storage_->Truncate(fileBytes_).has_value();
  return status;
}

// The failed batch's entries are dropped: their frames go unacknowledged. Its
// retirements of entries already on disk are queued again.
void EventJournal::Dismiss(const Batch& failed) {
  for (const uint64_t id : failed.added) DropLive(id);
  for (const uint64_t id : failed.retired)
    if (!std::binary_search(failed.added.begin(), failed.added.end(), id)) QueueRetirement(id);
}

std::optional<Failure> EventJournal::CompactIfDue() {
  std::lock_guard commitLock(commitMutex_);
  {
    std::lock_guard lock(mutex_);
    if (!CompactionDue()) return {};
  }
  return Compact();
}

bool EventJournal::CompactionDue() const {
  return fileBytes_ >= options_.compactFromBytes &&
         fileBytes_ > (options_.deadPerLive + 1) * liveBytes_;
}

// Entries still in a batch are left to their commit; retirements queued meanwhile are
// appended to the new file by the next commit.
std::optional<Failure> EventJournal::Compact() {
  std::vector<uint8_t> bytes;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, payload] : live_) {
      if (id > takenThrough_) break;
      AppendRecord(bytes, RecordKind::Add, id, payload);
    }
  }
  std::optional<Failure> status = storage_->Replace(bytes);
  if (status.has_value()) return status;
  std::lock_guard lock(mutex_);
  fileBytes_ = bytes.size();
  tailDirty_ = false;
  ++compactions_;
  return status;
}

JournalStats EventJournal::Stats() const {
  std::lock_guard lock(mutex_);
  return {fileBytes_, live_.size(), compactions_};
}

}  // namespace orvelgate
