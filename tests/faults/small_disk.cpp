#include "faults/small_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace orvelgate::faults {

SmallDisk::SmallDisk(std::filesystem::path folder, std::size_t bytes) : folder_(std::move(folder)) {
  std::filesystem::create_directories(folder_);
  const std::string data = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, data.c_str()) == 0) {
    mounted_ = true;
  } else {
    whyNot_ = std::string("tmpfs could not be mounted: ") + std::strerror(errno);
  }
}

SmallDisk::~SmallDisk() {
  if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
}

void SmallDisk::Fill() {
  if (!mounted_) return;
  const int fd = open((folder_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::vector<char> block(4096, 'x');
  // Down to the last byte: the spool's next file finds no room at all.
  for (std::size_t size = block.size(); size > 0;) {
    if (write(fd, block.data(), size) < 0) size /= 2;
  }
  close(fd);
}

void SmallDisk::Free() { std::filesystem::remove(folder_ / "filler"); }

}  // namespace orvelgate::faults
