// A recursive inotify watch of one item and everything below it, turned into
// shell events. It runs on a thread of its own from Start to Stop.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <windows.h>

#include "change_source.h"
#include "content_tracker.h"
#include "dir_tree.h"
#include "folder_descriptors.h"
#include "hand_over.h"
#include "held_lines.h"
#include "inotify_buffer.h"
#include "leaf_folders.h"
#include "listing_windows.h"
#include "mount_table.h"
#include "rename_pairer.h"
#include "spinning_mutex.h"
#include "thread_queue.h"

namespace posix {

class Watcher : public ChangeSource {
  public:
    Watcher(std::string root, bool recursive, Sink sink);
    ~Watcher() override;
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Watches the tree, then starts the thread. False (with a line on
    // standard error) when nothing could be watched.
    bool Start() override;
    // Stops the thread; no sink call happens after it returns.
    void Stop() override;
    // Whether the walk that armed the tree met the inotify watch limit.
    bool MetWatchLimit() const { return m_limitTold; }
    // Before Start: the queue that the lines go to. Its owner reads the
    // kernel's queue while it idles, and handles what needs no walk, so
    // that an event's line needs no second thread's wake-up
    // (watcher_reading.cpp).
    void ShareReadingWith(std::shared_ptr<ThreadQueue> loop) { m_loop = std::move(loop); }

  private:
    class LoopShare;
    enum class ReadResult { kRead, kNothing, kFailed };
    void Run();
    SourceWake LeaveToLoop(SourceWake woken);
    bool LoopReadsOn() const;
    bool Drain(bool* readAny);
    // Reads at most most bytes of events, and no more than the buffer holds.
    ReadResult ReadEvents(size_t most = SIZE_MAX);
    // Whether the last read left the kernel's queue empty.
    bool ReadToTheEnd() const;
    void DropQueuedEvents();
    bool StepOnLoop();
    bool StepOnLoopWith(const char* data, size_t size, size_t asked);
    bool LoopMayWaitInRead() const;
    bool HandleOnLoop();
    void TakeEvents(const char* data, size_t size, size_t asked);
    bool LeaveToThread();
    bool QuickToHandle(const InotifyEvent& event) const;
    int WaitTimeout() const;
    void ShareWithLoop();
    void StopSharing();
    std::unique_lock<SpinningMutex> HoldEvents();
    void Handle(const InotifyEvent& event);
    void HandleIn(DirNode* node, const InotifyEvent& event, ListingWindows::Known known,
                  uint32_t cookie);
    void ForgetWatch(int wd);
    void HandleOnItself(DirNode* node, uint32_t mask);
    void WatchIfNowOpen(DirNode* parent, const std::string& name, const std::string& path);
    void HandleMovedTo(DirNode* node, const InotifyEvent& event, const std::string& path,
                       ListingWindows::Known known, uint32_t cookie);
    DirNode* TakeMoving(DirNode* parent, const std::string& name);
    void Land(DirNode* parent, const std::string& name, DirNode* moved, bool told);
    void WatchUnwatched(DirNode* top);
    void TellIfExchange(const std::string& from, const std::string& to);
    void DropDisplaced();
    void HandleMoveOut(const MoveEnd& end);
    void FlushUnpaired(const std::vector<MoveEnd>& ends);
    void ReportDueContents();
    MountChanges TakeMountTable();
    void OnMountsChanged();
    DirNode* WatchedParentOf(const std::string& path, std::string* name);
    void RewatchAt(const std::string& path);
    void Rescan();

    // Watches node and, when recursive, everything below it. With report,
    // each entry found is reported as created (a directory that was filled
    // before its watch was in place).
    void WatchTree(DirNode* node, bool report);
    struct Walk {
        // A folder found and not yet read. It is opened from its parent's
        // descriptor, or, when the walk held too many, by its names from the
        // walk's top.
        struct Folder {
            DirNode* node = nullptr;
            std::shared_ptr<const HeldFolder> parent;
            size_t pathSize = 0;  // at most its path's length
        };
        SpinningMutex lock;
        SpinningCondition changed;
        std::vector<Folder> pending;  // taken last first, so the walk goes deep first
        size_t busy = 0;              // directories being read
        size_t walked = 0;
        size_t unwatched = 0;  // refused by the watch limit
        bool report = false;
        bool fresh = false;  // no folder below top is in the tree yet
        const DirNode* top = nullptr;
        int topFd = -1;
        size_t skipSize = 0;  // the longest path of a mount point skipped
        std::atomic<size_t> held{0};
    };
    // What one walking thread keeps from folder to folder.
    struct WalkHand {
        std::vector<char>* listing = nullptr;
        std::vector<std::string> dirs;  // the subfolders of the folder read
        std::vector<DirNode*> found;    // their nodes
        LeafTest leaves;
    };
    struct Visited {
        int wd = -1;
        int error = 0;                           // when wd is -1
        std::shared_ptr<const HeldFolder> held;  // for the subfolders found, if any
    };
    static size_t HeldFolderLimit();
    void WalkPart(Walk* walk, std::vector<char>* listing);
    bool Skipped(const Walk& walk, const Walk::Folder& folder) const;
    Visited VisitDirectory(Walk* walk, Walk::Folder folder, WalkHand* hand);
    void AddFound(const Walk& walk, DirNode* node, const Visited& visited, WalkHand* hand);
    int OpenInWalk(const Walk& walk, const Walk::Folder& folder) const;
    std::shared_ptr<const HeldFolder> Hold(Walk* walk, int fd) const;
    void WarnUnopened(const DirNode* node, int error) const;
    int OpenDirectory(const DirNode* node) const;
    int AddWatch(int dirFd) const;
    void ScanDirectory(int dirFd, int wd, const std::string& path, bool report,
                       std::vector<char>* listing, std::vector<std::string>* dirs);
    void ReportWatchLimit(const std::string& top, size_t unwatched, size_t walked);
    void Unwatch(const std::vector<int>& wds);
    void Emit(LONG event, const std::string& path1, const std::string* path2 = nullptr);
    // Gives the line of a held move its place, and lets out what it held back.
    void Settle(uint32_t cookie, LONG event, const std::string& path1,
                const std::string* path2 = nullptr);
    std::string FindMovedRoot();
    std::string PathByHandle(const std::string& parent);
    std::string PathByInode(const std::string& parent);

    const bool m_recursive;
    const Sink m_sink;
    DirTree m_tree;
    RenamePairer m_pairer;  // the moves in progress
    HeldLines m_held;
    ContentTracker m_contents;
    std::unordered_set<std::string> m_skipped;  // pseudo file systems' mount points
    std::map<int, std::string> m_mounts;        // the mounts at the root and below it, by id
    std::string m_realRoot;                     // the root as the mount table names it
    // What the listings of new folders told, until the kernel's own events
    // for the same changes have all been read.
    ListingWindows m_windows;
    // A folder that a move landed on, taken out of the tree. It is dropped
    // at the next event, unless that event moves it away: then the two
    // folders were exchanged, and it is the one that moves.
    struct Displaced {
        DirNode* parent = nullptr;
        std::string name;
        DirNode* node = nullptr;
    };
    Displaced m_displaced;
    // The last move told, to see an exchange in the move straight after it.
    struct LastMove {
        std::string from;
        std::string to;
        uint64_t serial = 0;
    };
    LastMove m_lastMove;
    uint64_t m_serial = 0;  // events handled
    bool m_rootIsDir = true;
    bool m_rootGone = false;
    dev_t m_rootDevice = 0;
    ino_t m_rootInode = 0;
    bool m_limitTold = false;  // the watch limit is told once per walk of the whole tree
    size_t m_heldLimit = 0;    // folder descriptors one walk may keep open
    int m_inotifyFd = -1;
    int m_wakeFd = -1;
    int m_mountsFd = -1;
    std::vector<char> m_handle;  // the root's file handle, to find it after a move
    std::vector<char> m_buffer;
    size_t m_readSize = 0;   // what the last read returned
    size_t m_readAsked = 0;  // what it asked for
    size_t m_nextEvent = 0;  // the first of m_events not handled yet
    // Reading shared with the loop: whoever holds the share's lock handles
    // events. This thread waits on m_readyFd: the kernel's queue, and the
    // share's nudge, by which the loop leaves it work. m_sourceTimeout is how
    // long it waits, so the loop knows when a timer of its own is due first.
    std::shared_ptr<ThreadQueue> m_loop;
    std::shared_ptr<LoopShare> m_share;
    int m_readyFd = -1;
    int m_dutyFd = -1;  // the nudge and the output's stall, without the queue
    int m_sourceTimeout = -1;
    // One directory listing of a walk on this thread; not m_buffer, whose
    // events it outlives.
    std::vector<char> m_listing;
    std::vector<InotifyEvent> m_events;
    // When the events being handled were read: one clock reading per read.
    ContentTracker::Time m_readTime{};
    // The folders that have heard the event being handled, and the path of
    // the event in the one hearing it now.
    std::vector<const DirNode*> m_heard;
    std::string m_eventPath;
    std::thread m_thread;
};

}  // namespace posix
