// Which shell event one inotify event stands for.
#pragma once

#include <stdint.h>

#include <windows.h>

namespace posix {

// A rename seen from both ends (IN_MOVED_FROM paired with IN_MOVED_TO by
// cookie) is passed in as both bits together.
constexpr uint32_t kPairedMove = 0x000000C0;  // IN_MOVED_FROM | IN_MOVED_TO

// The SHCNE_ code for a kernel event mask (IN_ISDIR included), or 0 for an
// event that has no line of its own. IN_MODIFY and IN_CLOSE_WRITE both map
// to SHCNE_UPDATEITEM; when a content change is reported is decided apart.
LONG ShellEventFromMask(uint32_t mask);

}  // namespace posix
