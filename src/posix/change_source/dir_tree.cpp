#include "dir_tree.h"

#include <utility>

namespace posix {

DirTree::DirTree(std::string rootPath) : m_root(new DirNode) {
    m_root->name = std::move(rootPath);
}

DirNode* DirTree::Find(int wd) const {
    auto it = m_byWd.find(wd);
    return it == m_byWd.end() ? nullptr : it->second;
}

DirNode* DirTree::Child(DirNode* parent, std::string_view name) const {
    auto it = parent->children.find(std::string(name));
    return it == parent->children.end() ? nullptr : it->second.get();
}

DirNode* DirTree::AddChild(DirNode* parent, std::string_view name) {
    std::unique_ptr<DirNode>& slot = parent->children[std::string(name)];
    if (!slot) {
        slot.reset(new DirNode);
        slot->parent = parent;
        slot->name = std::string(name);
    }
    return slot.get();
}

void DirTree::SetWd(DirNode* node, int wd) {
    if (node->wd >= 0) m_byWd.erase(node->wd);
    node->wd = wd;
    if (wd >= 0) m_byWd[wd] = node;
}

std::vector<int> DirTree::Move(DirNode* node, DirNode* newParent, std::string_view newName) {
    std::vector<int> replaced;
    // Moving a directory into its own subtree cannot happen on disk; refuse it
    // rather than detach the tree from its root.
    for (const DirNode* up = newParent; up; up = up->parent) {
        if (up == node) return replaced;
    }
    std::unique_ptr<DirNode> owned = std::move(node->parent->children[node->name]);
    node->parent->children.erase(node->name);
    auto existing = newParent->children.find(std::string(newName));
    if (existing != newParent->children.end()) {
        Forget(existing->second.get(), &replaced);
        newParent->children.erase(existing);
    }
    node->parent = newParent;
    node->name = std::string(newName);
    newParent->children[node->name] = std::move(owned);
    return replaced;
}

std::vector<int> DirTree::Remove(DirNode* node) {
    std::vector<int> wds;
    if (!node->parent) return wds;
    Forget(node, &wds);
    node->parent->children.erase(node->name);
    return wds;
}

void DirTree::Forget(DirNode* node, std::vector<int>* wds) {
    if (node->wd >= 0) {
        wds->push_back(node->wd);
        m_byWd.erase(node->wd);
    }
    for (auto& child : node->children) Forget(child.second.get(), wds);
}

std::string DirTree::PathOf(const DirNode* node) const {
    if (!node->parent) return node->name;
    return PathOf(node->parent, node->name);
}

std::string DirTree::PathOf(const DirNode* node, std::string_view name) const {
    std::string path = PathOf(node);
    if (name.empty()) return path;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

}  // namespace posix
