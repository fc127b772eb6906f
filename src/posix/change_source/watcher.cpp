#include "watcher.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
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

#include "event_mapping.h"
#include "mount_table.h"

namespace posix {
namespace {

constexpr uint32_t kDirMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                              IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                              IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr uint32_t kFileMask =
    IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kListingSize = 64 * 1024;
// A rename's two ends are queued back to back; when a read ended between
// them, the other end is already queued, so a short wait is enough.
constexpr int kPartnerWaitMs = 5;
constexpr int kContentTickMs = 100;
constexpr unsigned kMaxWalkThreads = 4;

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

Watcher::~Watcher() {
    Stop();
}

bool Watcher::Start() {
    const std::string root = m_tree.Root()->name;
    // The path given is followed when it is a symbolic link: the user named
    // what it leads to. Links below it are not followed.
    struct stat info;
    if (stat(root.c_str(), &info) != 0) {
        Warn("orvane: cannot watch '%s': %s\n", root, strerror(errno));
        return false;
    }
    m_rootIsDir = S_ISDIR(info.st_mode);
    m_rootDevice = info.st_dev;
    m_rootInode = info.st_ino;
    m_inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_inotifyFd < 0 || m_wakeFd < 0) {
        Warn("orvane: cannot watch '%s': inotify: %s\n", root, strerror(errno));
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
        if (!m_rootIsDir) Warn("orvane: cannot watch '%s': %s\n", root, strerror(errno));
        return false;
    }
    // The walk's passing strings leave the heap fragmented; what the tree
    // does not keep goes back to the system.
    malloc_trim(0);
    m_buffer.resize(kReadSize);
    m_thread = std::thread(&Watcher::Run, this);
    return true;
}

void Watcher::Stop() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) perror("orvane: eventfd");
        m_thread.join();
    }
    if (m_inotifyFd >= 0) close(m_inotifyFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_mountsFd >= 0) close(m_mountsFd);
    m_inotifyFd = m_wakeFd = m_mountsFd = -1;
}

void Watcher::Run() {
    for (;;) {
        int timeout = -1;
        if (m_pairer.HasPending()) {
            timeout = kPartnerWaitMs;
        } else if (m_contents.Waiting()) {
            timeout = kContentTickMs;
        }
        // The mount table reads as changed (POLLPRI) after a mount or an
        // unmount; a negative descriptor is left alone by poll.
        struct pollfd fds[3] = {
            {m_inotifyFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}, {m_mountsFd, POLLPRI, 0}};
        const int ready = poll(fds, 3, timeout);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            if (!Drain()) return;
        } else if (ready == 0 && m_pairer.HasPending()) {
            FlushUnpaired(m_pairer.TakeAll());
        }
        if (ready > 0 && (fds[2].revents & (POLLPRI | POLLERR))) OnMountsChanged();
        ReportDueContents();
    }
}

