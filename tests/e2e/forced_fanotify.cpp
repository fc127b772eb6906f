// The tests' build of the program watches every item through a fanotify
// filesystem mark filtered to the item, so the end-to-end suite can run
// against that source with paths of its own. It replaces the shipped choice.
#include "source_choice.h"

#include <cstdio>

#include "change_source/fanotify_source.h"

namespace posix {

std::unique_ptr<ChangeSource> StartChangeSource(const std::string& root, bool recursive,
                                                ChangeSource::Sink sink,
                                                const std::shared_ptr<ThreadQueue>&) {
    std::unique_ptr<ChangeSource> source(new FanotifySource(root, recursive, std::move(sink)));
    if (!source->Start()) return nullptr;
    return source;
}

}  // namespace posix
