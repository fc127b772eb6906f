// Decides when a file's contents count as changed: once per completed change
// (the writer closed the file), never once per write(). A file that is kept
// open and written now and then is reported while open too, at most about
// once a second, once its writer pauses.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "fresh_files.h"

namespace posix {

class ContentTracker {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    // How long a file must have been dirty, and its writer quiet, before a
    // file still open is reported.
    static constexpr std::chrono::milliseconds kOpenReportAge{1000};
    static constexpr std::chrono::milliseconds kOpenReportQuiet{300};
    // How long after its creation a file's attribute changes count as part
    // of making it (touch sets the times of the file it has just created).
    static constexpr std::chrono::milliseconds kFreshAge{1000};

    void Created(const std::string& path, Time now);
    // True when an attribute change on path belongs to its creation.
    bool IsFresh(const std::string& path, Time now) const;
    void Modified(const std::string& path, Time now);
    // The writer closed path: true when its contents changed since the last
    // report.
    bool Closed(const std::string& path);
    // Path and everything below it are gone.
    void Forget(const std::string& path);
    // Path, and everything below it, now has the name to.
    void Renamed(const std::string& from, const std::string& to);

    struct Dirty {
        Time since;
        Time lastWrite;
    };
    // The changes still to report at a path or below it, by what follows
    // that path; an item in mid-move carries them until it lands.
    using Parcel = std::vector<std::pair<std::string, Dirty>>;
    Parcel Take(const std::string& path);
    void Put(const Parcel& parcel, const std::string& path);

    // Files still open whose change is due now; they count as reported.
    std::vector<std::string> Due(Time now);
    // Whether anything waits on time, so the caller knows to wake up.
    bool Waiting() const { return !m_dirty.empty() || !m_fresh.Empty(); }
    // Whether a file still open may come due. Fresh files alone need no
    // report, only their memory let go, which their age is soon enough for.
    bool WaitingForWriters() const { return !m_dirty.empty(); }

  private:
    // Files written since they were last reported.
    std::unordered_map<std::string, Dirty> m_dirty;
    FreshFiles m_fresh{kFreshAge};
};

}  // namespace posix
