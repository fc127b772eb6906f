#include "dir_tree.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace posix {

size_t DirTree::KeyHash::operator()(const DirNode* node) const {
    const size_t name = std::hash<std::string>()(node->name);
    return name ^ (std::hash<const void*>()(node->parent) * 0x9E3779B97F4A7C15ull);
}

DirTree::DirTree(std::string rootPath) : m_root(new DirNode) {
    m_root->name = std::move(rootPath);
}

DirTree::~DirTree() {
    Clear();
}

DirTree::DirTree(DirTree&& other) noexcept
    : m_root(other.m_root),
      m_byName(std::move(other.m_byName)),
      m_byWd(std::move(other.m_byWd)),
      m_detached(std::move(other.m_detached)) {
    other.m_root = nullptr;
    other.m_detached.clear();
}

DirTree& DirTree::operator=(DirTree&& other) noexcept {
    if (this != &other) {
        Clear();
        m_root = other.m_root;
        m_byName = std::move(other.m_byName);
        m_byWd = std::move(other.m_byWd);
        m_detached = std::move(other.m_detached);
        other.m_root = nullptr;
        other.m_detached.clear();
    }
    return *this;
}

void DirTree::Clear() {
    std::vector<int> ignored;
    for (DirNode* node : m_detached) Destroy(node, &ignored);
    m_detached.clear();
    if (m_root) Destroy(m_root, &ignored);
    m_root = nullptr;
}

std::vector<DirNode*> DirTree::Owners(int wd) const {
    std::vector<DirNode*> owners;
    auto it = m_byWd.find(wd);
    if (it == m_byWd.end()) return owners;
    for (DirNode* node : it->second) {
        if (InTree(node)) owners.push_back(node);
    }
    return owners;
}

DirNode* DirTree::OwnerNotIn(int wd, const std::vector<const DirNode*>& done) const {
    auto it = m_byWd.find(wd);
    if (it == m_byWd.end()) return nullptr;
    for (DirNode* node : it->second) {
        if (InTree(node) && std::find(done.begin(), done.end(), node) == done.end()) return node;
    }
    return nullptr;
}

DirNode* DirTree::Find(int wd) const {
    auto it = m_byWd.find(wd);
    if (it == m_byWd.end()) return nullptr;
    for (DirNode* node : it->second) {
        if (InTree(node)) return node;
    }
    return nullptr;
}

bool DirTree::InTree(const DirNode* node) const {
    while (node->parent) node = node->parent;
    return node == m_root;
}

DirNode* DirTree::Child(DirNode* parent, std::string_view name) const {
    m_probe.parent = parent;
    m_probe.name.assign(name.data(), name.size());
    auto it = m_byName.find(&m_probe);
    return it == m_byName.end() ? nullptr : *it;
}

// One lookup in the name index, not two: the new node is its own key, and
// is dropped again when the name is taken.
DirNode* DirTree::AddChild(DirNode* parent, std::string_view name) {
    DirNode* node = new DirNode;
    node->parent = parent;
    node->name = std::string(name);
    auto [it, added] = m_byName.insert(node);
    if (!added) {
        delete node;
        return *it;
    }
    LinkSibling(node, parent);
    return node;
}

DirNode* DirTree::AddUnindexed(DirNode* parent, std::string_view name) {
    DirNode* node = new DirNode;
    node->parent = parent;
    node->name = std::string(name);
    LinkSibling(node, parent);
    return node;
}

// Every watch is owned first, so that dropping a second node of one name
// gives back only what no other node holds. Parents go before children, so
// the children of a dropped node are never indexed.
std::vector<int> DirTree::IndexBelow(DirNode* top, size_t count) {
    m_byName.reserve(m_byName.size() + count);
    m_byWd.reserve(m_byWd.size() + count);
    ForEachBelow(top, [this](DirNode* node) {
        if (node->wd >= 0) Own(node, node->wd);
        return true;
    });
    std::vector<int> wds;
    ForEachBelow(top, [this, top, &wds](DirNode* node) {
        if (node == top || m_byName.insert(node).second) return true;
        UnlinkSibling(node);
        Destroy(node, &wds);
        return false;
    });
    return wds;
}

void DirTree::SetWd(DirNode* node, int wd) {
    if (node->wd == wd) return;
    Disown(node);
    node->wd = wd;
    if (wd >= 0) Own(node, wd);
}

void DirTree::Own(DirNode* node, int wd) {
    m_byWd[wd].push_back(node);
}

