#include "folder_descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace posix {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The folders passed through on the way need no read permission, only search.
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Set once the kernel turned openat2 down: every later open goes one name at
// a time.
std::atomic<bool> s_stepwiseOnly{false};

// A name from a listing or an event never holds a slash and is never "." or
// "..", but a name that did could lead out of the tree.
bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// Closes fd without losing the errno of the failure being reported.
void CloseKeepingErrno(int fd) {
    const int error = errno;
    close(fd);
    errno = error;
}

// One open of a relative path that the kernel resolves with no symbolic link
// anywhere and without leaving dirFd's folder.
int OpenResolved(int dirFd, const std::string& relative, int flags) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    return static_cast<int>(syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how));
}

// As many names per openat2 as fit in a path the kernel takes, so a deep
// folder costs one system call per PATH_MAX bytes of its path.
int OpenInChunks(int baseFd, const std::vector<std::string_view>& names) {
    int fd = baseFd;
    std::string relative;
    for (size_t next = 0; next < names.size();) {
        relative.assign(names[next].data(), names[next].size());
        for (++next; next < names.size() && relative.size() + 1 + names[next].size() < PATH_MAX;
             ++next) {
            relative += '/';
            relative.append(names[next].data(), names[next].size());
        }
        const int opened =
            OpenResolved(fd, relative, next == names.size() ? kFolderFlags : kPassFlags);
        if (fd != baseFd) CloseKeepingErrno(fd);
        if (opened < 0) return -1;
        fd = opened;
    }
    return fd;
}

// The same for kernels without openat2 (before 5.6): one openat per name.
int OpenStepwise(int baseFd, const std::vector<std::string_view>& names) {
    int fd = baseFd;
    std::string name;
    for (size_t i = 0; i < names.size(); ++i) {
        name.assign(names[i].data(), names[i].size());
        const int opened =
            openat(fd, name.c_str(), i + 1 == names.size() ? kFolderFlags : kPassFlags);
        if (fd != baseFd) CloseKeepingErrno(fd);
        if (opened < 0) return -1;
        fd = opened;
    }
    return fd;
}

}  // namespace

int OpenBeneath(int baseFd, const std::vector<std::string_view>& names) {
    if (names.empty()) return openat(baseFd, ".", kFolderFlags);
    for (std::string_view name : names) {
        if (!IsPlainName(name)) {
            errno = ENOENT;
            return -1;
        }
    }
    if (!s_stepwiseOnly.load(std::memory_order_relaxed)) {
        const int fd = OpenInChunks(baseFd, names);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
        // Not known to the kernel, or refused by a system call filter; a
        // real EPERM from the folder comes again from openat below.
        s_stepwiseOnly.store(true, std::memory_order_relaxed);
    }
    return OpenStepwise(baseFd, names);
}

size_t RaiseDescriptorLimit() {
    // Enough for any walk; a hard limit of millions is left unused, since
    // every open folder costs the kernel memory too.
    constexpr rlim_t kWanted = 65536;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < kWanted && limit.rlim_cur < limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = std::min(kWanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<size_t>(INT_MAX)
                                           : static_cast<size_t>(limit.rlim_cur);
}

size_t OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    size_t count = 0;
    while (const struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count > 0 ? count - 1 : 0;  // not the one listing them
}

bool OutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

HeldFolder::~HeldFolder() {
    close(m_fd);
    --*m_count;
}

}  // namespace posix
