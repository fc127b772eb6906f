// Puts a pipe, a socket, a regular file or a terminal on its standard output,
// writes through the runtime's standard output, and reports on the descriptor
// that was standard output what it could see of stalls meanwhile, one fact a
// line.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "standard_output.h"

namespace {

int s_report = -1;

void Report(const char* fact, bool value) {
    dprintf(s_report, "%s: %s\n", fact, value ? "yes" : "no");
}

bool StallFdReadable(int milliseconds) {
    struct pollfd fd = {posix::OutputStallFd(), POLLIN, 0};
    return poll(&fd, 1, milliseconds) == 1;
}

// How many of this process's descriptors write to what descriptor 1 leads to.
int WritersOnStandardOutput() {
    struct stat out;
    DIR* fds = opendir("/proc/self/fd");
    if (fstat(1, &out) != 0 || !fds) return -1;
    int count = 0;
    while (const dirent* entry = readdir(fds)) {
        const int fd = atoi(entry->d_name);
        struct stat other;
        if (entry->d_name[0] == '.' || fd == dirfd(fds)) continue;
        if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) continue;
        if (fstat(fd, &other) == 0 && other.st_dev == out.st_dev && other.st_ino == out.st_ino) {
            ++count;
        }
    }
    closedir(fds);
    return count;
}

// Leaves root for a user that may not open root's pipes again.
bool BecomeAnotherUser() {
    constexpr gid_t kNobody = 65534;
    return geteuid() == 0 && setgroups(0, nullptr) == 0 &&
           setresgid(kNobody, kNobody, kNobody) == 0 && setresuid(kNobody, kNobody, kNobody) == 0;
}

// Descriptor 1 becomes the kind asked for; the end to read a pipe or a socket
// from is returned through readEnd.
bool PutOnStandardOutput(const std::string& kind, int* readEnd) {
    int fd = -1;
    if (kind == "pipe" || kind == "another user's pipe") {
        int ends[2];
        if (pipe(ends) != 0) return false;
        *readEnd = ends[0];
        fd = ends[1];
    } else if (kind == "socket") {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return false;
        // A small buffer, so that the lines below fill it as they fill a pipe.
        const int size = 4096;
        setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        *readEnd = ends[0];
        fd = ends[1];
    } else if (kind == "file") {
        char name[] = "/tmp/orvane-stall-XXXXXX";
        fd = mkstemp(name);
        if (fd >= 0) unlink(name);
    } else if (kind == "terminal") {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        char name[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0) {
            return false;
        }
        fd = open(name, O_WRONLY | O_NOCTTY);
    }
    if (fd < 0 || dup2(fd, 1) != 1) return false;
    close(fd);
    return kind != "another user's pipe" || BecomeAnotherUser();
}

void Print(const std::string& text) {
    posix::HoldOutput(text.data(), text.size());
    posix::WriteHeldOutput();
}

// More than a pipe holds, in whole lines.
std::string ManyLines() {
    std::string text;
    for (int i = 0; i < 8000; ++i) text += "line " + std::to_string(i) + " of many lines\n";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::string kind = argv[1];
    s_report = dup(1);
    int readEnd = -1;
    if (!PutOnStandardOutput(kind, &readEnd)) {
        dprintf(s_report, "cannot put on standard output: %s\n", kind.c_str());
        return 1;
    }
    Report("told before the first line", posix::OutputStallsTold());
    Print("the first line\n");
    Report("told after it", posix::OutputStallsTold());
    Report("opened again", WritersOnStandardOutput() > 1);
    if (kind == "terminal") return 0;  // nobody reads the terminal

    const std::string many = ManyLines();
    std::thread writer(Print, many);
    Report("stall shown while the reader sleeps", StallFdReadable(kind == "file" ? 200 : 5000));
    Report("stalled", posix::OutputStalled());
    if (readEnd >= 0) {
        char buffer[65536];
        size_t left = strlen("the first line\n") + many.size();
        while (left > 0) {
            const ssize_t got = read(readEnd, buffer, sizeof buffer);
            if (got <= 0) return 1;
            left -= static_cast<size_t>(got);
        }
    }
    writer.join();
    Report("stall shown once all is read", StallFdReadable(0));
    Report("stalled", posix::OutputStalled());
    return 0;
}
