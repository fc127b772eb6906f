/* walk_floor ROOT THREADS: the least a watcher must do to arm a tree, timed.
 *
 * Each folder is opened from its parent's descriptor, watched (the thread
 * enters it and watches "."), and listed with getdents64 for its subfolders,
 * unless its link count says it has none (two links, on a file system whose
 * counts tell subfolders: ext2/3/4, tmpfs, xfs); nothing else is kept or
 * printed. The folders just below ROOT are shared out
 * among THREADS threads, which add watches to one inotify instance, as a
 * watcher of the whole tree would. Prints the seconds taken and the watches
 * added, on one line: "<seconds> <watches>".
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#define WATCH_MASK                                                                      \
    (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE | \
     IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR)

static int s_inotify;
static int s_threads;
static const char* s_root;
static atomic_long s_watches;
static int s_linksCount; /* whether the tree's links count its subfolders */

struct names {
    char* text;
    size_t used, size;
};

static void add_name(struct names* names, const char* name) {
    size_t length = strlen(name) + 1;
    if (names->used + length > names->size) {
        names->size = 2 * (names->used + length);
        names->text = realloc(names->text, names->size);
        if (!names->text) abort();
    }
    memcpy(names->text + names->used, name, length);
    names->used += length;
}

/* The names of the subfolders of the folder open on fd. */
static void list_folders(int fd, struct names* names) {
    char buffer[32768];
    for (;;) {
        long size = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (size <= 0) break;
        for (long at = 0; at < size;) {
            struct dirent64* entry = (struct dirent64*)(buffer + at);
            at += entry->d_reclen;
            if (entry->d_type == DT_DIR && strcmp(entry->d_name, ".") != 0 &&
                strcmp(entry->d_name, "..") != 0) {
                add_name(names, entry->d_name);
            }
        }
    }
}

/* Watches and lists the folder open on fd, then each subfolder; closes fd. */
static void walk(int fd) {
    if (fchdir(fd) == 0 && inotify_add_watch(s_inotify, ".", WATCH_MASK) >= 0) {
        atomic_fetch_add(&s_watches, 1);
    }
    struct names names = {0};
    struct stat info;
    if (!s_linksCount || fstat(fd, &info) != 0 || info.st_nlink != 2) list_folders(fd, &names);
    for (size_t at = 0; at < names.used; at += strlen(names.text + at) + 1) {
        int child = openat(fd, names.text + at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) walk(child);
    }
    free(names.text);
    close(fd);
}

/* Thread k takes every THREADS-th folder just below the root. */
static void* walk_share(void* arg) {
    long k = (long)arg;
    if (unshare(CLONE_FS) != 0) return NULL;
    int root = open(s_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return NULL;
    struct names names = {0};
    list_folders(root, &names);
    long index = 0;
    for (size_t at = 0; at < names.used; at += strlen(names.text + at) + 1, ++index) {
        if (index % s_threads != k) continue;
        int child = openat(root, names.text + at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) walk(child);
    }
    free(names.text);
    close(root);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 3 || atoi(argv[2]) < 1) {
        fprintf(stderr, "usage: walk_floor ROOT THREADS\n");
        return 2;
    }
    s_root = argv[1];
    s_threads = atoi(argv[2]);
    s_inotify = inotify_init1(IN_CLOEXEC);
    if (s_inotify < 0) {
        perror("walk_floor: inotify_init1");
        return 1;
    }
    struct statfs fs;
    if (statfs(s_root, &fs) == 0) {
        s_linksCount = fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == TMPFS_MAGIC ||
                       fs.f_type == XFS_SUPER_MAGIC;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int root = open(s_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root >= 0 && inotify_add_watch(s_inotify, s_root, WATCH_MASK) >= 0) {
        atomic_fetch_add(&s_watches, 1);
    }
    pthread_t threads[64];
    int started = 0;
    for (long k = 0; k < s_threads && k < 64; ++k) {
        if (pthread_create(&threads[started], NULL, walk_share, (void*)k) == 0) ++started;
    }
    for (int k = 0; k < started; ++k) pthread_join(threads[k], NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%.4f %ld\n", (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
           atomic_load(&s_watches));
    return 0;
}
