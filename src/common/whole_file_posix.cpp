#include "common/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/folder_sync.h"

namespace orvelgate {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

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

bool ReplaceWholeFile(const std::string& path, std::string_view contents) {
  static std::atomic<unsigned> sequence{0};
  const std::string target = ResolvedTarget(path);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) return false;

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(sequence++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = (!existed || ::fchmod(fd, old.st_mode & 07777) == 0) && WriteAll(fd, contents) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Without this a power cut can bring the old file back under its name.
  return !SyncFolder(FolderOf(target)).has_value();
}

}  // namespace orvelgate
