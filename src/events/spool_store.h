#pragma once
// The spool folder: files that hold what a server link could not take at once.
//
// Location. SpoolPrefix is a plain prefix of every name ("" = current directory,
// "spool/" = the folder spool, "spool" = names beginning with "spool" in the current
// directory). T8 files match SpoolPrefix + "*.dd8", T7 files SpoolPrefix + "*.ddk".
//
// Writing is whole or absent: the bytes go to a temporary file in the same folder
// (".orvelgate-spool-XXXXXX", which neither search matches), are flushed to disk, and
// the file is then renamed to its final name without replacing anything (see
// spool_name.h for the "-k" added on a clash). A crash at any moment leaves either the
// complete file or none; an interrupted temporary file stays behind unmatched. A
// missing spool folder is made.
//
// Index. After a long outage the folder may hold 100 000 files, and the re-send runs
// every 200 ms, so the folder is not listed per tick. The store keeps, per kind, the
// names in the folder ordered oldest first (modification time, then the hex stem as a
// number, then "-k", then the name). It is built by one scan when the store is made, kept current by the
// store's own writes and deletions, and a kind is scanned again only when its index
// has run empty and the last scan of that kind is at least `rescanIntervalMs` old, so
// files that someone else puts into the folder are picked up within that interval
// once the backlog is through. A file that someone else removed is dropped from the
// index when the re-send finds it gone.
//
// Bad files. A spool file that cannot be read (or is not usable, see the re-send) is
// renamed to its name + ".bad" (name + "-k.bad" when that is taken), which no search
// matches, so it is kept for inspection and the backlog moves on; error 12 goes to the
// error log (error 13 for a .dd8 the server keeps answering otherwise, see the
// re-send). Entries are taken as they are, never through a link: a link, FIFO, folder
// or device under a spool name is indexed like a file, cannot be read (see
// ReadFileStart) and is set aside by renaming the entry itself, so nothing outside the
// folder is ever read, renamed or deleted. A file that can be neither deleted nor set aside (a read-only folder) is
// left out of the index for the rest of the run, so it cannot stall the backlog.
//
// Durability: Write returns a name only once the file's data and its name in the folder
// are synced, since its caller then retires the event's journal entry. A failed folder
// sync fails the write (the file is removed again); the entry stays live. A deletion or
// a set-aside needs no sync: one that a power cut undoes brings back a file that was
// already delivered, which goes out again as a duplicate, never a loss.
//
// Threads: the UI thread writes and re-sends; the T8 worker deletes the acknowledged
// file. One mutex guards the index; the methods may be called from either thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/error_log.h"
#include "common/clock.h"
#include "common/diagnostics.h"
#include "events/event_record.h"
#include "events/spool_files.h"

namespace orvelgate {

// Error-log number written when a spool file is set aside as unusable.
constexpr int kSpoolSetAsideError = 12;
// Error-log number written when a .dd8 is set aside because the server keeps answering
// its message with something other than an EventAck.
constexpr int kSpoolNeverAcknowledgedError = 13;

enum class SpoolKind { T8, T7 };  // .dd8 and .ddk

// How much of a kind waits: for the window, the systemd journal and whoever watches the driver.
struct SpoolBacklog {
  std::size_t Files = 0;
  int64_t OldestModifiedNs = 0;  // the oldest file's modification time, ns since 1970; 0: none

  // How long the oldest file has waited at `nowNs` (ns since 1970); 0 when none.
  int64_t OldestAgeMs(int64_t nowNs) const {
    if (Files == 0 || nowNs <= OldestModifiedNs) return 0;
    return (nowNs - OldestModifiedNs) / 1000000;
  }
};

//   Event spool file (.dd8), little-endian
//   offset size content
//   0      4    T8 message type, kT8EventMessageType (bytes 22 00 00 03)
//   4      18   the event record
constexpr std::size_t kEventSpoolFileSize = 4 + EventRecord::kSize;
static_assert(kEventSpoolFileSize == 22);

class SpoolStore {
 public:
  struct Options {
    std::string spoolPrefix;
    std::string errorLog = kErrorLogName;
    uint32_t rescanIntervalMs = 60000;
    // Makes a folder's names durable; the tests put a failing one in its place.
    std::function<std::optional<Failure>(const std::string&)> syncFolder = SyncFolder;
  };

