// Which change source watches a registration's item: a fanotify filesystem
// mark for the whole system where the process may place one, an inotify
// walk otherwise. This is the only place that chooses, so that a build for
// the tests can link a choice of its own in its place.
#pragma once

#include <memory>
#include <string>

#include "change_source/change_source.h"

namespace posix {

// The chosen source for root, started; null (with a line on standard error)
// when nothing could be watched.
std::unique_ptr<ChangeSource> StartChangeSource(const std::string& root, bool recursive,
                                                ChangeSource::Sink sink);

}  // namespace posix
