#include "content_tracker.h"

namespace posix {

void ContentTracker::Created(const std::string& path, Time now) {
    File& file = m_files[path];
    file.fresh = true;
    file.createdAt = now;
}

bool ContentTracker::IsFresh(const std::string& path, Time now) const {
    auto it = m_files.find(path);
    return it != m_files.end() && it->second.fresh && now - it->second.createdAt < kFreshAge;
}

void ContentTracker::Modified(const std::string& path, Time now) {
    File& file = m_files[path];
    if (!file.dirty) {
        file.dirty = true;
        file.dirtySince = now;
    }
    file.lastWrite = now;
}

bool ContentTracker::Closed(const std::string& path) {
    auto it = m_files.find(path);
    if (it == m_files.end()) return false;
    const bool changed = it->second.dirty;
    m_files.erase(it);
    return changed;
}

void ContentTracker::Forget(const std::string& path) {
    m_files.erase(path);
}

void ContentTracker::Renamed(const std::string& from, const std::string& to) {
    auto it = m_files.find(from);
    if (it == m_files.end()) return;
    File file = it->second;
    m_files.erase(it);
    m_files[to] = file;
}

std::vector<std::string> ContentTracker::Due(Time now) {
    std::vector<std::string> due;
    for (auto it = m_files.begin(); it != m_files.end();) {
        File& file = it->second;
        if (file.fresh && now - file.createdAt >= kFreshAge) file.fresh = false;
        if (file.dirty && now - file.dirtySince >= kOpenReportAge &&
            now - file.lastWrite >= kOpenReportQuiet) {
            due.push_back(it->first);
            file.dirty = false;
        }
        // A file neither dirty nor fresh has nothing left to time.
        if (!file.dirty && !file.fresh) {
            it = m_files.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

}  // namespace posix
