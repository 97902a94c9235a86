#include "faults/power_cut_model.h"

#include <set>

namespace orvelgate::faults {
namespace {

constexpr PowerCutModel::Node kRoot = 1;

std::string Child(const std::string& folder, const std::string& leaf) {
  return (folder == "/" ? "" : folder) + "/" + leaf;
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

PowerCutModel::PowerCutModel() { items_[next_++].folder = true; }

PowerCutModel::PowerCutModel(const Tree& start) : PowerCutModel() {
  for (const auto& [path, entry] : start) {  // parents come first
    if (const Node node = Add(entry.folder, path); node != 0) items_[node].live = entry.bytes;
  }
  SyncAll();
}

PowerCutModel::Place PowerCutModel::Locate(const std::string& path) const {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return {};
  const auto slash = path.rfind('/');
  const Node folder = Lookup(ParentOf(path));
  if (folder == 0 || !items_.at(folder).folder) return {};
  return {folder, path.substr(slash + 1)};
}

PowerCutModel::Node PowerCutModel::Lookup(const std::string& path) const {
  if (path == "/") return kRoot;
  Node node = kRoot;
  std::size_t from = 1;
  while (from <= path.size()) {
    const auto to = std::min(path.find('/', from), path.size());
    const Item& item = items_.at(node);
    const auto found = item.names.find(path.substr(from, to - from));
    if (!item.folder || found == item.names.end()) return 0;
    node = found->second;
    from = to + 1;
  }
  return node;
}

PowerCutModel::Item* PowerCutModel::FileItem(Node file) {
  const auto found = items_.find(file);
  return found == items_.end() || found->second.folder ? nullptr : &found->second;
}

PowerCutModel::Node PowerCutModel::Add(bool folder, const std::string& path) {
  const Place place = Locate(path);
  if (place.folder == 0 || items_[place.folder].names.contains(place.leaf)) return 0;
  const Node node = next_++;
  items_[node].folder = folder;
  items_[place.folder].names[place.leaf] = node;
  return node;
}

bool PowerCutModel::CreateFile(const std::string& path) { return Add(false, path) != 0; }

bool PowerCutModel::MakeFolder(const std::string& path) { return Add(true, path) != 0; }

bool PowerCutModel::Write(Node file, uint64_t offset, std::string_view bytes) {
  Item* item = FileItem(file);
  if (!item) return false;
  if (item->live.size() < offset + bytes.size()) item->live.resize(offset + bytes.size(), '\0');
  item->live.replace(offset, bytes.size(), bytes);
  return true;
}

bool PowerCutModel::Truncate(Node file, uint64_t size) {
  Item* item = FileItem(file);
  if (!item) return false;
  item->live.resize(size, '\0');
  return true;
}

bool PowerCutModel::SyncFile(Node file) {
  Item* item = FileItem(file);
  if (!item) return false;
  item->durable = item->live;
  return true;
}

bool PowerCutModel::SyncFolder(const std::string& path) {
  const Node node = Lookup(path);
  if (node == 0 || !items_[node].folder) return false;
  items_[node].durableNames = items_[node].names;
  return true;
}

// As rename(2): a file replaces a file, a folder an empty folder; a folder never goes
// below itself.
bool PowerCutModel::Rename(const std::string& from, const std::string& to) {
  const Place source = Locate(from), target = Locate(to);
  const Node node = Lookup(from), replaced = Lookup(to);
  if (node == 0 || source.folder == 0 || target.folder == 0 || to.starts_with(from + "/"))
    return false;
  if (node == replaced) return true;
  if (replaced != 0) {
    const Item& old = items_[replaced];
    if (old.folder != items_[node].folder || (old.folder && !old.names.empty())) return false;
  }
  items_[source.folder].names.erase(source.leaf);
  items_[target.folder].names[target.leaf] = node;
  return true;
}

bool PowerCutModel::Link(const std::string& existing, const std::string& path) {
  const Node node = Lookup(existing);
  const Place place = Locate(path);
  if (!FileItem(node) || place.folder == 0 || items_[place.folder].names.contains(place.leaf))
    return false;
  items_[place.folder].names[place.leaf] = node;
  return true;
}

bool PowerCutModel::Unlink(const std::string& path) {
  const Place place = Locate(path);
  if (!FileItem(Lookup(path))) return false;
  items_[place.folder].names.erase(place.leaf);
  return true;
}

bool PowerCutModel::RemoveFolder(const std::string& path) {
  const Node node = Lookup(path);
  if (node == 0 || node == kRoot || !items_[node].folder || !items_[node].names.empty())
    return false;
  const Place place = Locate(path);
  items_[place.folder].names.erase(place.leaf);
  return true;
}

void PowerCutModel::SyncAll() {
  for (auto& [node, item] : items_) {
    item.durable = item.live;
    item.durableNames = item.names;
  }
}

// A folder met again under a second durable name (possible only when folders moved
// between unsynced parents) is taken once.
std::map<std::string, PowerCutModel::Found> PowerCutModel::Walk(bool durable) const {
  std::map<std::string, Found> paths;
  std::set<Node> seen{kRoot};
  std::vector<std::pair<std::string, Node>> folders{{"/", kRoot}};
  while (!folders.empty()) {
    const auto [path, folder] = folders.back();
    folders.pop_back();
    const Item& item = items_.at(folder);
    for (const auto& [leaf, node] : durable ? item.durableNames : item.names) {
      const bool isFolder = items_.at(node).folder;
      if (isFolder && !seen.insert(node).second) continue;
      paths[Child(path, leaf)] = {node, isFolder};
      if (isFolder) folders.emplace_back(Child(path, leaf), node);
    }
  }
  return paths;
}

Tree PowerCutModel::ToTree(const std::map<std::string, Found>& walk, bool durable) const {
  Tree tree;
  for (const auto& [path, found] : walk) {
    const Item& item = items_.at(found.node);
    tree[path] = {found.folder, found.folder ? "" : durable ? item.durable : item.live};
  }
  return tree;
}

Tree PowerCutModel::Live() const { return ToTree(Walk(false), false); }

Tree PowerCutModel::Durable() const { return ToTree(Walk(true), true); }

CutPlan PowerCutModel::PlanCut() const {
  const auto live = Walk(false), durable = Walk(true);
  std::set<std::string> kept;
  for (const auto& [path, found] : live) {  // parents first
    const auto there = durable.find(path);
    const Item& item = items_.at(found.node);
    const std::string parent = ParentOf(path);
    if (there != durable.end() && there->second.node == found.node &&
        (found.folder || item.live == item.durable) && (parent == "/" || kept.contains(parent)))
      kept.insert(path);
  }
  CutPlan plan;
  for (auto it = live.rbegin(); it != live.rend(); ++it) {
    if (!kept.contains(it->first)) plan.remove.push_back(it->first);
  }
  for (const auto& [path, found] : durable) {
    if (kept.contains(path)) continue;
    plan.write.emplace_back(path, TreeEntry{found.folder, found.folder ? "" : items_.at(found.node).durable});
  }
  return plan;
}

}  // namespace orvelgate::faults
