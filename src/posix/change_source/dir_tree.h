// The watched directories as a tree of names, so that a renamed directory
// moves its whole subtree at once and every later path below it is new.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace posix {

struct DirNode {
    DirNode* parent = nullptr;
    std::string name;  // for the root: its absolute path
    int wd = -1;
    std::unordered_map<std::string, std::unique_ptr<DirNode>> children;
};

class DirTree {
  public:
    explicit DirTree(std::string rootPath);

    DirNode* Root() { return m_root.get(); }
    DirNode* Find(int wd) const;
    DirNode* Child(DirNode* parent, std::string_view name) const;

    // The child of that name, made when missing.
    DirNode* AddChild(DirNode* parent, std::string_view name);
    void SetWd(DirNode* node, int wd);

    // Moves node, with everything below it, under newParent as newName.
    // A node already there under that name is replaced; its wds are returned.
    std::vector<int> Move(DirNode* node, DirNode* newParent, std::string_view newName);

    // Removes node and its subtree (never the root); returns their wds.
    std::vector<int> Remove(DirNode* node);

    void SetRootPath(std::string path) { m_root->name = std::move(path); }

    std::string PathOf(const DirNode* node) const;
    std::string PathOf(const DirNode* node, std::string_view name) const;

    // Every node with its path, parents before children.
    template <typename Visit>
    void ForEach(Visit visit);

    size_t WatchCount() const { return m_byWd.size(); }

  private:
    void Forget(DirNode* node, std::vector<int>* wds);

    std::unique_ptr<DirNode> m_root;
    std::unordered_map<int, DirNode*> m_byWd;
};

template <typename Visit>
void DirTree::ForEach(Visit visit) {
    std::vector<DirNode*> stack{m_root.get()};
    while (!stack.empty()) {
        DirNode* node = stack.back();
        stack.pop_back();
        visit(node);
        for (auto& child : node->children) stack.push_back(child.second.get());
    }
}

}  // namespace posix
