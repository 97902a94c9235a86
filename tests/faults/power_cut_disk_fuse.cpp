#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "faults/power_cut_disk.h"

namespace orvelgate::faults {
namespace fs = std::filesystem;

namespace {

std::string ErrorText(const std::string& what) { return what + ": " + std::strerror(errno); }

// What the backing folder holds, all of it taken as durable.
Tree ReadTree(const fs::path& root, std::vector<std::string>& problems) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = "/" + entry.path().lexically_relative(root).string();
    if (entry.is_directory()) {
      tree[path] = {true, ""};
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      tree[path] = {false, {std::istreambuf_iterator<char>(in), {}}};
    } else {
      problems.push_back("not a file or folder, left out: " + path);
    }
  }
  return tree;
}

}  // namespace

std::optional<std::string> EnterOwnMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0) return ErrorText("unshare(CLONE_NEWNS)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return ErrorText("making the mounts private");
  return std::nullopt;
}

// Each passes the call on to the backing folder and, when it succeeded there, tells the
// model. Syncs only tell the model. Errors go back as -errno.
struct PowerCutDisk::Operations {
  static PowerCutDisk& Disk() {
    return *static_cast<PowerCutDisk*>(fuse_get_context()->private_data);
  }
  static int Result(int result) { return result < 0 ? -errno : result; }
  // Tells the model under the lock; a disagreement is the disk's problem, not the caller's.
  template <typename Change>
  static void Tell(const char* call, const char* path, Change change) {
    PowerCutDisk& disk = Disk();
    std::lock_guard lock(disk.mutex_);
    if (!change(disk.model_))
      disk.problems_.push_back(std::string("the model refused ") + call + " " + (path ? path : ""));
  }
  // After a call on the backing folder: tells the model when it succeeded.
  template <typename Change>
  static int Passed(int result, const char* call, const char* path, Change change) {
    if (result != 0) return -errno;
    Tell(call, path, change);
    return 0;
  }
  static PowerCutModel::Node NodeOf(const fuse_file_info* fi) {
    PowerCutDisk& disk = Disk();
    std::lock_guard lock(disk.mutex_);
    const auto found = disk.open_.find(fi->fh);
    return found == disk.open_.end() ? 0 : found->second;
  }
  static int Fd() { return Disk().backingFd_; }
  static std::string At(const char* path) { return Disk().Backing(path); }

  static void* Init(fuse_conn_info*, fuse_config* config) {
    config->direct_io = 1;  // no page cache: every read and write comes here
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->hard_remove = 1;  // an unlinked open file is not renamed to .fuse_hidden*
    config->kernel_cache = 0;
    config->auto_cache = 0;
    return fuse_get_context()->private_data;
  }

