// The choice of change source of the shipped program. Nothing else lives in
// this file: the tests' build replaces it whole.
#include "source_choice.h"

#include <cstdio>

#include "change_source/fanotify_source.h"
#include "change_source/watcher.h"

namespace posix {
namespace {

std::unique_ptr<ChangeSource> StartFanotify(const std::string& root, bool recursive,
                                            ChangeSource::Sink sink) {
    std::unique_ptr<ChangeSource> source(new FanotifySource(root, recursive, std::move(sink)));
    if (!source->Start()) return nullptr;
    return source;
}

}  // namespace

// A filesystem mark reports a whole file system, so a watch of one folder
// pays for every change elsewhere on it; the inotify walk costs one watch per
// folder instead. The whole system is watched with marks when the process
// may place them; a folder, with the walk, unless the walk meets the watch
// limit.
std::unique_ptr<ChangeSource> StartChangeSource(const std::string& root, bool recursive,
                                                ChangeSource::Sink sink,
                                                const std::shared_ptr<ThreadQueue>& loop) {
    const bool wholeSystem = root == "/" && recursive;
    if (wholeSystem && FanotifySource::Permitted()) {
        return StartFanotify(root, recursive, std::move(sink));
    }
    if (wholeSystem) {
        fprintf(stderr,
                "orvane: watching '/' folder by folder through inotify, which takes a while and "
                "one watch per folder: the instant watch of the whole system uses fanotify "
                "filesystem marks, which need CAP_SYS_ADMIN (run as root) and Linux 5.17 or "
                "later\n");
        fflush(stderr);
    }
    std::unique_ptr<Watcher> watcher(new Watcher(root, recursive, sink));
    if (loop) watcher->ShareReadingWith(loop);
    if (!watcher->Start()) return nullptr;
    if (!watcher->MetWatchLimit() || !FanotifySource::Permitted()) return watcher;
    std::unique_ptr<ChangeSource> marked = StartFanotify(root, recursive, std::move(sink));
    if (!marked) return watcher;
    watcher->Stop();
    fprintf(stderr,
            "orvane: '%s' is watched through a fanotify filesystem mark instead, which needs no "
            "watch per folder\n",
            root.c_str());
    fflush(stderr);
    return marked;
}

}  // namespace posix
