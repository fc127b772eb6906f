// The watched directories as a tree of names, so that a renamed directory
// moves its whole subtree at once and every later path below it is new.
//
// A tree of a whole file system has hundreds of thousands of nodes, so each
// is kept small: its children are a linked list through the nodes
// themselves, one index shared by the whole tree finds a child by its
// parent and name, and watches are found by their number in a plain vector
// (the kernel numbers them upwards from 1).
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>
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
    DirNode* Find(int wd) const;
    DirNode* Child(DirNode* parent, std::string_view name) const;

    // The child of that name, made when missing.
    DirNode* AddChild(DirNode* parent, std::string_view name);
    void SetWd(DirNode* node, int wd);

    // Removes node and its subtree (never the root); returns the wds that
    // no node left in the tree stands for.
    std::vector<int> Remove(DirNode* node);

    // Takes node and its subtree out of the tree, but keeps them: a directory
    // in mid-move, whose destination is not known yet. Neither its name nor
    // its watches find it any more, so its own events fall silent.
    void Detach(DirNode* node);
    // Puts a detached subtree back, under newParent as newName, replacing
    // whatever was there (whose wds are returned). Its watches find it again
    // unless a node in the tree took them meanwhile.
    std::vector<int> Attach(DirNode* node, DirNode* newParent, std::string_view newName);
    // Frees a detached subtree; returns the wds that no node in the tree took.
    std::vector<int> Discard(DirNode* node);

    void SetRootPath(std::string path) { m_root->name = std::move(path); }

    std::string PathOf(const DirNode* node) const;
    std::string PathOf(const DirNode* node, std::string_view name) const;

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
    void LinkSibling(DirNode* node, DirNode* parent);
    void Unlink(DirNode* node);
    // Drops node and its subtree from the indexes, collecting the wds that
    // no other node holds, and frees them.
    void Destroy(DirNode* node, std::vector<int>* wds);
    // Every node of the subtree, top first.
    static std::vector<DirNode*> Subtree(DirNode* top);
    void Clear();

    DirNode* m_root;
    std::unordered_set<DirNode*, KeyHash, KeyEqual> m_byName;  // every node but the root
    std::vector<DirNode*> m_byWd;
    std::unordered_set<DirNode*> m_detached;
    mutable DirNode m_probe;  // the key of a lookup, so it needs no node of its own
};

template <typename Visit>
void DirTree::ForEach(Visit visit) {
    std::vector<DirNode*> stack{m_root};
    while (!stack.empty()) {
        DirNode* node = stack.back();
        stack.pop_back();
        visit(node);
        for (DirNode* child = node->firstChild; child; child = child->nextSibling) {
            stack.push_back(child);
        }
    }
}

}  // namespace posix
