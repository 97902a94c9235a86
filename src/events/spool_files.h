#pragma once
// The file operations the spool store needs, kept apart from its index logic.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// missing, and flushes it. nullopt on any failure, with nothing left behind.
std::optional<TempFile> WriteTempFile(const std::string& folder, std::span<const uint8_t> bytes);

enum class PublishResult { Done, Exists, Failed };
// Renames `from` to `to` unless `to` exists; never replaces a file.
PublishResult RenameNoReplace(const std::string& from, const std::string& to);

// Flushes the folder's entries, so that a rename survives a power cut.
void SyncFolder(const std::string& folder);

void DiscardFile(const std::string& path);

// Reads at most maxBytes from the start; a FIFO or a folder under the name is Unreadable.
SpoolRead ReadFileStart(const std::string& path, std::size_t maxBytes);

enum class RemoveResult { Removed, Missing, Failed };
RemoveResult RemoveFile(const std::string& path);

struct ListedFile {
  std::string leaf;
  int64_t mtimeNs = 0;
};
// Regular files (or links to them) in `folder` whose names pass `wanted`.
std::vector<ListedFile> ListFiles(const std::string& folder,
                                  const std::function<bool(std::string_view)>& wanted);

}  // namespace orvelgate
