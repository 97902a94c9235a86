#pragma once
// What a disk keeps of a folder tree through a power cut, under the strictest rules that
// Linux file systems allow (those of POSIX and of fsync(2); ext4 and xfs often keep more):
//
//  - A file's data and size are durable as they were at its last fsync or fdatasync (alike
//    here). Whatever was written or truncated since is lost: a file that was never synced
//    is empty after a cut, when its name survives at all.
//  - A creation, rename, link or unlink is durable only once the folder holding the name
//    is synced (fsync on the folder). Until then the folder's durable names are its old
//    ones: a new name vanishes, an unlinked or renamed-over name comes back with its old
//    file's durable data, and a renamed file is back under its old name. A file's own
//    fsync does not make its name durable, nor does a folder's sync make its parent's.
//  - Files and folders only; modes, owners and times are not kept.
//
// The power-cut disk hands it every change that succeeded on its backing folder and asks
// it what a cut leaves. Paths are absolute within the disk ("/spool/a.dd8"); the root "/"
// is always there. No I/O.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvelgate::faults {

struct TreeEntry {
  bool folder = false;
  std::string bytes;  // a file's contents
  bool operator==(const TreeEntry&) const = default;
};
// Every path below the root, parents before their children.
using Tree = std::map<std::string, TreeEntry>;

// What turns the tree as it is into the tree a cut leaves: names to remove (children
// before their folders) and names to write again (folders before their children). Names
// whose file or folder is the same in both, with the same data, are left alone.
struct CutPlan {
  std::vector<std::string> remove;
  std::vector<std::pair<std::string, TreeEntry>> write;
};

class PowerCutModel {
 public:
  using Node = uint64_t;  // a file or folder, under whatever names it has

  PowerCutModel();                            // an empty root, durable
  explicit PowerCutModel(const Tree& start);  // all of it durable

  // The file or folder under `path` now; 0 when there is none.
  Node Lookup(const std::string& path) const;

  // Each returns false, changing nothing, when the tree as it is does not allow it (the
  // disk's backing folder and the model disagree).
  bool CreateFile(const std::string& path);  // a new empty file
  bool MakeFolder(const std::string& path);
  bool Write(Node file, uint64_t offset, std::string_view bytes);
  bool Truncate(Node file, uint64_t size);
  bool SyncFile(Node file);
  bool SyncFolder(const std::string& path);
  bool Rename(const std::string& from, const std::string& to);  // replaces `to`
  bool Link(const std::string& existing, const std::string& path);
  bool Unlink(const std::string& path);
  bool RemoveFolder(const std::string& path);
  // Everything as it is now becomes durable (`sync`, then a clean shutdown).
  void SyncAll();

  Tree Live() const;
  Tree Durable() const;
  CutPlan PlanCut() const;

 private:
  struct Item {
    bool folder = false;
    std::string live, durable;                     // a file's data
    std::map<std::string, Node> names, durableNames;  // a folder's entries
  };
  struct Place {
    Node folder = 0;
    std::string leaf;
  };
  struct Found {
    Node node = 0;
    bool folder = false;
  };

  // The folder that holds `path` and its last name; folder 0 when there is none.
  Place Locate(const std::string& path) const;
  Item* FileItem(Node file);
  Node Add(bool folder, const std::string& path);
  // Every path below the root with its node, by the live or the durable entries.
  std::map<std::string, Found> Walk(bool durable) const;
  Tree ToTree(const std::map<std::string, Found>& walk, bool durable) const;

  std::map<Node, Item> items_;
  Node next_ = 1;
};

}  // namespace orvelgate::faults
