// Which change source watches a registration's item: a fanotify filesystem
// mark for the whole system where the process may place one, an inotify
// walk otherwise. This is the only place that chooses, so that a build for
// the tests can link a choice of its own in its place.
#pragma once

#include <memory>
#include <string>

#include "change_source/change_source.h"
#include "thread_queue.h"

namespace posix {

// The chosen source for root, started; null (with a line on standard error)
// when nothing could be watched. Its lines go to loop's queue (when known),
// whose owner may then read the source's kernel queue while it idles.
std::unique_ptr<ChangeSource> StartChangeSource(const std::string& root, bool recursive,
                                                ChangeSource::Sink sink,
                                                const std::shared_ptr<ThreadQueue>& loop);

}  // namespace posix