// Reads until the kernel queue is empty, in large reads, so it never fills
// while the lines are being written.
bool Watcher::Drain() {
    for (;;) {
        const ssize_t size = read(m_inotifyFd, m_buffer.data(), m_buffer.size());
        if (size < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            break;
        }
        m_events.clear();
        ParseInotifyBuffer(m_buffer.data(), static_cast<size_t>(size), &m_events);
        for (const InotifyEvent& event : m_events) Handle(event);
        FlushUnpaired(m_pairer.EndOfRead());
        // A read returns every queued event that fits. With room left for
        // the largest event, the queue was empty, which spares the read that
        // would only say so. After a scan, the queue is read to its end, for
        // the scan's duplicates to be dropped.
        const size_t largest = sizeof(struct inotify_event) + NAME_MAX + 1;
        if (static_cast<size_t>(size) + largest <= m_buffer.size() && m_windows.Empty()) break;
    }
    // Everything queued before the last scans has been read: what they
    // reported can no longer come twice.
    m_windows.CloseAll();
    return true;
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
    const int fd = OpenDirectory(node, path);
    if (fd < 0) return;
    const int wd = AddWatch(fd, node, path);
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
// mount points at the root or below it. Returns the points mounted or
// unmounted since the last reading.
std::set<std::string> Watcher::TakeMountTable() {
    if (m_mountsFd < 0) return {};
    const std::string root = m_tree.Root()->name;
    const MountTable table = ParseMountInfo(ReadMountInfo(m_mountsFd));
    m_skipped.clear();
    for (const std::string& point : PointsWithin(table.pseudo, root, m_realRoot)) {
        if (point != root) m_skipped.insert(point);
    }
    std::multiset<std::string> points = PointsWithin(table.points, root, m_realRoot);
    std::set<std::string> changed;
    std::set_symmetric_difference(points.begin(), points.end(), m_mounts.begin(), m_mounts.end(),
                                  std::inserter(changed, changed.end()));
    m_mounts = std::move(points);
    return changed;
}

// A mount or an unmount shows other contents at its mount point, which
// inotify does not report: the point is watched anew, and an UPDATEDIR line
// tells whoever lists folders to list it again. At the root itself that is
// the whole tree, as after an overflow.
void Watcher::OnMountsChanged() {
    const std::set<std::string> changed = TakeMountTable();
    const std::string root = m_tree.Root()->name;
    if (changed.count(root)) {
        Rescan();
        Emit(SHCNE_UPDATEDIR, root);
        return;
    }
    std::string done;
    for (const std::string& point : changed) {
        // A mount inside one just watched anew was watched with it.
        if (!done.empty() && point.compare(0, done.size() + 1, done + "/") == 0) continue;
        if (RewatchAt(point)) {
            done = point;
            Emit(SHCNE_UPDATEDIR, point);
        }
    }
}

bool Watcher::RewatchAt(const std::string& path) {
    const std::string& root = m_tree.Root()->name;
    DirNode* parent = m_tree.Root();
    std::string_view rest(path);
    rest.remove_prefix(root == "/" ? 1 : root.size() + 1);
    for (size_t slash; parent && (slash = rest.find('/')) != std::string_view::npos;) {
        parent = m_tree.Child(parent, rest.substr(0, slash));
        rest.remove_prefix(slash + 1);
    }
    if (!parent || parent->wd < 0) return false;  // not in the part of the tree watched
    if (DirNode* old = m_tree.Child(parent, rest)) Unwatch(m_tree.Remove(old));
    struct stat info;
    if (m_skipped.count(path) || lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    WatchTree(m_tree.AddChild(parent, rest), false);
    return true;
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
void Watcher::WatchTree(DirNode* top, bool report) {
    Walk walk;
    walk.report = report;
    walk.pending.emplace_back(top, m_tree.PathOf(top));
    std::vector<std::thread> helpers;
    if (!report && !top->parent && m_recursive) {
        const unsigned cores = std::thread::hardware_concurrency();
        // Without a thread to spare, the walk simply takes longer.
        try {
            for (unsigned i = 1; i < std::min(cores, kMaxWalkThreads); ++i) {
                helpers.emplace_back([this, &walk] {
                    std::vector<char> listing(kListingSize);
                    WalkPart(&walk, &listing);
                });
            }
        } catch (const std::system_error&) {
        }
    }
    if (m_listing.empty()) m_listing.resize(kListingSize);
    WalkPart(&walk, &m_listing);
    for (std::thread& helper : helpers) helper.join();
    if (walk.unwatched && !m_limitTold) {
        m_limitTold = true;
        ReportWatchLimit(m_tree.PathOf(top), walk.unwatched, walk.walked);
    }
}

// Takes directories from the walk until none is left and none is being
// read. The tree is changed only under the walk's lock; the system calls
// run outside it.
void Watcher::WalkPart(Walk* walk, std::vector<char>* listing) {
    std::vector<std::string> dirs;
    std::unique_lock<std::mutex> guard(walk->lock);
    for (;;) {
        if (walk->pending.empty()) {
            if (walk->busy == 0) break;
            walk->changed.wait(guard);
            continue;
        }
        auto [node, path] = std::move(walk->pending.back());
        walk->pending.pop_back();
        if (node->parent && m_skipped.count(path)) continue;
        ++walk->walked;
        ++walk->busy;
        guard.unlock();
        dirs.clear();
        const int wd = VisitDirectory(node, path, walk->report && node->parent, listing, &dirs);
        const int error = errno;
        guard.lock();
        if (wd >= 0) {
            m_tree.SetWd(node, wd);
        } else if (error == ENOSPC) {
            ++walk->unwatched;
        }
        for (const std::string& name : dirs) {
            walk->pending.emplace_back(m_tree.AddChild(node, name), JoinPath(path, name));
        }
        --walk->busy;
        if (!walk->pending.empty() || walk->busy == 0) walk->changed.notify_all();
    }
}

// Watches one directory and lists the directories in it. Returns the watch,
// or -1 with errno set.
int Watcher::VisitDirectory(const DirNode* node, const std::string& path, bool report,
                            std::vector<char>* listing, std::vector<std::string>* dirs) {
    const int fd = OpenDirectory(node, path);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) {
            const int error = errno;
            Warn("orvane: skipping '%s': %s\n", path, strerror(error));
            errno = error;
        }
        return -1;
    }
    const int wd = AddWatch(fd, node, path);
    const int error = errno;
    if (m_recursive) ScanDirectory(fd, wd, path, report, listing, dirs);
    close(fd);
    errno = error;
    return wd;
}

// Opens by path; a path too long for the kernel is opened one component at a
// time from the root instead.
int Watcher::OpenDirectory(const DirNode* node, const std::string& path) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (node->parent ? O_NOFOLLOW : 0);
    if (path.size() < PATH_MAX) return open(path.c_str(), flags);
    if (!node->parent) return -1;
    std::vector<const DirNode*> chain;
    for (const DirNode* up = node; up->parent; up = up->parent) chain.push_back(up);
    int fd = open(m_tree.Root()->name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (auto it = chain.rbegin(); fd >= 0 && it != chain.rend(); ++it) {
        const bool last = *it == node;
        const int next = openat(fd, (*it)->name.c_str(),
                                last ? flags : (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        close(fd);
        fd = next;
    }
    return fd;
}

// Watched through the open descriptor, so a long path or a directory renamed
// since it was opened still gets the right watch.
int Watcher::AddWatch(int dirFd, const DirNode* node, const std::string& path) {
    if (path.size() < PATH_MAX) {
        // Below the root a link is never followed, not even one that took a
        // directory's place since it was opened.
        const uint32_t follow = node->parent ? IN_DONT_FOLLOW : 0;
        return inotify_add_watch(m_inotifyFd, path.c_str(), kDirMask | follow);
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
