#include "watcher.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <sched.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>
#include <shlobj.h>

#include "../error_text.h"
#include "../hand_over.h"
#include "event_mapping.h"
#include "mount_table.h"

namespace posix {
namespace {

constexpr uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                              IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                              IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr uint32_t kFileMask =
    IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr size_t kReadSize = size_t{256} * 1024;
constexpr size_t kListingSize = size_t{64} * 1024;
constexpr unsigned kMaxWalkThreads = 4;

// Set on a walking thread that has a working folder of its own.
thread_local bool t_ownWorkingFolder = false;
// A walk past this many open folders opens the rest by name from its top.
constexpr size_t kMaxHeldFolders = 32768;
// Left to the rest of the process (the walk's top, the message loop, stdio).
constexpr size_t kSpareDescriptors = 8;

void Warn(const char* format, const std::string& path, const char* detail) {
    fprintf(stderr, format, path.c_str(), detail);
    fflush(stderr);
}

// The path of name in folder; below "/" without a second slash.
std::string JoinPath(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

// The names from below top down to node, which lies below it.
std::vector<std::string_view> NamesBelow(const DirNode* top, const DirNode* node) {
    std::vector<std::string_view> names;
    for (; node && node != top; node = node->parent) names.push_back(node->name);
    std::reverse(names.begin(), names.end());
    return names;
}

int ReadIntFile(const char* path) {
    FILE* file = fopen(path, "r");
    int value = -1;
    if (file) {
        if (fscanf(file, "%d", &value) != 1) value = -1;
        fclose(file);
    }
    return value;
}

}  // namespace

Watcher::Watcher(std::string root, bool recursive, Sink sink)
    : m_recursive(recursive), m_sink(std::move(sink)), m_tree(std::move(root)) {}

// Called by name: a destructor's call reaches this class's own Stop anyway.
Watcher::~Watcher() {
    Watcher::Stop();
}

bool Watcher::Start() {
    const std::string root = m_tree.Root()->name;
    // The path given is followed when it is a symbolic link: the user named
    // what it leads to. Links below it are not followed.
    struct stat info;
    if (stat(root.c_str(), &info) != 0) {
        Warn("orvane: cannot watch '%s': %s\n", root, ErrorText(errno));
        return false;
    }
    m_rootIsDir = S_ISDIR(info.st_mode);
    m_rootDevice = info.st_dev;
    m_rootInode = info.st_ino;
    // Folders are watched through their descriptors, by their names in /proc.
    if (m_rootIsDir && access("/proc/self/fd", X_OK) != 0) {
        Warn("orvane: cannot watch '%s': %s\n", root, "/proc is not mounted");
        return false;
    }
    m_heldLimit = HeldFolderLimit();
    m_inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotifyFd < 0 || m_wakeFd < 0) {
        Warn("orvane: cannot watch '%s': inotify: %s\n", root, ErrorText(errno));
        return false;
    }
    struct {
        struct file_handle header;
        char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId;
    if (name_to_handle_at(AT_FDCWD, root.c_str(), &handle.header, &mountId, AT_SYMLINK_FOLLOW) ==
        0) {
        const char* raw = reinterpret_cast<const char*>(&handle);
        m_handle.assign(raw, raw + sizeof(struct file_handle) + handle.header.handle_bytes);
    }
    // Opened before the walk, so a mount made during it is seen.
    if (m_rootIsDir && m_recursive) {
        m_mountsFd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        char* real = realpath(root.c_str(), nullptr);
        m_realRoot = real ? real : root;
        free(real);
    }
    TakeMountTable();
    if (m_rootIsDir) {
        WatchTree(m_tree.Root(), false);
    } else {
        const int wd = inotify_add_watch(m_inotifyFd, root.c_str(), kFileMask);
        if (wd >= 0) m_tree.SetWd(m_tree.Root(), wd);
    }
    if (m_tree.Root()->wd < 0) {
        if (!m_rootIsDir) Warn("orvane: cannot watch '%s': %s\n", root, ErrorText(errno));
        return false;
    }
    // The walk's passing strings leave the heap fragmented; what the tree
    // does not keep goes back to the system.
    malloc_trim(0);
    m_buffer.resize(kReadSize);
    m_readyFd = m_inotifyFd;
    if (m_loop) ShareWithLoop();
    m_thread = std::thread(&Watcher::Run, this);
    return true;
}

void Watcher::Stop() {
    StopSharing();
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) perror("orvane: eventfd");
        m_thread.join();
    }
    if (m_inotifyFd >= 0) close(m_inotifyFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_mountsFd >= 0) close(m_mountsFd);
    if (m_readyFd >= 0 && m_readyFd != m_inotifyFd) close(m_readyFd);
    if (m_dutyFd >= 0) close(m_dutyFd);
    m_share.reset();
    m_inotifyFd = m_wakeFd = m_mountsFd = m_readyFd = m_dutyFd = -1;
}