  static int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi) return Result(::fstat(static_cast<int>(fi->fh), st));
    return Result(::fstatat(Fd(), At(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
  }
  static int Access(const char* path, int mask) {
    return Result(::faccessat(Fd(), At(path).c_str(), mask, 0));
  }
  static int MakeFolder(const char* path, mode_t mode) {
    return Passed(::mkdirat(Fd(), At(path).c_str(), mode), "mkdir", path,
                  [&](PowerCutModel& m) { return m.MakeFolder(path); });
  }
  static int Unlink(const char* path) {
    return Passed(::unlinkat(Fd(), At(path).c_str(), 0), "unlink", path,
                  [&](PowerCutModel& m) { return m.Unlink(path); });
  }
  static int RemoveFolder(const char* path) {
    return Passed(::unlinkat(Fd(), At(path).c_str(), AT_REMOVEDIR), "rmdir", path,
                  [&](PowerCutModel& m) { return m.RemoveFolder(path); });
  }
  static int Rename(const char* from, const char* to, unsigned int flags) {
    if (flags & ~RENAME_NOREPLACE) return -EINVAL;  // RENAME_EXCHANGE is not modelled
    return Passed(::renameat2(Fd(), At(from).c_str(), Fd(), At(to).c_str(), flags), "rename",
                  from, [&](PowerCutModel& m) { return m.Rename(from, to); });
  }
  static int Link(const char* from, const char* to) {
    return Passed(::linkat(Fd(), At(from).c_str(), Fd(), At(to).c_str(), 0), "link", from,
                  [&](PowerCutModel& m) { return m.Link(from, to); });
  }
  static int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    if (fi) return Result(::fchmod(static_cast<int>(fi->fh), mode));
    return Result(::fchmodat(Fd(), At(path).c_str(), mode, 0));
  }
  static int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    if (fi) return Result(::fchown(static_cast<int>(fi->fh), uid, gid));
    return Result(::fchownat(Fd(), At(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
  }
  static int Utimens(const char* path, const struct timespec times[2], fuse_file_info* fi) {
    if (fi) return Result(::futimens(static_cast<int>(fi->fh), times));
    return Result(::utimensat(Fd(), At(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
  }
  static int Truncate(const char* path, off_t size, fuse_file_info* fi) {
    const int fd = fi ? static_cast<int>(fi->fh)
                      : ::openat(Fd(), At(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const int result = Result(::ftruncate(fd, size));
    if (!fi) ::close(fd);
    if (result != 0) return result;
    const auto open = fi ? NodeOf(fi) : 0;
    Tell("truncate", path, [&](PowerCutModel& m) {
      return m.Truncate(fi ? open : m.Lookup(path), static_cast<uint64_t>(size));
    });
    return 0;
  }
  // O_APPEND is left to the kernel, which hands each write its offset; the backing file
  // is written at that offset, as the model is. A name the model does not know yet was
  // made by this open.
  static int Opened(const char* path, int fd, fuse_file_info* fi) {
    if (fd < 0) return -errno;
    PowerCutDisk& disk = Disk();
    std::lock_guard lock(disk.mutex_);
    PowerCutModel& model = disk.model_;
    const bool known = model.Lookup(path) != 0;
    if (!known && !model.CreateFile(path))
      disk.problems_.push_back(std::string("the model refused create ") + path);
    const auto node = model.Lookup(path);
    if (known && (fi->flags & O_TRUNC) && !model.Truncate(node, 0))
      disk.problems_.push_back(std::string("the model refused O_TRUNC ") + path);
    disk.open_[static_cast<uint64_t>(fd)] = node;
    fi->fh = static_cast<uint64_t>(fd);
    fi->direct_io = 1;
    return 0;
  }
  static int Open(const char* path, fuse_file_info* fi) {
    return Opened(path, ::openat(Fd(), At(path).c_str(), (fi->flags & ~O_APPEND) | O_CLOEXEC), fi);
  }
  static int Create(const char* path, mode_t mode, fuse_file_info* fi) {
    const int flags = (fi->flags & ~O_APPEND) | O_CREAT | O_CLOEXEC;
    return Opened(path, ::openat(Fd(), At(path).c_str(), flags, mode), fi);
  }
  static int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
  }
  static int Write(const char*, const char* bytes, size_t size, off_t offset, fuse_file_info* fi) {
    const ssize_t n = ::pwrite(static_cast<int>(fi->fh), bytes, size, offset);
    if (n < 0) return -errno;
    const auto node = NodeOf(fi);
    Tell("write", nullptr, [&](PowerCutModel& m) {
      return m.Write(node, static_cast<uint64_t>(offset), std::string_view(bytes, static_cast<std::size_t>(n)));
    });
    return static_cast<int>(n);
  }
  static int StatFs(const char*, struct statvfs* st) { return Result(::fstatvfs(Fd(), st)); }
  static int Flush(const char*, fuse_file_info*) { return 0; }
  static int Release(const char*, fuse_file_info* fi) {
    PowerCutDisk& disk = Disk();
    std::lock_guard lock(disk.mutex_);
    disk.open_.erase(fi->fh);
    ::close(static_cast<int>(fi->fh));
    return 0;
  }
  // fsync and fdatasync alike: the data and the size, not the name.
  static int Sync(const char*, int, fuse_file_info* fi) {
    const auto node = NodeOf(fi);
    Tell("fsync", nullptr, [&](PowerCutModel& m) { return m.SyncFile(node); });
    return 0;
  }
  static int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
                        fuse_file_info*, fuse_readdir_flags) {
    if (!path) return -ENOENT;
    const int fd = ::openat(Fd(), At(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!folder) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      return -error;
    }
    while (const dirent* entry = ::readdir(folder)) {
      if (fill(buffer, entry->d_name, nullptr, 0, fuse_fill_dir_flags{}) != 0) break;
    }
    ::closedir(folder);
    return 0;
  }
  static int SyncFolder(const char* path, int, fuse_file_info*) {
    if (!path) return 0;  // a removed folder: nothing of it is kept anyway
    Tell("fsyncdir", path, [&](PowerCutModel& m) { return m.SyncFolder(path); });
    return 0;
  }

  static fuse_operations Table() {
    fuse_operations ops{};
    ops.init = Init;
    ops.getattr = GetAttr;
    ops.access = Access;
    ops.mkdir = MakeFolder;
    ops.unlink = Unlink;
    ops.rmdir = RemoveFolder;
    ops.rename = Rename;
    ops.link = Link;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.utimens = Utimens;
    ops.truncate = Truncate;
    ops.open = Open;
    ops.create = Create;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = StatFs;
    ops.flush = Flush;
    ops.release = Release;
    ops.fsync = Sync;
    ops.readdir = ReadFolder;
    ops.fsyncdir = SyncFolder;
    return ops;  // no symlinks, device files or FIFOs: the calls fail
  }
};

PowerCutDisk::PowerCutDisk(fs::path backing, fs::path mountPoint)
    : backing_(std::move(backing)), mountPoint_(std::move(mountPoint)) {
  std::error_code error;
  fs::create_directories(backing_, error);
  fs::create_directories(mountPoint_, error);
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    whyNot_ = ErrorText("/dev/fuse");
    return;
  }
  backingFd_ = ::open(backing_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (backingFd_ < 0) {
    whyNot_ = ErrorText(backing_.string());
    return;
  }
  model_ = PowerCutModel(ReadTree(backing_, problems_));
  Mount();
}

PowerCutDisk::~PowerCutDisk() {
  Unmount();
  if (backingFd_ >= 0) ::close(backingFd_);
}

std::string PowerCutDisk::Backing(const char* path) const {
  return path[0] == '/' && path[1] == '\0' ? "." : path + 1;
}

bool PowerCutDisk::Mount() {
  const char* argv[] = {"power-cut-disk", "-o", "fsname=power-cut-disk,subtype=power-cut-disk"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  const fuse_operations ops = Operations::Table();
  struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, this);
  fuse_opt_free_args(&args);
  if (!fuse) {
    whyNot_ = "the FUSE file system could not be made";
    return false;
  }
  if (fuse_mount(fuse, mountPoint_.c_str()) != 0) {
    fuse_destroy(fuse);
    whyNot_ = "mounting FUSE at " + mountPoint_.string() + " failed";
    return false;
  }
  fuse_ = fuse;
  stopping_ = false;
  server_ = std::thread(&PowerCutDisk::Serve, this);
  return true;
}

// As fuse_session_loop, but it ends within 100 ms of Unmount() even when the kernel
// still holds the mount.
void PowerCutDisk::Serve() {
  fuse_session* session = fuse_get_session(fuse_);
  fuse_buf buffer{};
  while (!stopping_ && !fuse_session_exited(session)) {
    pollfd device{fuse_session_fd(session), POLLIN, 0};
    const int ready = ::poll(&device, 1, 100);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const int received = fuse_session_receive_buf(session, &buffer);
    if (received == -EINTR || received == -EAGAIN) continue;
    if (received <= 0) break;  // unmounted
    fuse_session_process_buf(session, &buffer);
  }
  std::free(buffer.mem);
}

void PowerCutDisk::Unmount() {
  if (!fuse_) return;
  // Nobody should still use the disk; if someone does, it is cut off all the same.
  if (::umount2(mountPoint_.c_str(), 0) != 0) {
    Problem(ErrorText("unmounting " + mountPoint_.string()) + " (detached instead)");
    ::umount2(mountPoint_.c_str(), MNT_DETACH);
  }
  stopping_ = true;
  server_.join();
  fuse_unmount(fuse_);
  fuse_destroy(fuse_);
  fuse_ = nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& [fd, node] : open_) ::close(static_cast<int>(fd));
  open_.clear();
}

void PowerCutDisk::Settle() {
  std::lock_guard lock(mutex_);
  model_.SyncAll();
}

bool PowerCutDisk::Cut() {
  Unmount();
  {
    std::lock_guard lock(mutex_);
    ApplyCut(model_.PlanCut());
    model_ = PowerCutModel(model_.Durable());
    ++cuts_;
  }
  if (Mount()) return true;
  Problem("not mounted again after a cut: " + whyNot_);
  return false;
}

void PowerCutDisk::ApplyCut(const CutPlan& plan) {
  for (const std::string& path : plan.remove) {
    std::error_code error;
    fs::remove_all(backing_ / path.substr(1), error);
    if (error) problems_.push_back("a cut could not remove " + path + ": " + error.message());
  }
  for (const auto& [path, entry] : plan.write) {
    const fs::path target = backing_ / path.substr(1);
    std::error_code error;
    if (entry.folder) {
      fs::create_directory(target, error);
    } else {
      std::ofstream(target, std::ios::binary | std::ios::trunc) << entry.bytes;
      if (!fs::is_regular_file(target, error)) error = std::make_error_code(std::errc::io_error);
    }
    if (error) problems_.push_back("a cut could not write " + path + ": " + error.message());
  }
  dropped_ += plan.remove.size();
  restored_ += plan.write.size();
}

void PowerCutDisk::Problem(const std::string& text) {
  std::lock_guard lock(mutex_);
  problems_.push_back(text);
}

std::vector<std::string> PowerCutDisk::Problems() const {
  std::lock_guard lock(mutex_);
  return problems_;
}

}  // namespace orvelgate::faults
