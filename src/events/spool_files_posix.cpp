#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "common/flushed_write.h"
#include "events/spool_files.h"

namespace orvelgate {
namespace {

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// A missing spool folder is made rather than losing the event; the new folder's name
// must be durable before any file in it can be.
std::optional<Failure> MakeFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return Failure::FromErrno(error.value(), "create folder " + folder);
  const auto parent = std::filesystem::path(folder).parent_path().parent_path().string();
  return SyncFolder(parent.empty() ? "." : parent + "/");
}

}  // namespace

std::variant<TempFile, Failure> WriteTempFile(const std::string& folder,
                                              std::span<const uint8_t> bytes) {
  std::string path = folder + std::string(kTempSpoolPrefix) + "XXXXXX";
  int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && !folder.empty()) {
    if (auto failure = MakeFolder(folder)) return *failure;
    path = folder + std::string(kTempSpoolPrefix) + "XXXXXX";
    fd = ::mkostemp(path.data(), O_CLOEXEC);
  }
  if (fd < 0) {
    const std::string where = folder.empty() ? "." : folder;
    return Failure::FromErrno(errno, "create a temporary file in " + where);
  }
  std::optional<Failure> failure = WriteFlushed(fd, path, bytes, 0644);
  struct stat st{};
  if (!failure && ::fstat(fd, &st) != 0) failure = Failure::FromErrno(errno, "stat " + path);
  if (::close(fd) != 0 && !failure) failure = Failure::FromErrno(errno, "close " + path);
  if (failure) {
    ::unlink(path.c_str());
    return *failure;
  }
  return TempFile{path, MtimeNs(st)};
}

PublishResult RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return PublishResult::Done;
  if (errno == EEXIST) return PublishResult::Exists;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return PublishResult::Failed;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing name.
  // Flags 0: a link is linked itself, not followed.
  if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0) {
    ::unlink(from.c_str());
    return PublishResult::Done;
  }
  if (errno == EEXIST) return PublishResult::Exists;
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return PublishResult::Failed;
  // Nor hard links (FAT): look first. Only this process writes spool names here.
  struct stat st{};
  if (::lstat(to.c_str(), &st) == 0) return PublishResult::Exists;
  return ::rename(from.c_str(), to.c_str()) == 0 ? PublishResult::Done : PublishResult::Failed;
}

void DiscardFile(const std::string& path) { ::unlink(path.c_str()); }

SpoolRead ReadFileStart(const std::string& path, std::size_t maxBytes) {
  SpoolRead result;
  // O_NOFOLLOW: a link under a spool name must not make us read a file outside the
  // folder (ELOOP, so it is set aside). O_NONBLOCK: nor may a FIFO hang the tick.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result.status = errno == ENOENT ? SpoolRead::Gone : SpoolRead::Unreadable;
    return result;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<uint64_t>(st.st_size) > kMaxSpoolFileBytes) {
    ::close(fd);
    result.status = SpoolRead::Unreadable;
    return result;
  }
  // One byte more than wanted tells a longer file; spool files do not grow while read.
  const auto size = static_cast<std::size_t>(st.st_size);
  result.bytes.resize(std::min(size, maxBytes) + 1);
  std::size_t got = 0;
  result.status = SpoolRead::Ok;
  while (got < result.bytes.size()) {
    const ssize_t n = ::read(fd, result.bytes.data() + got, result.bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.status = SpoolRead::Unreadable;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  result.truncated = got > maxBytes;
  result.bytes.resize(result.truncated ? maxBytes : got);
  if (result.status != SpoolRead::Ok) result.bytes.clear();
  return result;
}

RemoveResult RemoveFile(const std::string& path) {
  // unlink removes a link itself, never its target.
  if (::unlink(path.c_str()) == 0) return RemoveResult::Removed;
  return errno == ENOENT ? RemoveResult::Missing : RemoveResult::Failed;
}

std::vector<ListedFile> ListFiles(const std::string& folder,
                                  const std::function<bool(std::string_view)>& wanted) {
  std::vector<ListedFile> files;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return files;
  const int dirFd = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view leaf = e->d_name;
    if (leaf == "." || leaf == ".." || !wanted(leaf)) continue;
    // The entry itself, never what a link points to: whatever is not a regular file is
    // listed too, so that the re-send sets it aside instead of passing over it for ever.
    struct stat st{};
    if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    files.push_back({e->d_name, MtimeNs(st), S_ISREG(st.st_mode)});
  }
  ::closedir(dir);
  return files;
}

}  // namespace orvelgate
