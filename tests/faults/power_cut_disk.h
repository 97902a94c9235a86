#pragma once
// A disk that a power cut can hit, for the tests: a FUSE file system mounted over a
// folder that passes every operation through to a backing folder, while a
// PowerCutModel (power_cut_model.h) follows what of it is durable. Cut() leaves the
// folder as the model says a power cut may, the worst case Linux file systems allow:
// only data synced by fsync/fdatasync and only names whose folder was synced.
//
// Nothing that a cut drops may linger in the kernel: files are opened with direct_io
// (no page cache), names and attributes are never cached (zero timeouts), and a cut
// unmounts the disk and mounts it again around the change of the backing folder.
//
// Mounting needs root and /dev/fuse; the process should first enter a mount namespace of
// its own, so that the mount is nobody else's business and goes with the process. Syncs
// are only noted, never passed on: the backing folder is scratch space.
//
// A cut is taken while no process uses the disk (the program on it has been killed and
// reaped). The file system runs on a thread of its own.

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "faults/power_cut_model.h"

struct fuse;

namespace orvelgate::faults {

// unshare(CLONE_NEWNS) with private propagation, for the calling thread and whatever it
// starts from then on. nullopt when done, otherwise why not.
std::optional<std::string> EnterOwnMountNamespace();

class PowerCutDisk {
 public:
  // `backing` is made when missing; what it holds counts as durable.
  PowerCutDisk(std::filesystem::path backing, std::filesystem::path mountPoint);
  ~PowerCutDisk();  // unmounts
  PowerCutDisk(const PowerCutDisk&) = delete;
  PowerCutDisk& operator=(const PowerCutDisk&) = delete;

  bool Mounted() const { return fuse_ != nullptr; }
  const std::string& WhyNot() const { return whyNot_; }

  // Everything on the disk now becomes durable, as after `sync`: the set-up of a test.
  void Settle();
  // The power cut: unmounts, leaves only the durable state in the backing folder, and
  // mounts again. False when the disk is not mounted afterwards (see WhyNot).
  bool Cut();

  int Cuts() const { return cuts_; }
  // Names a cut removed (new, or changed since their last sync) and wrote back (with
  // their durable data), over all cuts so far.
  std::size_t NamesDropped() const { return dropped_; }
  std::size_t NamesRestored() const { return restored_; }
  // Where the backing folder and the model disagreed, or a cut could not be carried
  // out: the disk's figures are not to be trusted then.
  std::vector<std::string> Problems() const;

  // The FUSE operations; public for the C callbacks only.
  struct Operations;

 private:
  bool Mount();
  void Unmount();
  void Serve();
  void ApplyCut(const CutPlan& plan);
  void Problem(const std::string& text);
  std::string Backing(const char* path) const;  // relative to the backing folder's fd

  const std::filesystem::path backing_, mountPoint_;
  int backingFd_ = -1;
  struct fuse* fuse_ = nullptr;
  std::thread server_;
  std::atomic<bool> stopping_{false};
  std::string whyNot_;

  mutable std::mutex mutex_;  // the model, the open files and the problems
  PowerCutModel model_;
  std::map<uint64_t, PowerCutModel::Node> open_;  // backing descriptor -> the file
  std::vector<std::string> problems_;
  int cuts_ = 0;
  std::size_t dropped_ = 0, restored_ = 0;
};

}  // namespace orvelgate::faults