// A directory that could not be read when it was found (its mode, owner or
// access list forbade it) is watched once a change of those lets it be read.
// Its contents were never told, so an UPDATEDIR line says to list it. Only
// one that now takes a watch is walked: one that the watch limit refused
// stays as it is, however often its attributes change.
void Watcher::WatchIfNowOpen(DirNode* parent, const std::string& name, const std::string& path) {
    DirNode* node = m_tree.Child(parent, name);
    if ((node && node->wd >= 0) || m_skipped.count(path)) return;
    node = m_tree.AddChild(parent, name);
    const int fd = OpenDirectory(node);
    if (fd < 0) return;
    const int wd = AddWatch(fd);
    close(fd);
    if (wd < 0) return;
    WatchTree(node, false);
    Emit(SHCNE_UPDATEDIR, path);
}

// Events on a watched directory itself are reported by its parent's watch,
// with the name; only the root's own are reported from here.
void Watcher::HandleOnItself(DirNode* node, uint32_t mask) {
    if (node->parent || m_rootGone) return;
    const std::string root = node->name;
    const uint32_t kind = m_rootIsDir ? IN_ISDIR : 0;
    if (mask & IN_DELETE_SELF) {
        m_rootGone = true;
        Emit(ShellEventFromMask(IN_DELETE_SELF | kind), root);
    } else if (mask & IN_MOVE_SELF) {
        const std::string moved = FindMovedRoot();
        if (moved.empty()) {
            // Gone somewhere that cannot be named: say it left, and print
            // nothing more under a path that is no longer true.
            m_rootGone = true;
            Emit(ShellEventFromMask(IN_MOVED_FROM | kind), root);
        } else if (moved != root) {
            m_tree.SetRootPath(moved);
            Emit(ShellEventFromMask(kPairedMove | kind), root, &moved);
        }
    } else if (mask & IN_ATTRIB) {
        // Unlinking a file changes its link count first; when its path is
        // gone with it, the item has left, even if other links keep it alive.
        struct stat info;
        if (!m_rootIsDir && stat(root.c_str(), &info) != 0 && errno == ENOENT) {
            m_rootGone = true;
            Emit(ShellEventFromMask(IN_DELETE_SELF), root);
        } else {
            Emit(ShellEventFromMask(IN_ATTRIB), root);
        }
    } else if (!m_rootIsDir && (mask & IN_MODIFY)) {
        m_contents.Modified(root, ContentTracker::Clock::now());
    } else if (!m_rootIsDir && (mask & IN_CLOSE_WRITE) && m_contents.Closed(root)) {
        Emit(ShellEventFromMask(IN_CLOSE_WRITE), root);
    }
}

// The root's new path: found again through its file handle where the
// process may open by handle, else looked for by inode in its old parent
// directory (a rename in place). Empty when it cannot be found.
std::string Watcher::FindMovedRoot() {
    const std::string parent = ParentOf(m_tree.Root()->name);
    std::string moved = PathByHandle(parent);
    return moved.empty() ? PathByInode(parent) : moved;
}

std::string Watcher::PathByHandle(const std::string& parent) {
    if (m_handle.empty()) return "";
    // A rename never leaves its file system, so the old parent's is the one.
    const int mountFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mountFd < 0) return "";
    std::vector<char> handle = m_handle;
    const int fd = open_by_handle_at(mountFd, reinterpret_cast<struct file_handle*>(handle.data()),
                                     O_PATH | O_CLOEXEC);
    close(mountFd);
    if (fd < 0) return "";
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(link, &target[0], target.size());
    close(fd);
    if (length <= 0 || target[0] != '/') return "";
    target.resize(static_cast<size_t>(length));
    // A moved item that was then deleted reads as "path (deleted)".
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) return "";
    return target;
}