  // Scans the folder once. `clock` names the files and paces the rescans.
  SpoolStore(Options options, const Clock& clock);
  SpoolStore(const SpoolStore&) = delete;
  SpoolStore& operator=(const SpoolStore&) = delete;

  const std::string& SpoolPrefix() const { return options_.spoolPrefix; }

  // Each returns the full name (SpoolPrefix + file name) of the file written, durable
  // (its data and its name synced), or nullopt when it could not be written: then
  // nothing is left under a spool name, and the failure goes to the journal once, with a
  // line a minute while it lasts and one when writes work again.
  std::optional<std::string> WriteEventFile(const EventRecord::Bytes& record);
  // A .dd8 file of any T8 message: its type, then its payload.
  std::optional<std::string> WriteT8File(int32_t type, std::span<const uint8_t> payload);
  std::optional<std::string> WriteT7EventFile(std::span<const uint8_t> report);
  std::optional<std::string> WriteNoticeFile(std::span<const uint8_t> record, int32_t noticeFileNumber);
  // Writes `bytes` under stem + tail; the three above are this with their contents.
  std::optional<std::string> Write(std::span<const uint8_t> bytes, const std::string& tail);

  // The oldest file of a kind by the index (full name), or nullopt when there is none.
  std::optional<std::string> Oldest(SpoolKind kind);
  // The oldest `count` files of a kind, oldest first (fewer when fewer wait).
  std::vector<std::string> OldestFirst(SpoolKind kind, std::size_t count);
  std::size_t Count(SpoolKind kind) const;
  SpoolBacklog Backlog(SpoolKind kind) const;

  // Reads at most `maxBytes` from the start of the file.
  SpoolRead Read(const std::string& fullName, std::size_t maxBytes) const;

  // Deletes the file. True when it is gone now and was there before (also when it
  // could not be deleted: then it is only forgotten, so the backlog does not stall on it).
  bool Remove(const std::string& fullName);
  // Drops a file from the index without touching the folder (it was found gone).
  void Forget(const std::string& fullName);
  // Renames an unusable file to a name no search matches and logs error 12 (or
  // `errorNumber`).
  void SetAside(const std::string& fullName, int errorNumber = kSpoolSetAsideError);
  // Lists the folder again for both kinds.
  void Rescan();
  // Deletes the temporary files that a crash left behind (writes that never reached
  // their spool name). Their events are still in the event journal, which spools them
  // again at start-up, so nothing in them is lost. Returns how many were deleted.
  std::size_t RemoveLeftoverTemporaries();

 private:
  struct Entry {
    int64_t mtimeNs;
    std::size_t stemLength;
    std::string stem;
    uint32_t k;
    std::string name;  // full name
    auto operator<=>(const Entry&) const = default;
  };
  struct Index {
    std::set<Entry> ordered;
    std::unordered_map<std::string, std::set<Entry>::iterator> byName;
    uint32_t lastScanTick = 0;
  };

  std::optional<SpoolKind> KindOf(std::string_view leaf) const;
  std::optional<std::string> Publish(const std::string& tempPath, const std::string& stem,
                                     const std::string& tail);
  Index& IndexOf(SpoolKind kind) { return kind == SpoolKind::T8 ? t8_ : t7_; }
  const Index& IndexOf(SpoolKind kind) const { return kind == SpoolKind::T8 ? t8_ : t7_; }
  void Insert(SpoolKind kind, const std::string& fullName, int64_t mtimeNs);
  void EraseLocked(const std::string& fullName);
  void ScanLocked(SpoolKind kind);

  Options options_;
  const Clock& clock_;
  std::string folderPart_;  // SpoolPrefix up to and including its last '/'
  std::string namePrefix_;  // the rest: every spool file name starts with it
  mutable std::mutex mutex_;
  Index t8_, t7_;
  std::unordered_set<std::string> stuck_;  // could be neither deleted nor set aside
  RepeatedFailure writeFailures_;           // Write's thread only
};

}  // namespace orvelgate
