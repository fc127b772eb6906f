// Which shell event one fanotify event stands for.
#pragma once

#include <stdint.h>

#include <windows.h>

namespace posix {

// The SHCNE_ code for one kind of event in a fanotify mask (FAN_ONDIR
// included), or 0 for one that has no line of its own. A rename of which
// only one end lies in the watched tree is passed in as FAN_MOVED_FROM (it
// left) or FAN_MOVED_TO (it came), as the kernel names those ends.
// FAN_MODIFY and FAN_CLOSE_WRITE both map to SHCNE_UPDATEITEM; when a
// content change is reported is decided apart.
LONG ShellEventFromFanotifyMask(uint64_t mask);

}  // namespace posix