std::string Watcher::PathByInode(const std::string& parent) {
    DIR* dir = opendir(parent.c_str());
    if (!dir) return "";
    std::string found;
    while (const struct dirent* entry = readdir(dir)) {
        if (entry->d_ino != m_rootInode) continue;
        struct stat info;
        if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            info.st_dev == m_rootDevice && info.st_ino == m_rootInode) {
            found = JoinPath(parent, entry->d_name);
            break;
        }
    }
    closedir(dir);
    return found;
}

// Reads the mount table again: the pseudo file systems to skip, and the
// mounts at the root or below it. Returns what was mounted and unmounted
// since the last reading.
MountChanges Watcher::TakeMountTable() {
    if (m_mountsFd < 0) return {};
    const std::string root = m_tree.Root()->name;
    const MountTable table = ParseMountInfo(ReadMountInfo(m_mountsFd));
    m_skipped.clear();
    for (const std::string& point : PointsWithin(table.pseudo, root, m_realRoot)) {
        if (point != root) m_skipped.insert(point);
    }
    std::map<int, std::string> mounts = MountsWithin(table, root, m_realRoot);
    MountChanges changes = CompareMounts(m_mounts, mounts);
    m_mounts = std::move(mounts);
    return changes;
}

// A mount or an unmount shows other contents at its mount point, which
// inotify does not report. The point is watched anew first, so that a reader
// who lists the drive on its line also sees every change made from then on.
// Only mounts in the part of the tree that is watched are told: whether one
// is, is settled before any point is watched anew, because an unmount can
// take the folders that led to another point with it. At the root itself
// the whole tree is watched anew, as after an overflow.
void Watcher::OnMountsChanged() {
    const MountChanges changes = TakeMountTable();
    const std::string root = m_tree.Root()->name;
    std::vector<std::pair<LONG, std::string>> lines;
    std::set<std::string> points;
    std::string name;
    for (const std::string& point : changes.detached) {
        if (point == root || WatchedParentOf(point, &name))
            lines.emplace_back(SHCNE_DRIVEREMOVED, point);
    }
    for (const std::string& point : changes.attached) {
        if (point == root || WatchedParentOf(point, &name))
            lines.emplace_back(SHCNE_DRIVEADD, point);
    }
    for (const auto& [event, point] : lines) points.insert(point);
    if (points.count(root)) {
        Rescan();
    } else {
        std::string done;
        for (const std::string& point : points) {
            // A point inside one just watched anew was watched with it.
            if (!done.empty() && point.compare(0, done.size() + 1, done + "/") == 0) continue;
            RewatchAt(point);
            done = point;
        }
    }
    for (const auto& [event, point] : lines) Emit(event, point);
}

// The node of the folder that holds path, when it is watched, and the last
// name of path; null when path lies in a part of the tree not watched.
DirNode* Watcher::WatchedParentOf(const std::string& path, std::string* name) {
    const std::string& root = m_tree.Root()->name;
    if (path.size() <= root.size()) return nullptr;
    DirNode* parent = m_tree.Root();
    std::string_view rest(path);
    rest.remove_prefix(root == "/" ? 1 : root.size() + 1);
    for (size_t slash; parent && (slash = rest.find('/')) != std::string_view::npos;) {
        parent = m_tree.Child(parent, rest.substr(0, slash));
        rest.remove_prefix(slash + 1);
    }
    if (!parent || parent->wd < 0) return nullptr;
    name->assign(rest);
    return parent;
}

// Forgets what was watched at path and watches what is there now: the
// mounted file system, or the folder an unmount uncovered.
void Watcher::RewatchAt(const std::string& path) {
    std::string name;
    DirNode* parent = WatchedParentOf(path, &name);
    if (!parent) return;
    if (DirNode* old = m_tree.Child(parent, name)) Unwatch(m_tree.Remove(old));
    struct stat info;
    if (m_skipped.count(path) || lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return;
    }
    WatchTree(m_tree.AddChild(parent, name), false);
}

void Watcher::ReportDueContents() {
    if (!m_contents.Waiting()) return;
    for (const std::string& path : m_contents.Due(ContentTracker::Clock::now())) {
        Emit(SHCNE_UPDATEITEM, path);
    }
}

