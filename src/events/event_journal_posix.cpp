#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "events/event_journal.h"

namespace orvelgate {
namespace {

// Takes errno at once, before any other call can change it.
Failure FailedCall(const std::string& what, const std::string& path) {
  return Failure::FromErrno(errno, what + " " + path);
}

constexpr int kMaxAsideNames = 1000;

bool WriteAll(int fd, uint64_t offset, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::vector<uint8_t>& contents) {
  uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    contents.insert(contents.end(), buffer, buffer + n);
  }
}

class PosixJournalStorage final : public JournalStorage {
 public:
  explicit PosixJournalStorage(std::string path)
      : path_(std::move(path)), folder_(std::filesystem::path(path_).parent_path().string()) {
    if (folder_.empty()) folder_ = ".";
  }
  ~PosixJournalStorage() override {
    if (fd_ >= 0) ::close(fd_);
  }

  std::optional<Failure> Open(std::vector<uint8_t>& contents) override;
  std::optional<Failure> KeepAside(std::string& aside) override;
  std::optional<Failure> Write(uint64_t offset, std::span<const uint8_t> bytes) override;
  std::optional<Failure> Sync() override;
  std::optional<Failure> Truncate(uint64_t size) override;
  std::optional<Failure> Replace(std::span<const uint8_t> contents) override;

 private:
  std::optional<Failure> SyncFolder();

  const std::string path_;
  std::string folder_;
  int fd_ = -1;
  bool folderDirty_ = false;  // a new name in the folder not yet synced
};

std::optional<Failure> PosixJournalStorage::Open(std::vector<uint8_t>& contents) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      // Durable before anything is written to it; otherwise made again next time.
      if (std::optional<Failure> synced = SyncFolder(); synced.has_value()) {
        ::unlink(path_.c_str());
        return synced;
      }
    }
  }
  if (fd_ < 0 && errno == EISDIR) return Failure::FromErrno(kJournalNotAFile, "open " + path_);
  if (fd_ < 0) return FailedCall("open", path_);
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return FailedCall("fstat", path_);
  if (!S_ISREG(st.st_mode)) {
    return Failure::FromErrno(kJournalNotAFile, "open " + path_ + ": not a regular file");
  }
  contents.clear();
  contents.reserve(static_cast<std::size_t>(st.st_size));
  if (!ReadAll(fd_, contents)) return FailedCall("read", path_);
  return {};
}

// A regular file gets a second name (the journal goes on with it until Replace); anything
// else is renamed away.
std::optional<Failure> PosixJournalStorage::KeepAside(std::string& aside) {
  struct stat st{};
  if (::lstat(path_.c_str(), &st) != 0) return FailedCall("lstat", path_);
  const bool file = S_ISREG(st.st_mode);
  for (int n = 1; n <= kMaxAsideNames; ++n) {
    aside = path_ + ".damaged-" + std::to_string(n);
    const int done = file ? ::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(), 0)
                          : ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(),
                                        RENAME_NOREPLACE);
    if (done != 0 && errno == EEXIST) continue;
    if (done != 0) return FailedCall(file ? "link to" : "rename to", aside);
    if (!file && fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    std::optional<Failure> synced = SyncFolder();
    // Not durable: the second name goes again, so that a retry does not pile them up.
    if (synced.has_value() && file) ::unlink(aside.c_str());
    return synced;
  }
  return Failure::FromErrno(EEXIST, "no free name beside " + path_ + " to keep it under");
}

std::optional<Failure> PosixJournalStorage::Write(uint64_t offset, std::span<const uint8_t> bytes) {
  if (!WriteAll(fd_, offset, bytes)) return FailedCall("write", path_);
  return {};
}

// fdatasync also writes the file's size, which reading the records back depends on.
std::optional<Failure> PosixJournalStorage::Sync() {
  if (::fdatasync(fd_) != 0) return FailedCall("fdatasync", path_);
  return folderDirty_ ? SyncFolder() : std::optional<Failure>{};
}

std::optional<Failure> PosixJournalStorage::Truncate(uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return FailedCall("ftruncate", path_);
  return {};
}

std::optional<Failure> PosixJournalStorage::Replace(std::span<const uint8_t> contents) {
  const std::string temp = path_ + ".new";
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return FailedCall("open", temp);
  std::optional<Failure> status;
  if (!WriteAll(fd, 0, contents)) status = FailedCall("write", temp);
  else if (::fdatasync(fd) != 0) status = FailedCall("fdatasync", temp);
  else if (::rename(temp.c_str(), path_.c_str()) != 0) status = FailedCall("rename", temp);
  if (status.has_value()) {
    ::close(fd);
    ::unlink(temp.c_str());
    return status;
  }
  ::close(fd_);
  fd_ = fd;
  folderDirty_ = true;
  // Both files hold every live entry, so a rename lost in a crash loses nothing yet;
  // a failed folder sync is tried again by the next Sync(), before anything new counts.
  SyncFolder();
  return {};
}

std::optional<Failure> PosixJournalStorage::SyncFolder() {
  const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FailedCall("open folder", folder_);
  std::optional<Failure> status;
  if (::fsync(fd) != 0) status = FailedCall("fsync folder", folder_);
  else folderDirty_ = false;
  ::close(fd);
  return status;
}

}  // namespace

std::unique_ptr<JournalStorage> MakePosixJournalStorage(std::string path) {
  return std::make_unique<PosixJournalStorage>(std::move(path));
}

}  // namespace orvelgate
