#include "faults/power_cut_model.h"

#include <gtest/gtest.h>

#include <functional>

namespace orvelgate::faults {
namespace {

TreeEntry File(std::string bytes) { return {false, std::move(bytes)}; }
const TreeEntry kFolder{true, ""};

// The live tree after the cut plan: what the disk's backing folder holds then.
Tree Apply(Tree tree, const CutPlan& plan) {
  for (const auto& path : plan.remove) tree.erase(path);
  for (const auto& [path, entry] : plan.write) tree[path] = entry;
  return tree;
}

using Model = PowerCutModel;

struct Case {
  const char* name;
  Tree start;  // durable before the steps
  std::function<void(Model&)> steps;
  Tree afterCut;
};

// A file written whole under a temporary name, synced, renamed into place.
void WriteAndRename(Model& m, const std::string& temp, const std::string& path,
                    const std::string& bytes) {
  EXPECT_TRUE(m.CreateFile(temp));
  EXPECT_TRUE(m.Write(m.Lookup(temp), 0, bytes));
  EXPECT_TRUE(m.SyncFile(m.Lookup(temp)));
  EXPECT_TRUE(m.Rename(temp, path));
}

const std::vector<Case> kCases = {
    {"a new file's name needs its folder's sync, whatever the file's own", {},
     [](Model& m) {
       EXPECT_TRUE(m.CreateFile("/f"));
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 0, "abc"));
       EXPECT_TRUE(m.SyncFile(m.Lookup("/f")));
     },
     {}},
    {"a synced folder keeps the name with the data of the file's last sync", {},
     [](Model& m) {
       EXPECT_TRUE(m.CreateFile("/f"));
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 0, "abc"));
       EXPECT_TRUE(m.SyncFile(m.Lookup("/f")));
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 3, "def"));
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/f", File("abc")}}},
    {"a name synced before its data leaves an empty file", {},
     [](Model& m) {
       EXPECT_TRUE(m.CreateFile("/f"));
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 0, "abc"));
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/f", File("")}}},
    {"an unsynced overwrite and truncation are undone", {{"/f", File("abcdef")}},
     [](Model& m) {
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 1, "XY"));
       EXPECT_TRUE(m.Truncate(m.Lookup("/f"), 4));
     },
     {{"/f", File("abcdef")}}},
    {"a synced truncation and a write past the end leave a hole", {{"/f", File("abcdef")}},
     [](Model& m) {
       EXPECT_TRUE(m.Truncate(m.Lookup("/f"), 2));
       EXPECT_TRUE(m.Write(m.Lookup("/f"), 4, "xy"));
       EXPECT_TRUE(m.SyncFile(m.Lookup("/f")));
     },
     {{"/f", File(std::string("ab\0\0xy", 6))}}},
    {"an unsynced rename is undone", {{"/a", File("1")}},
     [](Model& m) { EXPECT_TRUE(m.Rename("/a", "/b")); },
     {{"/a", File("1")}}},
    {"a name renamed over without a folder sync comes back with its old data",
     {{"/t", File("old")}},
     [](Model& m) { WriteAndRename(m, "/t.new", "/t", "new"); },
     {{"/t", File("old")}}},
    {"a rename over a name with a folder sync holds", {{"/t", File("old")}},
     [](Model& m) {
       WriteAndRename(m, "/t.new", "/t", "new");
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/t", File("new")}}},
    {"a file written after its rename, synced, is still the old one without the folder's sync",
     {{"/j", File("AAA")}},
     [](Model& m) {
       WriteAndRename(m, "/j.new", "/j", "B");
       EXPECT_TRUE(m.Write(m.Lookup("/j"), 1, "C"));
       EXPECT_TRUE(m.SyncFile(m.Lookup("/j")));
     },
     {{"/j", File("AAA")}}},
    {"an unlink without a folder sync comes back with the last synced data",
     {{"/f", File("x")}},
     [](Model& m) {
       const auto f = m.Lookup("/f");
       EXPECT_TRUE(m.Write(f, 0, "yy"));
       EXPECT_TRUE(m.SyncFile(f));
       EXPECT_TRUE(m.Write(f, 0, "zz"));
       EXPECT_TRUE(m.Unlink("/f"));
       EXPECT_TRUE(m.SyncFile(f));  // still open: its data is synced, its name is gone
     },
     {{"/f", File("zz")}}},
    {"an unlink with a folder sync holds", {{"/f", File("x")}, {"/g", File("y")}},
     [](Model& m) {
       EXPECT_TRUE(m.Unlink("/f"));
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/g", File("y")}}},
    {"a new folder needs its parent's sync, its entries its own: only the parent", {},
     [](Model& m) {
       EXPECT_TRUE(m.MakeFolder("/d"));
       WriteAndRename(m, "/d/t", "/d/f", "1");
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/d", kFolder}}},
    {"a new folder needs its parent's sync, its entries its own: only the folder", {},
     [](Model& m) {
       EXPECT_TRUE(m.MakeFolder("/d"));
       WriteAndRename(m, "/d/t", "/d/f", "1");
       EXPECT_TRUE(m.SyncFolder("/d"));
     },
     {}},
    {"a new folder needs its parent's sync, its entries its own: both", {},
     [](Model& m) {
       EXPECT_TRUE(m.MakeFolder("/d"));
       WriteAndRename(m, "/d/t", "/d/f", "1");
       EXPECT_TRUE(m.SyncFolder("/d"));
       EXPECT_TRUE(m.SyncFolder("/"));
     },
     {{"/d", kFolder}, {"/d/f", File("1")}}},
    {"a spool file renamed into place and its folder synced survives", {{"/spool", kFolder}},
     [](Model& m) {
       WriteAndRename(m, "/spool/.orvelgate-spool-a", "/spool/1.dd8", "event");
       EXPECT_TRUE(m.SyncFolder("/spool"));
     },
     {{"/spool", kFolder}, {"/spool/1.dd8", File("event")}}},
    {"a spool file renamed into place without the folder's sync is gone", {{"/spool", kFolder}},
     [](Model& m) { WriteAndRename(m, "/spool/.orvelgate-spool-a", "/spool/1.dd8", "event"); },
     {{"/spool", kFolder}}},
    {"a removed folder comes back with its durable files",
     {{"/d", kFolder}, {"/d/f", File("1")}},
     [](Model& m) {
       EXPECT_TRUE(m.Unlink("/d/f"));
       EXPECT_TRUE(m.SyncFolder("/d"));
       EXPECT_TRUE(m.RemoveFolder("/d"));
     },
     {{"/d", kFolder}}},
    {"a hard link holds once its folder is synced, and shares the file's data",
     {{"/a", File("1")}},
     [](Model& m) {
       EXPECT_TRUE(m.Link("/a", "/b"));
       EXPECT_TRUE(m.SyncFolder("/"));
       EXPECT_TRUE(m.Write(m.Lookup("/b"), 0, "2"));
       EXPECT_TRUE(m.SyncFile(m.Lookup("/a")));
     },
     {{"/a", File("2")}, {"/b", File("2")}}},
    {"sync-all makes everything durable", {{"/old", File("o")}},
     [](Model& m) {
       EXPECT_TRUE(m.MakeFolder("/d"));
       EXPECT_TRUE(m.CreateFile("/d/f"));
       EXPECT_TRUE(m.Write(m.Lookup("/d/f"), 0, "1"));
       EXPECT_TRUE(m.Unlink("/old"));
       m.SyncAll();
     },
     {{"/d", kFolder}, {"/d/f", File("1")}}},
};

TEST(PowerCutModel, ACutLeavesOnlyWhatWasSynced) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Model model(c.start);
    EXPECT_EQ(model.Durable(), c.start);
    c.steps(model);
    EXPECT_EQ(model.Durable(), c.afterCut);
    // The plan turns the backing folder (the live tree) into exactly that.
    EXPECT_EQ(Apply(model.Live(), model.PlanCut()), c.afterCut);
    // After the cut the disk starts again from it, all of it durable.
    EXPECT_EQ(Model(c.afterCut).Durable(), c.afterCut);
  }
}

TEST(PowerCutModel, TheLiveTreeFollowsEveryChange) {
  Model model({{"/a", File("1")}, {"/d", kFolder}});
  EXPECT_TRUE(model.CreateFile("/d/n"));
  EXPECT_TRUE(model.Write(model.Lookup("/d/n"), 2, "x"));
  EXPECT_TRUE(model.Rename("/a", "/d/a"));
  EXPECT_TRUE(model.MakeFolder("/e"));
  EXPECT_EQ(model.Live(), (Tree{{"/d", kFolder},
                                {"/d/a", File("1")},
                                {"/d/n", File(std::string("\0\0x", 3))},
                                {"/e", kFolder}}));
}

// Only what changed is touched at a cut: the backing folder may hold thousands of files.
TEST(PowerCutModel, TheCutPlanLeavesAloneWhatIsAlreadyDurable) {
  Model model({{"/a", File("1")}, {"/b", File("2")}, {"/d", kFolder}, {"/d/c", File("3")}});
  EXPECT_TRUE(model.CreateFile("/d/new"));
  EXPECT_TRUE(model.Write(model.Lookup("/b"), 0, "X"));
  EXPECT_TRUE(model.Unlink("/d/c"));
  const CutPlan plan = model.PlanCut();
  EXPECT_EQ(plan.remove, (std::vector<std::string>{"/d/new", "/b"}));
  EXPECT_EQ(plan.write, (std::vector<std::pair<std::string, TreeEntry>>{
                            {"/b", File("2")}, {"/d/c", File("3")}}));
}

TEST(PowerCutModel, RefusesWhatTheTreeDoesNotAllow) {
  const Tree start{{"/f", File("1")}, {"/d", kFolder}, {"/d/g", File("2")}, {"/e", kFolder}};
  const std::vector<std::pair<const char*, std::function<bool(Model&)>>> refused = {
      {"create an existing name", [](Model& m) { return m.CreateFile("/f"); }},
      {"create below a missing folder", [](Model& m) { return m.CreateFile("/x/f"); }},
      {"create below a file", [](Model& m) { return m.CreateFile("/f/g"); }},
      {"make an existing folder", [](Model& m) { return m.MakeFolder("/d"); }},
      {"write to a folder", [](Model& m) { return m.Write(m.Lookup("/d"), 0, "x"); }},
      {"write to no file", [](Model& m) { return m.Write(0, 0, "x"); }},
      {"sync a file as a folder", [](Model& m) { return m.SyncFolder("/f"); }},
      {"unlink a folder", [](Model& m) { return m.Unlink("/d"); }},
      {"unlink a missing name", [](Model& m) { return m.Unlink("/nothing"); }},
      {"remove a folder that holds a file", [](Model& m) { return m.RemoveFolder("/d"); }},
      {"remove the root", [](Model& m) { return m.RemoveFolder("/"); }},
      {"rename a folder below itself", [](Model& m) { return m.Rename("/d", "/d/x"); }},
      {"rename a file over a folder", [](Model& m) { return m.Rename("/f", "/e"); }},
      {"rename a folder over a full one", [](Model& m) { return m.Rename("/e", "/d"); }},
      {"rename a missing name", [](Model& m) { return m.Rename("/nothing", "/x"); }},
      {"link a folder", [](Model& m) { return m.Link("/d", "/x"); }},
      {"link over a name", [](Model& m) { return m.Link("/f", "/d/g"); }},
  };
  for (const auto& [name, step] : refused) {
    SCOPED_TRACE(name);
    Model model(start);
    EXPECT_FALSE(step(model));
    EXPECT_EQ(model.Live(), start);
  }
}

}  // namespace
}  // namespace orvelgate::faults