// After the kernel dropped events, the whole tree is walked again: watches
// that still stand keep their numbers, directories made meanwhile are added,
// and watches of what is gone are removed.
void Watcher::Rescan() {
    std::vector<int> old;
    m_tree.ForEach([&](DirNode* node) {
        if (node->wd >= 0) old.push_back(node->wd);
    });
    // The ends of moves still held are told no more: the tree is read anew.
    for (const MoveEnd& end : m_pairer.TakeAll()) {
        Settle(end.cookie, 0, "");
        if (!end.node) continue;
        for (int wd : m_tree.Discard(end.node)) old.push_back(wd);
    }
    DropDisplaced();
    m_tree = DirTree(m_tree.Root()->name);
    m_windows.CloseAll();
    m_limitTold = false;
    WatchTree(m_tree.Root(), false);
    std::vector<int> gone;
    for (int wd : old) {
        if (!m_tree.Holds(wd)) gone.push_back(wd);
    }
    Unwatch(gone);
}

// The walk that arms a whole tree is spread over the cores: nearly all of
// it is kernel work (open, inotify_add_watch, getdents64 per directory),
// which runs in parallel. Smaller walks stay on the calling thread.
//
// Each folder is opened from its parent's descriptor and watched through its
// own, so no path is resolved during the walk: a folder swapped for a link
// meanwhile cannot lead it out of the tree, and depth costs nothing.
//
// Below a folder that has none in the tree yet (the whole tree, when it is
// armed), the walking threads make the new nodes without the walk's lock,
// and the tree's indexes take them all at once at the end.
void Watcher::WatchTree(DirNode* top, bool report) {
    const std::string topPath = m_tree.PathOf(top);
    if (top->parent && m_skipped.count(topPath)) return;
    Walk walk;
    walk.report = report;
    walk.fresh = !top->firstChild && top->wd < 0;
    walk.top = top;
    for (const std::string& point : m_skipped)
        walk.skipSize = std::max(walk.skipSize, point.size());
    walk.topFd = OpenDirectory(top);
    if (walk.topFd < 0) {
        WarnUnopened(top, errno);
        return;
    }
    walk.pending.push_back({top, nullptr, topPath.size()});
    std::vector<std::thread> helpers;
    if (!report && !top->parent && m_recursive) {
        const unsigned cores = std::thread::hardware_concurrency();
        // Without a thread to spare, the walk simply takes longer.
        try {
            for (unsigned i = 0; i < std::min(cores, kMaxWalkThreads); ++i) {
                helpers.emplace_back([this, &walk] {
                    // The working folder is the thread's own, and goes with it.
                    t_ownWorkingFolder = unshare(CLONE_FS) == 0;
                    std::vector<char> listing(kListingSize);
                    WalkPart(&walk, &listing);
                });
            }
        } catch (const std::system_error&) {
        }
    }
    // The calling thread shares its working folder with the process, so it
    // walks only when no helper could start.
    if (helpers.empty()) {
        if (m_listing.empty()) m_listing.resize(kListingSize);
        WalkPart(&walk, &m_listing);
    }
    for (std::thread& helper : helpers) helper.join();
    if (walk.fresh) Unwatch(m_tree.IndexBelow(top, walk.walked));
    close(walk.topFd);
    if (walk.unwatched && !m_limitTold) {
        m_limitTold = true;
        ReportWatchLimit(topPath, walk.unwatched, walk.walked);
    }
}

// A walk keeps the descriptors of folders whose subfolders wait, up to half
// of what the process has to spare once every walking thread has the few it
// needs (the folder it reads, one on the way to it), so even a process short
// of descriptors walks the whole tree, only with more system calls.
size_t Watcher::HeldFolderLimit() {
    const size_t limit = RaiseDescriptorLimit();
    const size_t needed = OpenDescriptors() + size_t{2} * kMaxWalkThreads + kSpareDescriptors;
    return limit > needed ? std::min((limit - needed) / 2, kMaxHeldFolders) : 0;
}

