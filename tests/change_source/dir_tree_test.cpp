#include "change_source/dir_tree.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

// A rename as the change source makes it: the directory leaves at its first
// end and lands at its second.
std::vector<int> Rename(posix::DirTree& tree, posix::DirNode* node, posix::DirNode* newParent,
                        const char* newName) {
    tree.Detach(node);
    return tree.Attach(node, newParent, newName);
}

// /w/d watched as 1, with /w/d/sub watched as 2, in mid-move.
posix::DirNode* DetachedFolder(posix::DirTree& tree) {
    posix::DirNode* d = tree.AddChild(tree.Root(), "d");
    tree.SetWd(d, 1);
    tree.SetWd(tree.AddChild(d, "sub"), 2);
    tree.Detach(d);
    return d;
}

TEST(DirTreeTest, RenamingADirectoryRenamesEverythingBelowIt) {
    posix::DirTree tree("/w");
    posix::DirNode* a = tree.AddChild(tree.Root(), "a");
    posix::DirNode* b = tree.AddChild(a, "b");
    posix::DirNode* c = tree.AddChild(b, "c");
    posix::DirNode* other = tree.AddChild(tree.Root(), "other");
    tree.SetWd(c, 7);

    Rename(tree, a, other, "renamed");
    EXPECT_EQ(tree.PathOf(c), "/w/other/renamed/b/c");
    EXPECT_EQ(tree.PathOf(tree.Find(7), "f"), "/w/other/renamed/b/c/f");
    EXPECT_EQ(tree.Child(tree.Root(), "a"), nullptr);
}

TEST(DirTreeTest, MovingOverADirectoryReplacesItAndGivesBackItsWatches) {
    posix::DirTree tree("/w");
    posix::DirNode* a = tree.AddChild(tree.Root(), "a");
    posix::DirNode* b = tree.AddChild(tree.Root(), "b");
    tree.SetWd(a, 1);
    tree.SetWd(b, 2);
    tree.SetWd(tree.AddChild(b, "inner"), 3);
    std::vector<int> replaced = Rename(tree, a, tree.Root(), "b");
    std::sort(replaced.begin(), replaced.end());
    EXPECT_EQ(replaced, (std::vector<int>{2, 3}));
    EXPECT_EQ(tree.Find(1), a);
    EXPECT_EQ(tree.Find(3), nullptr);
    EXPECT_EQ(tree.PathOf(a), "/w/b");
}

TEST(DirTreeTest, RemovingASubtreeForgetsItsWatches) {
    posix::DirTree tree("/w");
    posix::DirNode* a = tree.AddChild(tree.Root(), "a");
    tree.SetWd(a, 1);
    tree.SetWd(tree.AddChild(a, "b"), 2);
    std::vector<int> wds = tree.Remove(a);
    std::sort(wds.begin(), wds.end());
    EXPECT_EQ(wds, (std::vector<int>{1, 2}));
    EXPECT_EQ(tree.Find(1), nullptr);
    EXPECT_EQ(tree.Find(2), nullptr);
    EXPECT_TRUE(tree.Remove(tree.Root()).empty());
}

// A directory in mid-move: out of sight until it lands, and its watch kept
// by whoever holds it when it is given up.
TEST(DirTreeTest, ADetachedSubtreeIsOutOfSightUntilItIsAttachedAgain) {
    posix::DirTree tree("/w");
    posix::DirNode* d = DetachedFolder(tree);
    EXPECT_EQ(tree.Child(tree.Root(), "d"), nullptr);
    EXPECT_EQ(tree.Find(1), nullptr);
    EXPECT_EQ(tree.Find(2), nullptr);
    posix::DirNode* fresh = tree.AddChild(tree.Root(), "d");
    EXPECT_NE(fresh, d) << "a folder made in its place is a new one";

    posix::DirNode* target = tree.AddChild(tree.Root(), "t");
    EXPECT_TRUE(tree.Attach(d, target, "e").empty());
    EXPECT_EQ(tree.PathOf(tree.Find(2)), "/w/t/e/sub");
    EXPECT_EQ(tree.Child(target, "e"), d);
}

