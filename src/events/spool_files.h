#pragma once
// The file operations the spool store needs, kept apart from its index logic.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/diagnostics.h"
#include "common/failure.h"
#include "common/folder_sync.h"

namespace orvelgate {

struct SpoolRead {
  enum Status { Ok, Gone, Unreadable };
  Status status = Gone;
  std::vector<uint8_t> bytes;
  bool truncated = false;  // the file held more than the bytes asked for
};

// A complete file under a temporary name, already flushed to disk.
struct TempFile {
  std::string path;
  int64_t mtimeNs = 0;
};

// The name every temporary spool file starts with.
inline constexpr std::string_view kTempSpoolPrefix = ".orvelgate-spool-";

// Writes `bytes` to a new file named ".orvelgate-spool-XXXXXX" in `folder` ("" means
// the current directory; otherwise it ends in '/'), creating the folder when it is
// missing (and syncing its parent, so that the new folder's name is durable too), and
// flushes it. On any failure, what failed, with nothing left behind.
std::variant<TempFile, Failure> WriteTempFile(const std::string& folder,
                                              std::span<const uint8_t> bytes);

enum class PublishResult { Done, Exists, Failed };
// Renames `from` to `to` unless `to` exists; never replaces a file. A link is renamed
// itself, never what it points to.
PublishResult RenameNoReplace(const std::string& from, const std::string& to);

void DiscardFile(const std::string& path);

// Larger than any file the driver spools; a bigger one is not read at all.
inline constexpr uint64_t kMaxSpoolFileBytes = 1 << 20;

// Reads at most maxBytes from the start without following a link and without waiting:
// a link, a FIFO, a folder, a device or an oversized file under the name is Unreadable.
SpoolRead ReadFileStart(const std::string& path, std::size_t maxBytes);

enum class RemoveResult { Removed, Missing, Failed };
RemoveResult RemoveFile(const std::string& path);

struct ListedFile {
  std::string leaf;
  int64_t mtimeNs = 0;
  bool regular = true;  // false: a link, FIFO, folder or device under a spool name
};
// The entries of `folder` (not "." or "..") whose names pass `wanted`, as they are:
// links are not followed.
std::vector<ListedFile> ListFiles(const std::string& folder,
                                  const std::function<bool(std::string_view)>& wanted);

}  // namespace orvelgate