// Takes directories from the walk until none is left and none is being
// read. The system calls run outside the walk's lock, and so does the
// making of new nodes in a fresh walk; an indexed tree is changed only
// under it.
void Watcher::WalkPart(Walk* walk, std::vector<char>* listing) {
    WalkHand hand;
    hand.listing = listing;
    std::unique_lock<SpinningMutex> guard(walk->lock);
    for (;;) {
        if (walk->pending.empty()) {
            if (walk->busy == 0) break;
            walk->changed.wait(guard);
            continue;
        }
        Walk::Folder folder = std::move(walk->pending.back());
        walk->pending.pop_back();
        if (Skipped(*walk, folder)) continue;
        DirNode* const node = folder.node;
        const size_t pathSize = folder.pathSize;
        ++walk->walked;
        ++walk->busy;
        guard.unlock();
        hand.dirs.clear();
        const Visited visited = VisitDirectory(walk, std::move(folder), &hand);
        if (walk->fresh) AddFound(*walk, node, visited, &hand);
        guard.lock();
        if (!walk->fresh) AddFound(*walk, node, visited, &hand);
        if (visited.wd < 0 && visited.error == ENOSPC) ++walk->unwatched;
        // Counted without the slash before each name, the size is a bound
        // from below, which is what Skipped needs.
        for (size_t i = 0; i < hand.found.size(); ++i) {
            walk->pending.push_back({hand.found[i], visited.held, pathSize + hand.dirs[i].size()});
        }
        --walk->busy;
        if (!walk->pending.empty() || walk->busy == 0) walk->changed.notify_all();
    }
}

// Gives node its watch and its subfolders their nodes, in hand.found.
void Watcher::AddFound(const Walk& walk, DirNode* node, const Visited& visited, WalkHand* hand) {
    hand->found.clear();
    if (walk.fresh) {
        node->wd = visited.wd;
        for (const std::string& name : hand->dirs) {
            hand->found.push_back(DirTree::AddUnindexed(node, name));
        }
        return;
    }
    if (visited.wd >= 0) m_tree.SetWd(node, visited.wd);
    for (const std::string& name : hand->dirs) hand->found.push_back(m_tree.AddChild(node, name));
}

// A pseudo file system's mount point is left out. Its path is built only
// when it could be one, so a deep folder costs no path of its own.
bool Watcher::Skipped(const Walk& walk, const Walk::Folder& folder) const {
    const DirNode* node = folder.node;
    if (!node->parent || m_skipped.empty() || folder.pathSize > walk.skipSize) return false;
    return m_skipped.count(m_tree.PathOf(node)) > 0;
}

// Watches one directory and lists the directories in it. Its descriptor is
// kept open for them, when there are any; the parent's is let go, and closes
// once its last subfolder is open.
Watcher::Visited Watcher::VisitDirectory(Walk* walk, Walk::Folder folder, WalkHand* hand) {
    Visited visited;
    const int fd = OpenInWalk(*walk, folder);
    visited.error = errno;
    folder.parent.reset();
    if (fd < 0) {
        WarnUnopened(folder.node, visited.error);
        return visited;
    }
    visited.wd = AddWatch(fd);
    visited.error = errno;
    // A walk that reports nothing lists a folder only for its subfolders.
    if (m_recursive && (walk->report || !hand->leaves.HasNoSubfolders(fd))) {
        const bool report = walk->report && folder.node->parent;
        const std::string path = report ? m_tree.PathOf(folder.node) : std::string();
        ScanDirectory(fd, visited.wd, path, report, hand->listing, &hand->dirs);
    }
    if (hand->dirs.empty()) {
        close(fd);
    } else {
        visited.held = Hold(walk, fd);
    }
    return visited;
}