TEST(DirTreeTest, AWatchTakenByAnotherNodeOutlivesTheNodeThatHadItFirst) {
    posix::DirTree tree("/w");
    posix::DirNode* d = DetachedFolder(tree);
    // The same directory came back under another name: the kernel gives
    // its old watch again.
    posix::DirNode* back = tree.AddChild(tree.Root(), "back");
    tree.SetWd(back, 1);
    EXPECT_EQ(tree.Discard(d), (std::vector<int>{2}));
    EXPECT_EQ(tree.Find(1), back);
    EXPECT_TRUE(tree.Discard(d).empty()) << "only a detached node is discarded";

    posix::DirNode* other = tree.AddChild(tree.Root(), "other");
    tree.SetWd(other, 1);
    EXPECT_TRUE(tree.Remove(back).empty());
    EXPECT_EQ(tree.Find(1), other);
}

TEST(DirTreeTest, PathsBelowTheFileSystemRootHaveOneSlash) {
    posix::DirTree tree("/");
    EXPECT_EQ(tree.PathOf(tree.AddChild(tree.Root(), "tmp"), "f"), "/tmp/f");
    tree.SetRootPath("/moved");
    EXPECT_EQ(tree.PathOf(tree.Child(tree.Root(), "tmp")), "/moved/tmp");
}

TEST(DirTreeTest, SiblingsStayFindableWhateverIsRemovedAroundThem) {
    posix::DirTree tree("/w");
    for (int i = 0; i < 6; ++i) tree.SetWd(tree.AddChild(tree.Root(), std::to_string(i)), i + 1);
    for (const char* name : {"0", "3", "5"}) tree.Remove(tree.Child(tree.Root(), name));
    std::vector<std::string> left;
    tree.ForEach([&](posix::DirNode* node) {
        if (node->parent) left.push_back(node->name);
    });
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"1", "2", "4"}));
    EXPECT_EQ(tree.Find(3)->name, "2");
    EXPECT_EQ(tree.Find(4), nullptr);
    EXPECT_EQ(tree.AddChild(tree.Root(), "4"), tree.Find(5));  // found, not made twice
}

// One watch can stand for several folders. Each row starts from /w/a
// (watch 1) with /w/a/s (2), and /w/b (3); it acts, and says which watches
// were given back and which folders in the tree each watch then stands for.
struct OwnershipRow {
    const char* name;
    std::function<std::vector<int>(posix::DirTree&, posix::DirNode* a, posix::DirNode* b)> act;
    std::vector<int> givenBack;
    std::map<int, std::vector<std::string>> owners;
};

posix::DirNode* Watched(posix::DirTree& tree, posix::DirNode* parent, const char* name, int wd) {
    posix::DirNode* node = tree.AddChild(parent, name);
    tree.SetWd(node, wd);
    return node;
}

