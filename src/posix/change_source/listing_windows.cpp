#include "listing_windows.h"

#include <utility>

namespace posix {

bool ListingWindows::Listed(int wd, std::string name) {
    return m_folders[wd].insert(std::move(name)).second;
}

ListingWindows::Known ListingWindows::Check(int wd, std::string_view name) const {
    auto it = m_folders.find(wd);
    if (it == m_folders.end()) return Known::kUnknown;
    return it->second.count(std::string(name)) ? Known::kHeld : Known::kNotHeld;
}

void ListingWindows::Add(int wd, std::string_view name) {
    auto it = m_folders.find(wd);
    if (it != m_folders.end()) it->second.emplace(name);
}

void ListingWindows::Remove(int wd, std::string_view name) {
    auto it = m_folders.find(wd);
    if (it != m_folders.end()) it->second.erase(std::string(name));
}

}  // namespace posix
