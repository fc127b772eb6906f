// Creates COUNT files in DIR as fast as one process can, and reports when it
// started and ended on the monotonic clock, so that the caller can line the
// burst up with the moments a watcher printed its lines.
//
// Usage: burst_create DIR COUNT [open|mknod]
// "open" (the default) creates each file with open(O_CREAT) and close, the
// way programs usually do; "mknod" creates it without opening it, so that
// each file yields exactly one inotify event whatever the watch mask.
// Prints "start_ns END_NS created N" on standard output.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int create_one(int dirfd, const char* name, int use_mknod) {
    if (use_mknod) return mknodat(dirfd, name, S_IFREG | 0644, 0);
    int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : close(fd);
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: %s DIR COUNT [open|mknod]\n", argv[0]);
        return 2;
    }
    long count = strtol(argv[2], NULL, 10);
    int use_mknod = argc == 4 && strcmp(argv[3], "mknod") == 0;
    int dirfd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0 || count < 0) {
        fprintf(stderr, "burst_create: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    char name[32];
    long created = 0;
    long long start = monotonic_ns();
    for (long i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "bf%07ld", i);
        if (create_one(dirfd, name, use_mknod) == 0) ++created;
    }
    long long end = monotonic_ns();
    printf("%lld %lld created %ld\n", start, end, created);
    return created == count ? 0 : 1;
}
