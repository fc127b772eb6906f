#include "fanotify_source.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <shlobj.h>

#include "../error_text.h"
#include "../hand_over.h"
#include "fanotify_mapping.h"
#include "watcher.h"

namespace posix {
namespace {

using Known = ListingKnown;

constexpr unsigned kInitFlags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK |
                                FAN_REPORT_DFID_NAME | FAN_REPORT_FID | FAN_REPORT_TARGET_FID;
constexpr uint64_t kMask =
    FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_ATTRIB | FAN_MODIFY | FAN_CLOSE_WRITE | FAN_ONDIR;
constexpr size_t kReadSize = size_t{256} * 1024;
constexpr int kContentTickMs = 100;
// How long the lines of a folder that cannot be named wait for the event
// that names it (its own removal or rename, which carries its handle).
constexpr auto kHoldTime = std::chrono::milliseconds(500);
constexpr int kHoldTickMs = 50;
constexpr size_t kMaxUnnamed = 4096;

// The fsid part of a key, which tells the file system.
std::string FsidOf(std::string_view key) {
    return std::string(key.substr(0, kFsidSize));
}

std::string FsidOfPath(const std::string& path) {
    struct statfs info;
    if (statfs(path.c_str(), &info) != 0) return "";
    return std::string(reinterpret_cast<const char*>(&info.f_fsid), kFsidSize);
}

// The key a folder's events carry for it: fsid, then its file handle.
std::string KeyOfPath(const std::string& path) {
    struct {
        struct file_handle header;
        char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId;
    if (name_to_handle_at(AT_FDCWD, path.c_str(), &handle.header, &mountId, 0) != 0) return "";
    const std::string fsid = FsidOfPath(path);
    if (fsid.empty()) return "";
    const char* raw = reinterpret_cast<const char*>(&handle);
    return fsid + std::string(raw, sizeof(struct file_handle) + handle.header.handle_bytes);
}

std::string JoinPath(const std::string& folder, std::string_view name) {
    if (name.empty() || name == ".") return folder;
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

bool Below(const std::string& path, const std::string& top) {
    if (top == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
           path[top.size()] == '/';
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

// The mount point of the mount that holds path: the deepest one at it or
// above it.
std::string MountPointOf(const MountTable& table, const std::string& path) {
    std::string found = "/";
    for (const auto& [id, mount] : table.byId) {
        if ((mount.point == path || Below(path, mount.point)) &&
            mount.point.size() > found.size()) {
            found = mount.point;
        }
    }
    return found;
}

// Devtmpfs would report every write to /dev/null and the terminals.
bool Markable(const std::string& type) {
    return !IsPseudoFileSystem(type) && type != "devtmpfs";
}

}  // namespace

bool FanotifySource::Permitted() {
    const int fd = fanotify_init(kInitFlags, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
    if (fd < 0) return false;
    // A filesystem mark needs CAP_SYS_ADMIN, and FAN_RENAME a kernel that
    // knows it; the root's file system must also take marks.
    const bool ok =
        fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, AT_FDCWD, "/") == 0;
    close(fd);
    return ok;
}

FanotifySource::FanotifySource(std::string root, bool recursive, Sink sink)
    : m_root(std::move(root)), m_recursive(recursive), m_sink(std::move(sink)), m_pid(getpid()) {}

// Called by name: a destructor's call reaches this class's own Stop anyway.
FanotifySource::~FanotifySource() {
    FanotifySource::Stop();
}

bool FanotifySource::Start() {
    char* real = realpath(m_root.c_str(), nullptr);
    if (!real) {
        fprintf(stderr, "orvane: cannot watch '%s': %s\n", m_root.c_str(), ErrorText(errno));
        return false;
    }
    m_realRoot = real;
    free(real);
    m_fanotifyFd = fanotify_init(kInitFlags, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fanotifyFd < 0 || m_wakeFd < 0) {
        fprintf(stderr, "orvane: cannot watch '%s': fanotify: %s\n", m_root.c_str(),
                ErrorText(errno));
        return false;
    }
    struct stat info;
    if (stat(m_realRoot.c_str(), &info) != 0) {
        fprintf(stderr, "orvane: cannot watch '%s': %s\n", m_root.c_str(), ErrorText(errno));
        return false;
    }
    m_rootIsDir = S_ISDIR(info.st_mode);
    m_rootKey = KeyOfPath(m_realRoot);
    // Opened before the marks, so a mount made meanwhile is seen.
    m_mountsFd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    const MountTable table = ParseMountInfo(ReadMountInfo(m_mountsFd));
    if (!MarkFileSystem(m_realRoot, MountPointOf(table, m_realRoot))) {
        fprintf(stderr, "orvane: cannot watch '%s': fanotify: %s\n", m_root.c_str(),
                ErrorText(errno));
        return false;
    }
    TakeMountTable(true);
    if (m_root != "/" && m_recursive && m_rootIsDir) LearnTree(m_realRoot, m_rootKey);
    if (!m_refused.empty()) {
        std::string names;
        for (const std::string& point : m_refused) names += (names.empty() ? "" : ", ") + point;
        fprintf(stderr,
                "orvane: these file systems take no fanotify mark and are watched through "
                "inotify: %s\n",
                names.c_str());
        fflush(stderr);
    }
    m_buffer.resize(kReadSize);
    m_thread = std::thread(&FanotifySource::Run, this);
    return true;
}

void FanotifySource::Stop() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof one) < 0) perror("orvane: eventfd");
        m_thread.join();
    }
    for (auto& [point, other] : m_others) other->Stop();
    if (m_fanotifyFd >= 0) close(m_fanotifyFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_mountsFd >= 0) close(m_mountsFd);
    m_fanotifyFd = m_wakeFd = m_mountsFd = -1;
}

// Marks the file system that holds path, once per file system, and anchors
// the root of its mount at point in the folder map; handles are looked up
// through that mount point, which stays while folders below it come and go.
// False when the file system refuses the mark.
bool FanotifySource::MarkFileSystem(const std::string& path, const std::string& point) {
    const std::string fsid = FsidOfPath(path);
    if (fsid.empty()) return false;
    if (!m_fileSystems.count(fsid)) {
        if (fanotify_mark(m_fanotifyFd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, AT_FDCWD,
                          path.c_str()) != 0) {
            return false;
        }
        m_fileSystems[fsid] = point;
    }
    const std::string key = KeyOfPath(point);
    if (key.empty() || FsidOf(key) != fsid || BindWithin(key, point)) return true;
    m_folders.AnchorMountRoot(key, point);
    return true;
}

// A mount whose root is a folder already known at another place in the tree
// binds that folder there: it keeps its own path in the map, and the lines
// below it are told at the mount point too.
bool FanotifySource::BindWithin(const std::string& key, const std::string& point) {
    const std::optional<std::string> known = FolderPath(key);
    if (!known || *known == point) return false;
    const std::optional<std::string> folder = Within(*known);
    const std::optional<std::string> bound = Within(point);
    if (!folder || !bound) return false;
    m_binds.push_back(Bind{*folder, *bound});
    return true;
}

// Learns every folder below top, so that a folder removed before its events
// are read can still be named: a watch of one folder knows all of its own.
void FanotifySource::LearnTree(const std::string& top, const std::string& topKey) {
    if (topKey.empty()) return;
    if (!m_folders.Knows(topKey)) m_folders.AnchorLookedUp(topKey, top);
    std::vector<std::pair<std::string, std::string>> stack{{top, topKey}};
    while (!stack.empty()) {
        const auto [path, key] = std::move(stack.back());
        stack.pop_back();
        DIR* dir = opendir(path.c_str());
        if (!dir) continue;
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." ||
                (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)) {
                continue;
            }
            const std::string child = JoinPath(path, name);
            struct stat info;
            if (entry->d_type == DT_UNKNOWN &&
                (lstat(child.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
                continue;
            }
            const std::string childKey = KeyOfPath(child);
            if (childKey.empty()) continue;
            if (!m_folders.Knows(childKey)) m_folders.Place(childKey, key, name);
            stack.emplace_back(child, childKey);
        }
        closedir(dir);
    }
}

// Reads the mount table again and marks what is newly mounted at the root
// or below it; a file system that refuses the mark is watched through
// inotify. Unless quiet, mounts and unmounts are told as drive lines.
void FanotifySource::TakeMountTable(bool quiet) {
    if (m_mountsFd < 0) return;
    const MountTable table = ParseMountInfo(ReadMountInfo(m_mountsFd));
    std::map<int, std::string> mounts = MountsWithin(table, m_realRoot, m_realRoot);
    // Nothing below proc, sysfs and the like is watched; below devtmpfs,
    // which is not marked itself, /dev/shm is.
    std::set<std::string> unmarked, pseudo;
    for (const auto& [id, point] : mounts) {
        const std::string& type = table.byId.at(id).type;
        if (!Markable(type)) unmarked.insert(point);
        if (IsPseudoFileSystem(type)) pseudo.insert(point);
    }
    const MountChanges changes = CompareMounts(m_mounts, mounts);
    for (const std::string& point : changes.detached) {
        m_folders.ForgetMountRoot(point);
        const std::optional<std::string> told = Within(point);
        m_binds.erase(std::remove_if(m_binds.begin(), m_binds.end(),
                                     [&](const Bind& bind) { return told && bind.point == *told; }),
                      m_binds.end());
        m_others.erase(point);
        if (!quiet) Emit(SHCNE_DRIVEREMOVED, *Within(point));
    }
    for (const std::string& point : changes.attached) {
        // What lies below a file system watched through inotify is watched
        // with it, by its walk.
        bool skipped = unmarked.count(point) > 0;
        for (const std::string& other : pseudo) skipped = skipped || Below(point, other);
        for (const auto& [other, source] : m_others) skipped = skipped || Below(point, other);
        if (!skipped && !MarkFileSystem(point, point)) {
            m_refused.push_back(point);
            WatchThroughInotify(point);
        }
        if (!quiet) Emit(SHCNE_DRIVEADD, *Within(point));
    }
    m_mounts = std::move(mounts);
}

// A file system that refuses the mark is watched by an inotify source of its
// own. Mounts and unmounts are told here, for every source alike, so its own
// drive lines are left out.
void FanotifySource::WatchThroughInotify(const std::string& point) {
    const Sink sink = m_sink;
    std::unique_ptr<ChangeSource> other(
        new Watcher(*Within(point), true,
                    [sink](LONG event, const std::string& path1, const std::string* path2) {
                        if (event != SHCNE_DRIVEADD && event != SHCNE_DRIVEREMOVED)
                            sink(event, path1, path2);
                    }));
    if (other->Start()) m_others[point] = std::move(other);
}

void FanotifySource::OnMountsChanged() {
    m_refused.clear();
    TakeMountTable(false);
    if (!m_refused.empty()) {
        for (const std::string& point : m_refused) {
            fprintf(stderr, "orvane: '%s' takes no fanotify mark and is watched through inotify\n",
                    point.c_str());
        }
        fflush(stderr);
    }
}

// While the hand-over to the message loop is full, the kernel's queue is
// not read, as in the inotify source; its overflow is told as usual.
void FanotifySource::Run() {
    for (;;) {
        int timeout = -1;
        if (!m_pending.empty()) {
            timeout = kHoldTickMs;
        } else if (m_contents.Waiting()) {
            timeout = kContentTickMs;
        }
        const SourceWake wake = WaitForSource(m_fanotifyFd, m_wakeFd, m_mountsFd, timeout);
        if (wake.stop) return;
        if (wake.events && !Drain()) return;
        HandlePending(ContentTracker::Clock::now());
        // A listing made just now is reconciled with the events queued
        // meanwhile before its window closes.
        if (!m_windows.Empty() && !HandOver::Instance().Full() && !Drain()) return;
        if (wake.mounts) OnMountsChanged();
        ReportDueContents();
    }
}

// Reads until the kernel queue is empty, so it never fills while the lines
// are written.
bool FanotifySource::Drain() {
    const SourceAtWork atWork;
    for (;;) {
        const ssize_t size = read(m_fanotifyFd, m_buffer.data(), m_buffer.size());
        if (size < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return false;
            CloseWindowsOnceRead();
            return true;
        }
        if (size == 0) return true;
        m_records.clear();
        ParseFanotifyBuffer(m_buffer.data(), static_cast<size_t>(size), &m_records);
        const auto now = ContentTracker::Clock::now();
        for (size_t i = 0; i < m_records.size(); ++i) {
            if (m_records[i].mask & FAN_Q_OVERFLOW) {
                DropQueued(i);
                Overflowed();
                break;
            }
            Take(m_records[i], now);
        }
        HandlePending(now);
        // A full hand-over stops the reading; the rest waits in the kernel.
        if (HandOver::Instance().Full()) return true;
    }
}

// The kernel queues one overflow event however many events it drops, and
// while that event waits in its queue it drops more without a sign: the
// events queued after it can have gaps. So the records from the overflow on
// and what the queue holds now are read and dropped, up to a bound, before
// the folders are learnt anew; whatever comes after that is complete again.
void FanotifySource::DropQueued(size_t from) {
    constexpr int kMostReads = 64;
    DropRecords(from);
    for (int reads = 0; reads < kMostReads; ++reads) {
        const ssize_t size = read(m_fanotifyFd, m_buffer.data(), m_buffer.size());
        if (size <= 0) return;
        ParseFanotifyBuffer(m_buffer.data(), static_cast<size_t>(size), &m_records);
        DropRecords(0);
    }
}

// The records before from were taken, and closed their descriptors then.
void FanotifySource::DropRecords(size_t from) {
    for (size_t i = from; i < m_records.size(); ++i) {
        if (m_records[i].fd >= 0) close(m_records[i].fd);
    }
    m_records.clear();
}

void FanotifySource::Take(const FanotifyRecord& record, ContentTracker::Clock::time_point now) {
    if (record.fd >= 0) close(record.fd);
    // The tool's own writes (its output, when that goes to a file in the
    // tree) would otherwise report themselves without end.
    if (record.pid == m_pid || m_rootGone) return;
    // An event that names no folder (the link count of a file changed) can
    // only be told when its item is the root; a file being removed is told
    // by its removal.
    const bool named =
        !record.dir.key.empty() || (!record.from.key.empty() && !record.to.key.empty());
    if (!named && record.item.key != m_rootKey) return;
    Event event{record.mask,
                {std::string(record.dir.key), std::string(record.dir.name)},
                {std::string(record.from.key), std::string(record.from.name)},
                {std::string(record.to.key), std::string(record.to.name)},
                std::string(record.item.key),
                now};
    Learn(event);
    m_pending.push_back(std::move(event));
}

// A folder's handle comes with the events that make, remove or rename it,
// and names it where it stood then. Lines of a folder that could not be
// named earlier wait for this.
void FanotifySource::Learn(const Event& event) {
    if (!(event.mask & FAN_ONDIR) || event.item.empty() || m_folders.Knows(event.item)) return;
    const Name& where = (event.mask & FAN_RENAME) ? event.from : event.dir;
    if (where.key.empty() || where.name.empty() || where.name == ".") return;
    if (!(event.mask & (FAN_CREATE | FAN_DELETE | FAN_RENAME))) return;
    m_folders.Place(event.item, where.key, where.name);
    m_unnamed.erase(event.item);
}

// Tells the waiting events in order, as far as their folders can be named.
// One that waited too long is told as a change of the nearest folder that
// can be named.
void FanotifySource::HandlePending(ContentTracker::Clock::time_point now) {
    while (!m_pending.empty()) {
        if (!Handle(m_pending.front())) {
            // Below a folder every folder is known from the start, so one
            // that cannot be named lies elsewhere on the file system.
            if (m_root != "/" && m_recursive) {
                m_pending.pop_front();
                continue;
            }
            if (now - m_pending.front().read < kHoldTime) return;
            GiveUp(m_pending.front());
        }
        m_pending.pop_front();
    }
    TellClosed();
}

// The folder's path, looked up by its handle when the map does not know it.
std::optional<std::string> FanotifySource::FolderPath(const std::string& key) {
    std::string missing;
    for (int tries = 0; tries < 64; ++tries) {
        if (auto path = m_folders.PathOf(key, &missing)) return path;
        if (missing.empty() || m_unnamed.count(missing) || !LookUp(missing)) return std::nullopt;
    }
    return std::nullopt;
}

// Looks a folder up by its handle, through a descriptor of its file system's
// root that is closed again at once: one held would keep the file system
// from being unmounted.
std::optional<std::string> FanotifySource::LookUp(const std::string& key) {
    auto fileSystem = m_fileSystems.find(FsidOf(key));
    if (m_unnamed.size() > kMaxUnnamed) m_unnamed.clear();  // they are only spared lookups
    if (fileSystem == m_fileSystems.end() || key.size() < kFsidSize + sizeof(struct file_handle)) {
        m_unnamed.insert(key);
        return std::nullopt;
    }
    std::vector<char> handle(key.begin() + kFsidSize, key.end());
    const int mountFd = open(fileSystem->second.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = mountFd < 0 ? -1
                               : open_by_handle_at(
                                     mountFd, reinterpret_cast<struct file_handle*>(handle.data()),
                                     O_PATH | O_CLOEXEC);
    if (mountFd >= 0) close(mountFd);
    std::string target(PATH_MAX, '\0');
    ssize_t length = -1;
    if (fd >= 0) {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        length = readlink(link, &target[0], target.size());
        close(fd);
    }
    if (length <= 0 || target[0] != '/') {
        m_unnamed.insert(key);
        return std::nullopt;
    }
    target.resize(static_cast<size_t>(length));
    m_folders.AnchorLookedUp(key, target);
    return target;
}

// path under the root's name as given, when it lies at the root or below.
std::optional<std::string> FanotifySource::Within(const std::string& path) const {
    if (path == m_realRoot) return m_root;
    if (!Below(path, m_realRoot)) return std::nullopt;
    if (m_root == m_realRoot) return path;
    return JoinPath(m_root,
                    std::string_view(path).substr(m_realRoot == "/" ? 1 : m_realRoot.size() + 1));
}

// Tells one event; false when a folder it names cannot be named yet.
bool FanotifySource::Handle(const Event& event) {
    if (m_rootGone) return true;
    if (event.mask & FAN_RENAME) {
        const std::optional<std::string> from = FolderPath(event.from.key);
        const std::optional<std::string> to = FolderPath(event.to.key);
        if (!from || !to) return false;
        HandleRename(event, JoinPath(*from, event.from.name), JoinPath(*to, event.to.name));
        return true;
    }
    if (event.dir.key.empty()) {  // the root itself, named by its own handle
        HandleChange(event, m_realRoot);
        return true;
    }
    const std::optional<std::string> folder = FolderPath(event.dir.key);
    if (!folder) return false;
    HandleChange(event, JoinPath(*folder, event.dir.name));
    return true;
}

// While a listing is in its window, the line of a rename says what the lines
// so far make true: a rename from a told item to a name not yet told; a
// creation when the item was never told; only the old name's removal when a
// listing already told the new one; nothing when both hold already.
void FanotifySource::HandleRename(const Event& event, const std::string& from,
                                  const std::string& to) {
    const uint64_t dir = event.mask & FAN_ONDIR;
    if (dir && !event.item.empty()) m_folders.Place(event.item, event.to.key, event.to.name);
    if (dir) m_folders.Renamed(from, to);
    std::optional<std::string> oldPath = Within(from);
    std::optional<std::string> newPath = Within(to);
    if (oldPath && *oldPath == m_root) {
        // The root itself moved: it is watched on under its new name.
        if (!newPath) newPath = to;
        Emit(ShellEventFromFanotifyMask(FAN_RENAME | dir), m_root, &*newPath);
        m_root = *newPath;
        m_realRoot = to;
        return;
    }
    if (!m_recursive) {
        if (oldPath && ParentOf(*oldPath) != m_root) oldPath.reset();
        if (newPath && ParentOf(*newPath) != m_root) newPath.reset();
    }
    if (oldPath) MoveClosed(*oldPath, newPath);
    const bool fromTold =
        oldPath && m_windows.Check(event.from.key, event.from.name) != Known::kNotHeld;
    const bool toTold = newPath && m_windows.Check(event.to.key, event.to.name) == Known::kHeld;
    m_windows.Remove(event.from.key, event.from.name);
    if (newPath) m_windows.Add(event.to.key, event.to.name);
    if (fromTold && newPath && !toTold) {
        Emit(ShellEventFromFanotifyMask(FAN_RENAME | dir), *oldPath, &*newPath);
        m_contents.Put(m_contents.Take(*oldPath), *newPath);
        TellIfExchange(event, *oldPath, *newPath);
        return;
    }
    m_lastRename = LastRename();
    if (fromTold) {
        Emit(ShellEventFromFanotifyMask(FAN_MOVED_FROM | dir), *oldPath);
        if (newPath) {
            m_contents.Put(m_contents.Take(*oldPath), *newPath);
        } else {
            m_contents.Forget(*oldPath);
        }
    } else if (newPath && !toTold) {
        Emit(ShellEventFromFanotifyMask(FAN_MOVED_TO | dir), *newPath);
        if (dir && m_recursive) ListArrival(to, event.item.empty() ? KeyOfPath(to) : event.item);
    }
}

// A folder that arrives by a move brings what it holds, which no event will
// tell: it is listed now, and what is found is told as created. Each folder
// listed opens a window, so that the events still queued for changes made in
// it meanwhile are told only where they are true of these lines.
void FanotifySource::ListArrival(const std::string& top, const std::string& topKey) {
    std::vector<std::pair<std::string, std::string>> folders{{top, topKey}};
    while (!folders.empty()) {
        const auto [path, key] = std::move(folders.back());
        folders.pop_back();
        DIR* listing = key.empty() ? nullptr : opendir(path.c_str());
        if (!listing) continue;  // gone again; its removal is on its way
        m_windows.Open(key);
        while (const struct dirent* entry = readdir(listing)) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = JoinPath(path, name);
            struct stat info;
            const bool isDir = entry->d_type == DT_DIR ||
                               (entry->d_type == DT_UNKNOWN && lstat(child.c_str(), &info) == 0 &&
                                S_ISDIR(info.st_mode));
            const std::optional<std::string> told = Within(child);
            if (!told) continue;
            Emit(isDir ? SHCNE_MKDIR : SHCNE_CREATE, *told);
            m_windows.Listed(key, std::string(name));
            if (!isDir) continue;
            std::string childKey = KeyOfPath(child);
            if (!childKey.empty()) m_folders.Place(childKey, key, name);
            folders.emplace_back(child, std::move(childKey));
        }
        closedir(listing);
    }
}

// RENAME_EXCHANGE comes as two renames back to back, each to the other's
// place, of two different items; read as two renames they would leave one
// item where both are. Each place is therefore named again to be listed.
void FanotifySource::TellIfExchange(const Event& event, const std::string& from,
                                    const std::string& to) {
    const bool exchange = !event.item.empty() && m_lastRename.from == to &&
                          m_lastRename.to == from && m_lastRename.item != event.item;
    if (!exchange) {
        m_lastRename = LastRename{from, to, event.item};
        return;
    }
    m_lastRename = LastRename();
    Emit(SHCNE_UPDATEDIR, from);
    Emit(SHCNE_UPDATEDIR, to);
}

// The listings' windows close once the queue has been read to its end and
// every event read is told: none of them can still repeat what a listing
// found.
void FanotifySource::CloseWindowsOnceRead() {
    if (m_pending.empty()) m_windows.CloseAll();
}

// The kinds of change one event may carry, merged by the kernel, are told
// in the order they can have happened: made, changed, removed.
void FanotifySource::HandleChange(const Event& event, const std::string& real) {
    const uint64_t dir = event.mask & FAN_ONDIR;
    if (dir && !event.item.empty()) {
        if (event.mask & FAN_DELETE) {
            m_folders.Forget(event.item);
        } else if (event.mask & FAN_CREATE) {
            m_folders.Place(event.item, event.dir.key, event.dir.name);
        }
    }
    std::optional<std::string> path = Within(real);
    if (!path) return;
    if (*path == m_root) {
        HandleOnRoot(event.mask);
        return;
    }
    if (!m_recursive && ParentOf(*path) != m_root) return;
    m_lastRename = LastRename();
    // While a listing of the folder is in its window, a creation it told
    // already, or the removal of a name never told, is not told again.
    const Known known = m_windows.Check(event.dir.key, event.dir.name);
    const auto now = ContentTracker::Clock::now();
    if (event.mask & FAN_CREATE) {
        if (known != Known::kHeld) Emit(ShellEventFromFanotifyMask(FAN_CREATE | dir), *path);
        if (!dir) m_contents.Created(*path, now);
    }
    if ((event.mask & FAN_ATTRIB) && (dir || !m_contents.IsFresh(*path, now))) {
        Emit(ShellEventFromFanotifyMask(FAN_ATTRIB | dir), *path);
    }
    if ((event.mask & FAN_MODIFY) && !dir) m_contents.Modified(*path, now);
    if ((event.mask & FAN_CLOSE_WRITE) && !dir && m_contents.Closed(*path) &&
        std::find(m_closed.begin(), m_closed.end(), *path) == m_closed.end()) {
        m_closed.push_back(*path);
    }
    if (event.mask & FAN_DELETE) {
        TellClosedAt(*path);
        if (known != Known::kNotHeld || (event.mask & FAN_CREATE)) {
            Emit(ShellEventFromFanotifyMask(FAN_DELETE | dir), *path);
        }
        m_contents.Forget(*path);
        m_windows.Remove(event.dir.key, event.dir.name);
    } else if (event.mask & FAN_CREATE) {
        m_windows.Add(event.dir.key, event.dir.name);
    }
}

// The root's own changes. Unlinking a file changes its link count first;
// when its path is gone with it, the item has left, even if other links keep
// it alive.
void FanotifySource::HandleOnRoot(uint64_t mask) {
    const uint64_t dir = m_rootIsDir ? FAN_ONDIR : 0;
    struct stat info;
    if ((mask & FAN_DELETE) ||
        ((mask & FAN_ATTRIB) && !dir && stat(m_realRoot.c_str(), &info) != 0 && errno == ENOENT)) {
        m_rootGone = true;
        Emit(ShellEventFromFanotifyMask(FAN_DELETE | dir), m_root);
        return;
    }
    if (mask & FAN_ATTRIB) Emit(ShellEventFromFanotifyMask(FAN_ATTRIB | dir), m_root);
    if (dir) return;
    if (mask & FAN_MODIFY) m_contents.Modified(m_root, ContentTracker::Clock::now());
    if ((mask & FAN_CLOSE_WRITE) && m_contents.Closed(m_root)) {
        Emit(ShellEventFromFanotifyMask(FAN_CLOSE_WRITE), m_root);
    }
}

// A folder that could never be named: whoever lists folders is asked to
// list the nearest one that can be, the root of its file system at worst,
// rather than be told a wrong or empty path.
void FanotifySource::GiveUp(const Event& event) {
    const std::string& key = (event.mask & FAN_RENAME) ? event.to.key : event.dir.key;
    std::string nearest = m_root;
    auto fileSystem = m_fileSystems.find(FsidOf(key));
    if (fileSystem != m_fileSystems.end()) {
        if (auto path = Within(fileSystem->second)) nearest = *path;
    }
    // Every waiting line of that folder would ask the same.
    if (nearest == m_lastGivenUp) return;
    Emit(SHCNE_UPDATEDIR, nearest);
    m_lastGivenUp = nearest;
}

// The kernel dropped events: what the map learnt may be wrong now, so it
// starts again from the mounts' roots, and the root is told as changed.
void FanotifySource::Overflowed() {
    TellClosed();
    m_pending.clear();
    m_unnamed.clear();
    m_windows.CloseAll();
    m_lastRename = LastRename();
    m_folders.ForgetLearnt();
    TakeMountTable(true);
    // A watch of a folder knows every folder below it; after the map was
    // forgotten it learns them again, or their events would be dropped.
    if (m_root != "/" && m_recursive && m_rootIsDir) LearnTree(m_realRoot, m_rootKey);
    Emit(SHCNE_UPDATEDIR, m_root);
}

// A closed file that moved is told where it is now; one that left the tree
// is not told.
void FanotifySource::MoveClosed(const std::string& from, const std::optional<std::string>& to) {
    for (auto it = m_closed.begin(); it != m_closed.end();) {
        if (*it != from && !Below(*it, from)) {
            ++it;
        } else if (to) {
            *it = *to + it->substr(from.size());
            ++it;
        } else {
            it = m_closed.erase(it);
        }
    }
}

// Closed files at path or below it are told before their removal is.
void FanotifySource::TellClosedAt(const std::string& path) {
    for (auto it = m_closed.begin(); it != m_closed.end();) {
        if (*it != path && !Below(*it, path)) {
            ++it;
            continue;
        }
        Emit(SHCNE_UPDATEITEM, *it);
        it = m_closed.erase(it);
    }
}

// Once every event read is told, so is every closed file, where it is now.
void FanotifySource::TellClosed() {
    if (!m_pending.empty()) return;
    for (const std::string& path : m_closed) Emit(SHCNE_UPDATEITEM, path);
    m_closed.clear();
}

void FanotifySource::ReportDueContents() {
    if (!m_contents.Waiting()) return;
    for (const std::string& path : m_contents.Due(ContentTracker::Clock::now())) {
        Emit(SHCNE_UPDATEITEM, path);
    }
}

void FanotifySource::Emit(LONG event, const std::string& path1, const std::string* path2) {
    if (!event) return;
    m_lastGivenUp.clear();
    m_sink(event, path1, path2);
    if (!m_binds.empty() && event != SHCNE_DRIVEADD && event != SHCNE_DRIVEREMOVED) {
        TellAtBinds(event, path1, path2);
    }
}

// A line below a bound folder, told at the bind. A rename of which only one
// end lies below the folder is, at the bind, an item that came or went.
void FanotifySource::TellAtBinds(LONG event, const std::string& path1, const std::string* path2) {
    for (const Bind& bind : m_binds) {
        const auto at = [&](const std::string& path) -> std::optional<std::string> {
            if (!Below(path, bind.folder)) return std::nullopt;
            return bind.point + path.substr(bind.folder.size());
        };
        const std::optional<std::string> first = at(path1);
        const std::optional<std::string> second = path2 ? at(*path2) : std::nullopt;
        const bool folder = event == SHCNE_RENAMEFOLDER;
        if (path2 && first && second) {
            m_sink(event, *first, &*second);
        } else if (path2 && first) {
            m_sink(folder ? SHCNE_RMDIR : SHCNE_DELETE, *first, nullptr);
        } else if (path2 && second) {
            m_sink(folder ? SHCNE_MKDIR : SHCNE_CREATE, *second, nullptr);
        } else if (!path2 && first) {
            m_sink(event, *first, nullptr);
        }
    }
}

}  // namespace posix
