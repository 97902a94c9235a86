#include "common/folder_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvelgate {

std::optional<Failure> SyncFolder(const std::string& folder) {
  const std::string name = folder.empty() ? "." : folder;
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failure::FromErrno(errno, "open folder " + name);
  std::optional<Failure> failure;
  if (::fsync(fd) != 0) failure = Failure::FromErrno(errno, "fsync folder " + name);
  ::close(fd);
  return failure;
}

}  // namespace orvelgate