int Watcher::OpenInWalk(const Walk& walk, const Walk::Folder& folder) const {
    if (folder.parent) {
        return openat(folder.parent->Fd(), folder.node->name.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    return OpenBeneath(walk.topFd, NamesBelow(walk.top, folder.node));
}

// Past its bound, a walk keeps no more descriptors: the subfolders are then
// opened by their names from the top, which costs more system calls but
// never runs the process out of descriptors however wide and deep the tree.
std::shared_ptr<const HeldFolder> Watcher::Hold(Walk* walk, int fd) const {
    if (walk->held.load() >= m_heldLimit) {
        close(fd);
        return nullptr;
    }
    return std::make_shared<const HeldFolder>(fd, &walk->held);
}

// A folder gone or changed into something else since it was found is passed
// over in silence: its parent's events tell what became of it.
void Watcher::WarnUnopened(const DirNode* node, int error) const {
    if (error == EACCES || error == EPERM) {
        Warn("orvane: skipping '%s': %s\n", m_tree.PathOf(node), ErrorText(error));
    } else if (OutOfDescriptors(error)) {
        Warn("orvane: cannot watch '%s': %s\n", m_tree.PathOf(node), ErrorText(error));
    }
}

// The root is opened by the path given, which is followed when it is a
// link; a folder below it by its names in the tree, from the root, so no
// link is followed on the way whatever took the place of a folder above it.
int Watcher::OpenDirectory(const DirNode* node) const {
    const std::string& root = m_tree.Root()->name;
    if (!node->parent) return open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return -1;
    const int fd = OpenBeneath(rootFd, NamesBelow(m_tree.Root(), node));
    const int error = errno;
    close(rootFd);
    errno = error;
    return fd;
}

// Watched through the open descriptor, so the folder opened is the one
// watched, whatever its path has become since. A walking thread with a
// working folder of its own enters the folder and watches "."; others name
// the descriptor in /proc, which the kernel resolves in several steps.
int Watcher::AddWatch(int dirFd) const {
    if (t_ownWorkingFolder && fchdir(dirFd) == 0) {
        return inotify_add_watch(m_inotifyFd, ".", kDirMask);
    }
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
    return inotify_add_watch(m_inotifyFd, link, kDirMask);
}

// Lists the directory with getdents64 straight from its descriptor: no
// second descriptor and no DIR stream per directory, which halves the system
// calls of arming a large tree. d_type spares a stat of each entry, except
// on file systems that leave it unknown.
void Watcher::ScanDirectory(int dirFd, int wd, const std::string& path, bool report,
                            std::vector<char>* listing, std::vector<std::string>* dirs) {
    const auto now = ContentTracker::Clock::now();
    if (report && wd >= 0) m_windows.Open(wd);
    for (;;) {
        const long size = syscall(SYS_getdents64, dirFd, listing->data(), listing->size());
        if (size <= 0) break;
        for (long offset = 0; offset < size;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(&(*listing)[offset]);
            if (entry->d_reclen == 0) break;
            offset += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            bool isDir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info;
                isDir =
                    fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
            }
            if (report) {
                if (wd >= 0 && !m_windows.Listed(wd, name)) continue;  // given twice
                const std::string childPath = JoinPath(path, name);
                Emit(isDir ? SHCNE_MKDIR : SHCNE_CREATE, childPath);
                if (!isDir) m_contents.Created(childPath, now);
            }
            if (isDir) dirs->emplace_back(name);
        }
    }
}

void Watcher::ReportWatchLimit(const std::string& top, size_t unwatched, size_t walked) {
    const int limit = ReadIntFile("/proc/sys/fs/inotify/max_user_watches");
    fprintf(stderr,
            "orvane: the inotify watch limit is reached (fs.inotify.max_user_watches = %d): %zu of "
            "%zu directories below '%s' are not watched; raise it with "
            "'sysctl fs.inotify.max_user_watches=%d'\n",
            limit, unwatched, walked, top.c_str(),
            limit > 0 ? limit * 2 + static_cast<int>(unwatched) : 524288);
    fflush(stderr);
}

void Watcher::Unwatch(const std::vector<int>& wds) {
    for (int wd : wds) inotify_rm_watch(m_inotifyFd, wd);
}

// While a move's first end waits for its partner, later lines wait behind
// it, so a file moved away and made anew reads as deleted, then created.
void Watcher::Emit(LONG event, const std::string& path1, const std::string* path2) {
    if (!event) return;
    if (m_held.Empty()) {
        m_sink(event, path1, path2);
        return;
    }
    m_held.Put({event, path1, path2 ? std::optional<std::string>(*path2) : std::nullopt});
}

void Watcher::Settle(uint32_t cookie, LONG event, const std::string& path1,
                     const std::string* path2) {
    m_held.Fill(cookie, {event, path1, path2 ? std::optional<std::string>(*path2) : std::nullopt});
    for (const ShellLine& line : m_held.TakeReady()) {
        m_sink(line.event, line.path1, line.path2 ? &*line.path2 : nullptr);
    }
}

}  // namespace posix
