#include "common/flushed_write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvelgate {
namespace {

// errno after a failed write; ENOSPC for a write that took nothing.
int WriteAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

std::optional<Failure> WriteFlushed(int fd, const std::string& path,
                                    std::span<const uint8_t> bytes,
                                    std::optional<unsigned> mode) {
  if (mode && ::fchmod(fd, static_cast<mode_t>(*mode)) != 0) {
    return Failure::FromErrno(errno, "chmod " + path);
  }
  if (const int error = WriteAll(fd, bytes)) return Failure::FromErrno(error, "write " + path);
  if (::fsync(fd) != 0) return Failure::FromErrno(errno, "fsync " + path);
  return std::nullopt;
}

}  // namespace orvelgate
