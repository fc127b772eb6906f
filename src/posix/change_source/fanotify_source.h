// A watch through fanotify filesystem marks: one mark covers a whole mounted
// file system, new folders included, so nothing is walked before the first
// line can come. Events name folders by file handle; a map from handle to
// path, kept current from the events themselves, turns them into paths.
// Needs CAP_SYS_ADMIN and a kernel that reports renames (5.17 or later).
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "change_source.h"
#include "content_tracker.h"
#include "fanotify_records.h"
#include "folder_map.h"
#include "listing_windows.h"
#include "mount_table.h"

namespace posix {

class FanotifySource : public ChangeSource {
  public:
    // Whether this process may place filesystem marks on this kernel.
    static bool Permitted();

    // Watches root and everything below it (only its own entries unless
    // recursive). Events elsewhere on the same file systems are dropped.
    FanotifySource(std::string root, bool recursive, Sink sink);
    ~FanotifySource() override;
    FanotifySource(const FanotifySource&) = delete;
    FanotifySource& operator=(const FanotifySource&) = delete;

    bool Start() override;
    void Stop() override;

  private:
    // One event, copied out of the read buffer, so it can wait for its
    // folder to be named.
    struct Name {
        std::string key;
        std::string name;
    };
    struct Event {
        uint64_t mask;
        Name dir;
        Name from;
        Name to;
        std::string item;
        ContentTracker::Clock::time_point read;
    };

    void Run();
    bool Drain();
    void Take(const FanotifyRecord& record, ContentTracker::Clock::time_point now);
    void Learn(const Event& event);
    void HandlePending(ContentTracker::Clock::time_point now);
    bool Handle(const Event& event);
    void HandleRename(const Event& event, const std::string& from, const std::string& to);
    void ListArrival(const std::string& top, const std::string& topKey);
    void TellIfExchange(const Event& event, const std::string& from, const std::string& to);
    void CloseWindowsOnceRead();
    void MoveClosed(const std::string& from, const std::optional<std::string>& to);
    void TellClosedAt(const std::string& path);
    void TellClosed();
    void HandleChange(const Event& event, const std::string& path);
    void HandleOnRoot(uint64_t mask);
    void GiveUp(const Event& event);
    std::optional<std::string> FolderPath(const std::string& key);
    std::optional<std::string> LookUp(const std::string& key);
    std::optional<std::string> Within(const std::string& path) const;
    bool MarkFileSystem(const std::string& path, const std::string& point);
    void LearnTree(const std::string& top, const std::string& topKey);
    void TakeMountTable(bool quiet);
    void WatchThroughInotify(const std::string& point);
    void OnMountsChanged();
    void Overflowed();
    void DropQueued(size_t from);
    void DropRecords(size_t from);
    void ReportDueContents();
    bool BindWithin(const std::string& key, const std::string& point);
    void TellAtBinds(LONG event, const std::string& path1, const std::string* path2);
    void Emit(LONG event, const std::string& path1, const std::string* path2 = nullptr);

    std::string m_root;      // as given
    std::string m_realRoot;  // with every link resolved, as the kernel names it
    const bool m_recursive;
    const Sink m_sink;
    const int32_t m_pid;
    FolderMap m_folders;
    ContentTracker m_contents;
    // Where each marked file system is mounted, by fsid, to look handles up.
    std::map<std::string, std::string> m_fileSystems;
    std::map<int, std::string> m_mounts;  // at the root or below, by mount id
    std::vector<std::string> m_refused;   // file systems that take no mark
    std::map<std::string, std::unique_ptr<ChangeSource>> m_others;  // inotify watches of those
    std::deque<Event> m_pending;                // waiting, in order, for a folder's name
    std::unordered_set<std::string> m_unnamed;  // folders no lookup can name any more
    std::string m_rootKey;                      // the root's own handle
    // What the listings of folders that arrived by a move told, by folder
    // handle, until the kernel's own events for the same changes are read.
    BasicListingWindows<std::string> m_windows;
    // The last rename told, to see an exchange in the rename straight after
    // it: the same two places, the other item.
    struct LastRename {
        std::string from;
        std::string to;
        std::string item;
    };
    LastRename m_lastRename;
    // Files whose writer closed them, told once the events read with them
    // are: the kernel folds a close into an earlier queued event for the
    // same file, ahead of a rename of its folder made in between, so they
    // follow renames until then.
    std::vector<std::string> m_closed;
    // Folders of the tree bound at a second place in it (a bind mount), as
    // the lines name them: the kernel names a change below such a folder
    // once, and it is told at each place.
    struct Bind {
        std::string folder;
        std::string point;
    };
    std::vector<Bind> m_binds;
    std::string m_lastGivenUp;  // the folder of the last UPDATEDIR of a folder never named
    bool m_rootIsDir = true;
    bool m_rootGone = false;
    int m_fanotifyFd = -1;
    int m_wakeFd = -1;
    int m_mountsFd = -1;
    std::vector<char> m_buffer;
    std::vector<FanotifyRecord> m_records;
    std::thread m_thread;
};

}  // namespace posix
