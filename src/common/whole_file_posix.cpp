#include "common/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/flushed_write.h"
#include "common/folder_sync.h"

namespace orvelgate {
namespace {

// A symbolic link is replaced at its target, so the link itself stays in place.
std::string ResolvedTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, int& error) {
  error = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string contents;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return contents;
}

std::optional<Failure> ReplaceWholeFile(const std::string& path, std::string_view contents) {
  static std::atomic<unsigned> sequence{0};
  const std::string target = ResolvedTarget(path);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) return Failure::FromText(target + ": not a regular file");

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(sequence++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return Failure::FromErrno(errno, "create " + temp);
  }
  if (fd < 0) return Failure::FromErrno(EEXIST, "create " + temp);

  // An existing file's permission bits go over to its replacement.
  const auto mode = existed ? std::optional<unsigned>(old.st_mode & 07777) : std::nullopt;
  std::optional<Failure> failure = WriteFlushed(
      fd, temp, {reinterpret_cast<const uint8_t*>(contents.data()), contents.size()}, mode);
  if (::close(fd) != 0 && !failure) failure = Failure::FromErrno(errno, "close " + temp);
  if (!failure && ::rename(temp.c_str(), target.c_str()) != 0) {
    failure = Failure::FromErrno(errno, "rename " + temp + " to " + target);
  }
  if (failure) {
    ::unlink(temp.c_str());
    return failure;
  }
  // Without this a power cut can bring the old file back under its name.
  return SyncFolder(FolderOf(target));
}

}  // namespace orvelgate