TEST(DirTreeTest, AWatchIsGivenBackOnlyWhenNoFolderHoldsIt) {
    const std::vector<OwnershipRow> rows = {
        {"a folder bound on another: both hear the watch",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode*) {
             Watched(t, Watched(t, t.Root(), "m", 1), "s", 2);
             (void)a;
             return std::vector<int>{};
         },
         {},
         {{1, {"/w/a", "/w/m"}}, {2, {"/w/a/s", "/w/m/s"}}, {3, {"/w/b"}}}},
        {"unbound again: the source keeps its watches",
         [](posix::DirTree& t, posix::DirNode*, posix::DirNode*) {
             posix::DirNode* m = Watched(t, t.Root(), "m", 1);
             Watched(t, m, "s", 2);
             return t.Remove(m);
         },
         {},
         {{1, {"/w/a"}}, {2, {"/w/a/s"}}, {3, {"/w/b"}}}},
        {"the last holder gives its watches back",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode*) { return t.Remove(a); },
         {1, 2},
         {{3, {"/w/b"}}}},
        {"an exchange keeps both folders' watches",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode* b) {
             t.Detach(a);
             t.Detach(b);
             std::vector<int> back = t.Attach(a, t.Root(), "b");
             for (int wd : t.Attach(b, t.Root(), "a")) back.push_back(wd);
             return back;
         },
         {},
         {{1, {"/w/b"}}, {2, {"/w/b/s"}}, {3, {"/w/a"}}}},
        {"moved out and straight back: the old record goes, the watches stay",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode*) {
             t.Detach(a);
             Watched(t, Watched(t, t.Root(), "a", 1), "s", 2);
             return t.Discard(a);
         },
         {},
         {{1, {"/w/a"}}, {2, {"/w/a/s"}}, {3, {"/w/b"}}}},
        {"a folder in mid-move keeps its watch alive, out of sight",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode*) {
             t.Detach(a);
             return t.Remove(Watched(t, t.Root(), "m", 1));
         },
         {},
         {{3, {"/w/b"}}}},
        {"a folder moved onto another replaces it",
         [](posix::DirTree& t, posix::DirNode* a, posix::DirNode*) {
             t.Detach(a);
             return t.Attach(a, t.Root(), "b");
         },
         {3},
         {{1, {"/w/b"}}, {2, {"/w/b/s"}}}},
        {"a large watch number costs no more than a small one",
         [](posix::DirTree& t, posix::DirNode*, posix::DirNode* b) {
             t.SetWd(b, 1 << 30);
             return std::vector<int>{};
         },
         {},
         {{1, {"/w/a"}}, {2, {"/w/a/s"}}, {1 << 30, {"/w/b"}}}},
    };
    for (const OwnershipRow& row : rows) {
        SCOPED_TRACE(row.name);
        posix::DirTree tree("/w");
        posix::DirNode* a = Watched(tree, tree.Root(), "a", 1);
        Watched(tree, a, "s", 2);
        posix::DirNode* b = Watched(tree, tree.Root(), "b", 3);
        std::vector<int> back = row.act(tree, a, b);
        std::sort(back.begin(), back.end());
        EXPECT_EQ(back, row.givenBack);
        std::map<int, std::vector<std::string>> owners;
        tree.ForEach([&](posix::DirNode* node) {
            if (node->wd < 0 || owners.count(node->wd)) return;
            for (posix::DirNode* owner : tree.Owners(node->wd)) {
                owners[node->wd].push_back(tree.PathOf(owner));
            }
            std::sort(owners[node->wd].begin(), owners[node->wd].end());
        });
        EXPECT_EQ(owners, row.owners);
    }
}

// A walk below a new folder builds its part unindexed, then indexes it.
// /w/n (watch 4) holds x (5) with x/y (6), and is listed with a second x
// (5 again, the same folder listed twice) holding z (7).
TEST(DirTreeTest, AFreshPartIsFoundOnceIndexedAndANameListedTwiceKeepsItsFirstFolder) {
    posix::DirTree tree("/w");
    posix::DirNode* a = Watched(tree, tree.Root(), "a", 1);
    posix::DirNode* n = tree.AddChild(tree.Root(), "n");
    n->wd = 4;
    posix::DirNode* x = posix::DirTree::AddUnindexed(n, "x");
    x->wd = 5;
    posix::DirNode* y = posix::DirTree::AddUnindexed(x, "y");
    y->wd = 6;
    posix::DirNode* twice = posix::DirTree::AddUnindexed(n, "x");
    twice->wd = 5;
    posix::DirTree::AddUnindexed(twice, "z")->wd = 7;
    EXPECT_EQ(tree.Child(n, "x"), nullptr);
    EXPECT_EQ(tree.Find(6), nullptr);

    EXPECT_EQ(tree.IndexBelow(n, 5), std::vector<int>{7});
    EXPECT_EQ(tree.Child(n, "x"), x);
    EXPECT_EQ(tree.Child(x, "y"), y);
    EXPECT_EQ(tree.Find(4), n);
    EXPECT_EQ(tree.Owners(5), std::vector<posix::DirNode*>{x});
    EXPECT_EQ(tree.Find(6), y);
    EXPECT_FALSE(tree.Holds(7));
    EXPECT_EQ(tree.Child(tree.Root(), "a"), a);
    std::vector<std::string> paths;
    tree.ForEach([&](posix::DirNode* node) { paths.push_back(tree.PathOf(node)); });
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/w", "/w/a", "/w/n", "/w/n/x", "/w/n/x/y"}));
}

