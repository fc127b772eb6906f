#include "content_tracker.h"

namespace posix {

void ContentTracker::Created(const std::string& path, Time now) {
    m_fresh.Created(path, now);
}

bool ContentTracker::IsFresh(const std::string& path, Time now) const {
    return m_fresh.IsFresh(path, now);
}

void ContentTracker::Modified(const std::string& path, Time now) {
    auto [it, added] = m_dirty.try_emplace(path, Dirty{now, now});
    if (!added) it->second.lastWrite = now;
}

bool ContentTracker::Closed(const std::string& path) {
    m_fresh.Forget(path);
    return m_dirty.erase(path) > 0;
}

void ContentTracker::Forget(const std::string& path) {
    m_fresh.Forget(path);
    Take(path);
}

void ContentTracker::Renamed(const std::string& from, const std::string& to) {
    Put(Take(from), to);
}

// Files being written are few, so a walk over all of them is cheap.
ContentTracker::Parcel ContentTracker::Take(const std::string& path) {
    Parcel parcel;
    for (auto it = m_dirty.begin(); it != m_dirty.end();) {
        const std::string& name = it->first;
        const bool below = name.size() > path.size() && name.compare(0, path.size(), path) == 0 &&
                           (name[path.size()] == '/' || path == "/");
        if (name == path || below) {
            // What lies below, without the slash that joins it.
            const size_t skip = name == path ? name.size() : path.size() + (path == "/" ? 0 : 1);
            parcel.emplace_back(name.substr(skip), it->second);
            it = m_dirty.erase(it);
        } else {
            ++it;
        }
    }
    return parcel;
}

void ContentTracker::Put(const Parcel& parcel, const std::string& path) {
    for (auto& [rest, dirty] : parcel) {
        if (rest.empty()) {
            m_dirty[path] = dirty;
        } else {
            std::string full = path;
            if (path != "/") full += '/';
            full += rest;
            m_dirty[full] = dirty;
        }
    }
}

std::vector<std::string> ContentTracker::Due(Time now) {
    m_fresh.Expire(now);
    std::vector<std::string> due;
    for (auto it = m_dirty.begin(); it != m_dirty.end();) {
        if (now - it->second.since >= kOpenReportAge &&
            now - it->second.lastWrite >= kOpenReportQuiet) {
            due.push_back(it->first);
            it = m_dirty.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

}  // namespace posix
