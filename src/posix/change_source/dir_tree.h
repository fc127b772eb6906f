// The watched directories as a tree of names, so that a renamed directory
// moves its whole subtree at once and every later path below it is new.
//
// A tree of a whole file system has hundreds of thousands of nodes, so each
// is kept small: its children are a linked list through the nodes
// themselves, and one index shared by the whole tree finds a child by its
// parent and name.
//
// A kernel watch belongs to an inode, not to a path, so one watch number can
// stand for several folders: a folder bind-mounted on another in the tree,
// and for a moment a folder in mid-move or exchanged with another. The watch
// index keeps, for each number, every node that holds it, in the tree or in
// mid-move; the watch is given back only when the last of them goes.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace posix {

struct DirNode {
    DirNode* parent = nullptr;
    DirNode* firstChild = nullptr;
    DirNode* nextSibling = nullptr;
    DirNode* prevSibling = nullptr;
    int wd = -1;
    std::string name;  // for the root: its absolute path
};

class DirTree {
  public:
    explicit DirTree(std::string rootPath);
    ~DirTree();
    DirTree(DirTree&& other) noexcept;
    DirTree& operator=(DirTree&& other) noexcept;
    DirTree(const DirTree&) = delete;
    DirTree& operator=(const DirTree&) = delete;

    DirNode* Root() { return m_root; }
    const DirNode* Root() const { return m_root; }
    // The nodes in the tree (not in mid-move) that the watch stands for.
    std::vector<DirNode*> Owners(int wd) const;
    // One of them, or null.
    DirNode* Find(int wd) const;
    // The first of them that is not among done, or null.
    DirNode* OwnerNotIn(int wd, const std::vector<const DirNode*>& done) const;
    // Whether any node, in the tree or in mid-move, still holds the watch.
    bool Holds(int wd) const { return m_byWd.count(wd) > 0; }
    // Whether node is in the tree, not in a subtree in mid-move.
    bool InTree(const DirNode* node) const;
    DirNode* Child(DirNode* parent, std::string_view name) const;

    // The child of that name, made when missing.
    DirNode* AddChild(DirNode* parent, std::string_view name);
    void SetWd(DirNode* node, int wd);

    // A walk that fills a part of the tree that had no folders yet builds it
    // on several threads without a lock: each adds children only to the
    // folders it read, unindexed, and sets their wd itself. IndexBelow then
    // makes them findable, by name and by watch, top's watch included.
    static DirNode* AddUnindexed(DirNode* parent, std::string_view name);
    // A name given twice keeps its first node; the wds that no node holds
    // any more once the others are dropped are returned.
    std::vector<int> IndexBelow(DirNode* top, size_t count);

    // Removes node and its subtree (never the root); returns the wds that
    // no node left in the tree stands for.
    std::vector<int> Remove(DirNode* node);

    // Takes node and its subtree out of the tree, but keeps them: a directory
    // in mid-move, whose destination is not known yet. Neither its name nor
    // its watches find it any more, so its own events fall silent.
    void Detach(DirNode* node);
    // Puts a detached subtree back, under newParent as newName, replacing
    // whatever was there (the wds that nothing holds any more are returned).
    // Its watches find it again.
    std::vector<int> Attach(DirNode* node, DirNode* newParent, std::string_view newName);
    // Takes the child of that name out of the tree without freeing it, for
    // the caller to attach elsewhere or discard; null when there is none.
    DirNode* TakeChild(DirNode* parent, std::string_view name);
    // Frees a detached subtree; returns the wds that no node holds any more.
    std::vector<int> Discard(DirNode* node);

    void SetRootPath(std::string path) { m_root->name = std::move(path); }

    std::string PathOf(const DirNode* node) const;
    std::string PathOf(const DirNode* node, std::string_view name) const;
    // The same, written over *path, whose room is kept from call to call.
    void PathOf(const DirNode* node, std::string_view name, std::string* path) const;

    // Every node, parents before children.
    template <typename Visit>
    void ForEach(Visit visit);

  private:
    struct KeyHash {
        size_t operator()(const DirNode* node) const;
    };
    struct KeyEqual {
        bool operator()(const DirNode* a, const DirNode* b) const {
            return a->parent == b->parent && a->name == b->name;
        }
    };

    void Link(DirNode* node, DirNode* parent);
    static void LinkSibling(DirNode* node, DirNode* parent);
    static void UnlinkSibling(DirNode* node);
    void Unlink(DirNode* node);
    // Node and the nodes below it, parents first; below only those for
    // which visit returns true.
    template <typename Visit>
    static void ForEachBelow(DirNode* node, Visit visit);
    // Drops node and its subtree from the indexes, collecting the wds that
    // no other node holds, and frees them.
    void Destroy(DirNode* node, std::vector<int>* wds);
    void Clear();

    DirNode* m_root;
    std::unordered_set<DirNode*, KeyHash, KeyEqual> m_byName;  // every node but the root
    void Own(DirNode* node, int wd);
    // Drops node from the holders of its watch; true when none is left.
    bool Disown(DirNode* node);

    std::unordered_map<int, std::vector<DirNode*>> m_byWd;  // every holder of each watch
    std::unordered_set<DirNode*> m_detached;
    mutable DirNode m_probe;  // the key of a lookup, so it needs no node of its own
};

template <typename Visit>
void DirTree::ForEach(Visit visit) {
    ForEachBelow(m_root, [&visit](DirNode* node) {
        visit(node);
        return true;
    });
}

template <typename Visit>
void DirTree::ForEachBelow(DirNode* node, Visit visit) {
    std::vector<DirNode*> stack{node};
    while (!stack.empty()) {
        DirNode* top = stack.back();
        stack.pop_back();
        if (!visit(top)) continue;
        for (DirNode* child = top->firstChild; child; child = child->nextSibling) {
            stack.push_back(child);
        }
    }
}

}  // namespace posix