// A chain far deeper than any stack could recurse through: every path and
// every traversal of it must work one level at a time.
constexpr int kDeep = 200000;

// /w/0/1/.../(depth-1), the folder at each level watched as its depth + 1.
std::vector<posix::DirNode*> Chain(posix::DirTree& tree, posix::DirNode* top, int depth) {
    std::vector<posix::DirNode*> chain;
    for (posix::DirNode* node = top; static_cast<int>(chain.size()) < depth;) {
        node = tree.AddChild(node, std::to_string(chain.size()));
        tree.SetWd(node, static_cast<int>(chain.size()) + 1);
        chain.push_back(node);
    }
    return chain;
}

std::string ChainPath(const std::string& top, int depth) {
    std::string path = top;
    for (int i = 0; i < depth; ++i) path += "/" + std::to_string(i);
    return path;
}

TEST(DirTreeTest, AVeryDeepChainHasPathsAndEveryTraversalReachesItsBottom) {
    posix::DirTree tree("/w");
    const std::vector<posix::DirNode*> chain = Chain(tree, tree.Root(), kDeep);
    EXPECT_EQ(tree.PathOf(chain.back()), ChainPath("/w", kDeep));
    EXPECT_EQ(tree.PathOf(chain.back(), "f"), ChainPath("/w", kDeep) + "/f");
    size_t visited = 0;
    tree.ForEach([&](posix::DirNode*) { ++visited; });
    EXPECT_EQ(visited, static_cast<size_t>(kDeep) + 1);

    // Renamed as a whole, then moved out and given up, then removed: the
    // watches of every level come back.
    posix::DirNode* other = tree.AddChild(tree.Root(), "other");
    Rename(tree, chain[0], other, "moved");
    EXPECT_EQ(tree.PathOf(chain[2]), "/w/other/moved/1/2");
    EXPECT_EQ(tree.Find(kDeep), chain.back());
    tree.Detach(chain[1]);
    EXPECT_EQ(tree.Find(kDeep), nullptr);
    EXPECT_EQ(tree.Discard(chain[1]).size(), static_cast<size_t>(kDeep) - 1);
    // The renamed top still holds watch 1, so a new chain's removal gives
    // back every watch but that one.
    const std::vector<posix::DirNode*> again = Chain(tree, tree.Root(), kDeep);
    EXPECT_EQ(tree.Remove(again[0]).size(), static_cast<size_t>(kDeep) - 1);
    Chain(tree, other, kDeep);  // left for the destructor
}

TEST(DirTreeTest, AVeryDeepTreeLeftDetachedOrReplacedIsFreed) {
    posix::DirTree tree("/w");
    const std::vector<posix::DirNode*> chain = Chain(tree, tree.Root(), kDeep);
    tree.Detach(chain[0]);
    tree = posix::DirTree("/v");
    EXPECT_EQ(tree.PathOf(tree.Root(), "x"), "/v/x");
}

TEST(DirTreeTest, PathsJoinTheRootAndTheNamesWithOneSlashEach) {
    struct Row {
        const char* root;
        std::vector<const char*> names;
        const char* last;
        const char* path;
    };
    const Row rows[] = {
        {"/w", {}, "", "/w"},
        {"/w", {}, "f", "/w/f"},
        {"/", {}, "f", "/f"},
        {"/", {"a", "b"}, "", "/a/b"},
        {"/", {"a", "b"}, "f", "/a/b/f"},
        {"/w/", {"a"}, "f", "/w/a/f"},
        {"", {"a"}, "", "/a"},
    };
    for (const Row& row : rows) {
        posix::DirTree tree(row.root);
        posix::DirNode* node = tree.Root();
        for (const char* name : row.names) node = tree.AddChild(node, name);
        EXPECT_EQ(tree.PathOf(node, row.last), row.path)
            << "root '" << row.root << "', last '" << row.last << "'";
    }
}

}  // namespace
