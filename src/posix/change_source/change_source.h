// What the registration holds: a watch of one item and everything below it
// that reports changes as shell events, on a thread of its own from Start to
// Stop. The inotify watch and the fanotify watch both have this shape.
#pragma once

#include <functional>
#include <string>

#include <windows.h>

namespace posix {

class ChangeSource {
  public:
    // Called on the watch's thread for every change: the SHCNE_ code, the
    // item's path, and the second path of a rename (else null).
    using Sink =
        std::function<void(LONG event, const std::string& path1, const std::string* path2)>;

    virtual ~ChangeSource() = default;
    // Watches the tree, then starts the thread. False (with a line on
    // standard error) when nothing could be watched.
    virtual bool Start() = 0;
    // Stops the thread; no sink call happens after it returns.
    virtual void Stop() = 0;
};

}  // namespace posix
