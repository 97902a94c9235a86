#include "events/spool_store.h"

#include <array>
#include <cerrno>

#include "common/error_log.h"
#include "common/le_bytes.h"
#include "common/wire_constants.h"
#include "events/spool_name.h"

namespace orvelgate {
namespace {

constexpr std::string_view kT8Extension = ".dd8";
constexpr std::string_view kT7Extension = ".ddk";
constexpr std::string_view kSetAsideTail = ".bad";
// Names tried for one file before giving up: far more than events in one millisecond.
constexpr uint32_t kMaxNameClashes = 1000;
// Written when the clock gives no usable time, so that the event is still kept.
constexpr const char* kFallbackStem = "0";

bool EndsWith(std::string_view s, std::string_view end) {
  return s.size() >= end.size() && s.substr(s.size() - end.size()) == end;
}

}  // namespace

SpoolStore::SpoolStore(Options options, const Clock& clock)
    : options_(std::move(options)),
      clock_(clock),
      writeFailures_("spool files in " + (options_.spoolPrefix.empty() ? std::string(".")
                                                                       : options_.spoolPrefix),
                     clock, Severity::kError) {
  const auto slash = options_.spoolPrefix.rfind('/');
  const std::size_t split = slash == std::string::npos ? 0 : slash + 1;
  folderPart_ = options_.spoolPrefix.substr(0, split);
  namePrefix_ = options_.spoolPrefix.substr(split);
  Rescan();
}

std::optional<SpoolKind> SpoolStore::KindOf(std::string_view leaf) const {
  if (leaf.size() < namePrefix_.size() + kT8Extension.size() || !leaf.starts_with(namePrefix_))
    return std::nullopt;
  if (EndsWith(leaf, kT8Extension)) return SpoolKind::T8;
  if (EndsWith(leaf, kT7Extension)) return SpoolKind::T7;
  return std::nullopt;
}

std::optional<std::string> SpoolStore::WriteEventFile(const EventRecord::Bytes& record) {
  return WriteT8File(kT8EventMessageType, record);
}

std::optional<std::string> SpoolStore::WriteT8File(int32_t type, std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes(4 + payload.size());
  LeWriter out(bytes);
  out.I32(0, type);
  out.Bytes(4, payload);
  return Write(bytes, std::string(kT8Extension));
}

std::optional<std::string> SpoolStore::WriteT7EventFile(std::span<const uint8_t> report) {
  if (report.size() < kT7EventSpoolSize) return std::nullopt;
  return Write(report.first(kT7EventSpoolSize), std::string(kT7Extension));
}

std::optional<std::string> SpoolStore::WriteNoticeFile(std::span<const uint8_t> record,
                                                       int32_t noticeFileNumber) {
  return Write(record, "_" + std::to_string(noticeFileNumber) + std::string(kT7Extension));
}

std::optional<std::string> SpoolStore::Write(std::span<const uint8_t> bytes,
                                             const std::string& tail) {
  const std::string stem = SpoolName(clock_.LocalNow(), options_.errorLog).value_or(kFallbackStem);
  const auto kind = KindOf(namePrefix_ + stem + tail);
  if (!kind) return std::nullopt;
  const auto written = WriteTempFile(folderPart_, bytes);
  if (const Failure* failure = std::get_if<Failure>(&written)) {
    writeFailures_.Fail(*failure);
    return std::nullopt;
  }
  const TempFile& temp = std::get<TempFile>(written);
  const auto name = Publish(temp.path, stem, tail);
  if (!name) return std::nullopt;
  writeFailures_.Succeed();
  std::lock_guard lock(mutex_);
  stuck_.erase(*name);
  Insert(*kind, *name, temp.mtimeNs);
  return name;
}

// Renames the temporary file to the first free spool name and makes that name durable.
std::optional<std::string> SpoolStore::Publish(const std::string& tempPath, const std::string& stem,
                                               const std::string& tail) {
  for (uint32_t k = 0; k < kMaxNameClashes; ++k) {
    const std::string name = options_.spoolPrefix + ComposeSpoolLeaf(stem, k, tail);
    const PublishResult result = RenameNoReplace(tempPath, name);
    if (result == PublishResult::Exists) continue;
    if (result == PublishResult::Failed) {
      writeFailures_.Fail(Failure::FromErrno(errno, "rename to " + name));
      break;
    }
    if (const auto failure = options_.syncFolder(folderPart_)) {
      // Not durable, so its entry may not retire: the event is written again later.
      writeFailures_.Fail(*failure);
      DiscardFile(name);
      return std::nullopt;
    }
    return name;
  }
  DiscardFile(tempPath);
  return std::nullopt;
}

void SpoolStore::Insert(SpoolKind kind, const std::string& fullName, int64_t mtimeNs) {
  Index& index = IndexOf(kind);
  if (index.byName.contains(fullName)) return;
  SpoolLeafParts parts = ParseSpoolLeaf(std::string_view(fullName).substr(options_.spoolPrefix.size()));
  const std::size_t stemLength = parts.stem.size();
  const auto [it, inserted] =
      index.ordered.insert(Entry{mtimeNs, stemLength, std::move(parts.stem), parts.k, fullName});
  if (inserted) index.byName.emplace(fullName, it);
}

void SpoolStore::EraseLocked(const std::string& fullName) {
  for (Index* index : {&t8_, &t7_}) {
    const auto found = index->byName.find(fullName);
    if (found == index->byName.end()) continue;
    index->ordered.erase(found->second);
    index->byName.erase(found);
  }
}

void SpoolStore::ScanLocked(SpoolKind kind) {
  Index& index = IndexOf(kind);
  index.ordered.clear();
  index.byName.clear();
  const auto files = ListFiles(folderPart_, [&](std::string_view leaf) {
    if (KindOf(leaf) != kind) return false;
    return stuck_.empty() || !stuck_.contains(folderPart_ + std::string(leaf));
  });
  for (const ListedFile& file : files) Insert(kind, folderPart_ + file.leaf, file.mtimeNs);
  index.lastScanTick = clock_.TickMs();
}

void SpoolStore::Rescan() {
  std::lock_guard lock(mutex_);
  ScanLocked(SpoolKind::T8);
  ScanLocked(SpoolKind::T7);
}

std::optional<std::string> SpoolStore::Oldest(SpoolKind kind) {
  auto names = OldestFirst(kind, 1);
  if (names.empty()) return std::nullopt;
  return std::move(names.front());
}

std::vector<std::string> SpoolStore::OldestFirst(SpoolKind kind, std::size_t count) {
  std::lock_guard lock(mutex_);
  Index& index = IndexOf(kind);
  if (index.ordered.empty() &&
      ElapsedMs(clock_.TickMs(), index.lastScanTick) >= options_.rescanIntervalMs)
    ScanLocked(kind);
  std::vector<std::string> names;
  for (auto it = index.ordered.begin(); it != index.ordered.end() && names.size() < count; ++it)
    names.push_back(it->name);
  return names;
}

std::size_t SpoolStore::Count(SpoolKind kind) const {
  std::lock_guard lock(mutex_);
  return IndexOf(kind).ordered.size();
}

SpoolBacklog SpoolStore::Backlog(SpoolKind kind) const {
  std::lock_guard lock(mutex_);
  const Index& index = IndexOf(kind);
  if (index.ordered.empty()) return {};
  return {index.ordered.size(), index.ordered.begin()->mtimeNs};
}

SpoolRead SpoolStore::Read(const std::string& fullName, std::size_t maxBytes) const {
  return ReadFileStart(fullName, maxBytes);
}

bool SpoolStore::Remove(const std::string& fullName) {
  std::lock_guard lock(mutex_);
  const RemoveResult result = RemoveFile(fullName);
  EraseLocked(fullName);
  if (result == RemoveResult::Failed) stuck_.insert(fullName);
  return result != RemoveResult::Missing;
}

void SpoolStore::Forget(const std::string& fullName) {
  std::lock_guard lock(mutex_);
  EraseLocked(fullName);
}

void SpoolStore::SetAside(const std::string& fullName, int errorNumber) {
  {
    std::lock_guard lock(mutex_);
    PublishResult result = PublishResult::Failed;
    for (uint32_t k = 0; k < kMaxNameClashes; ++k) {
      const std::string aside =
          fullName + (k > 0 ? "-" + std::to_string(k) : std::string()) + std::string(kSetAsideTail);
      result = RenameNoReplace(fullName, aside);
      if (result != PublishResult::Exists) break;
    }
    EraseLocked(fullName);
    if (result != PublishResult::Done) stuck_.insert(fullName);
  }
  LogError(errorNumber, options_.errorLog);
}

std::size_t SpoolStore::RemoveLeftoverTemporaries() {
  const auto leftovers = ListFiles(folderPart_, [](std::string_view leaf) {
    return leaf.starts_with(kTempSpoolPrefix);
  });
  std::size_t removed = 0;
  for (const ListedFile& file : leftovers) {
    if (file.regular && RemoveFile(folderPart_ + file.leaf) == RemoveResult::Removed) ++removed;
  }
  if (removed > 0) options_.syncFolder(folderPart_);
  return removed;
}

}  // namespace orvelgate