bool DirTree::Disown(DirNode* node) {
    auto it = m_byWd.find(node->wd);
    if (it == m_byWd.end()) return false;
    std::vector<DirNode*>& holders = it->second;
    holders.erase(std::remove(holders.begin(), holders.end(), node), holders.end());
    if (!holders.empty()) return false;
    m_byWd.erase(it);
    return true;
}

std::vector<int> DirTree::Remove(DirNode* node) {
    std::vector<int> wds;
    if (!node->parent) return wds;
    Unlink(node);
    Destroy(node, &wds);
    return wds;
}

void DirTree::Detach(DirNode* node) {
    if (!node->parent) return;
    Unlink(node);
    node->parent = nullptr;
    m_detached.insert(node);
}

std::vector<int> DirTree::Attach(DirNode* node, DirNode* newParent, std::string_view newName) {
    std::vector<int> replaced;
    if (m_detached.erase(node) == 0) return replaced;
    if (DirNode* existing = Child(newParent, newName)) {
        Unlink(existing);
        Destroy(existing, &replaced);
    }
    node->name = std::string(newName);
    Link(node, newParent);
    return replaced;
}

DirNode* DirTree::TakeChild(DirNode* parent, std::string_view name) {
    DirNode* child = Child(parent, name);
    if (child) Detach(child);
    return child;
}

std::vector<int> DirTree::Discard(DirNode* node) {
    std::vector<int> wds;
    if (m_detached.erase(node) > 0) Destroy(node, &wds);
    return wds;
}

void DirTree::Link(DirNode* node, DirNode* parent) {
    node->parent = parent;
    m_byName.insert(node);
    LinkSibling(node, parent);
}

void DirTree::LinkSibling(DirNode* node, DirNode* parent) {
    node->prevSibling = nullptr;
    node->nextSibling = parent->firstChild;
    if (parent->firstChild) parent->firstChild->prevSibling = node;
    parent->firstChild = node;
}

void DirTree::Unlink(DirNode* node) {
    m_byName.erase(node);
    UnlinkSibling(node);
}

void DirTree::UnlinkSibling(DirNode* node) {
    if (node->prevSibling) {
        node->prevSibling->nextSibling = node->nextSibling;
    } else {
        node->parent->firstChild = node->nextSibling;
    }
    if (node->nextSibling) node->nextSibling->prevSibling = node->prevSibling;
    node->prevSibling = node->nextSibling = nullptr;
}

// Iterative, so a deep tree cannot exhaust the stack. The nodes below are
// unlinked from the name index before they go; node itself already is.
void DirTree::Destroy(DirNode* node, std::vector<int>* wds) {
    std::vector<DirNode*> stack{node};
    while (!stack.empty()) {
        DirNode* top = stack.back();
        stack.pop_back();
        for (DirNode* child = top->firstChild; child; child = child->nextSibling) {
            m_byName.erase(child);
            stack.push_back(child);
        }
        // A watch is shared by every path of one directory; it stays while
        // another node holds it.
        if (Disown(top)) wds->push_back(top->wd);
        delete top;
    }
}

std::string DirTree::PathOf(const DirNode* node) const {
    return PathOf(node, std::string_view());
}

std::string DirTree::PathOf(const DirNode* node, std::string_view name) const {
    std::string path;
    PathOf(node, name, &path);
    return path;
}

// Built without recursion, so a tree of any depth has a path, and without a
// list of the names on the way: one pass up sums the length, a second fills
// the path in from its end. Names below the root never hold a slash; the
// root's own trailing slash ("/") is the first separator.
void DirTree::PathOf(const DirNode* node, std::string_view name, std::string* path) const {
    const DirNode* top = node;
    size_t size = name.empty() ? 0 : name.size() + 1;
    for (; top->parent; top = top->parent) {
        if (!top->name.empty()) size += top->name.size() + 1;
    }
    const std::string& root = top->name;
    const bool rootEndsInSlash = !root.empty() && root.back() == '/';
    if (size > 0 && rootEndsInSlash) --size;
    size += root.size();
    path->assign(size, '/');
    size_t end = size;
    auto prepend = [&](std::string_view part) {
        if (part.empty()) return;
        end -= part.size();
        part.copy(&(*path)[end], part.size());
        --end;  // the slash before it, already in place
    };
    prepend(name);
    for (const DirNode* up = node; up->parent; up = up->parent) prepend(up->name);
    root.copy(&(*path)[0], root.size());
}

}  // namespace posix
