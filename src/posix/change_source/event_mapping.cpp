#include "event_mapping.h"

#include <sys/inotify.h>

#include <shlobj.h>

namespace posix {

LONG ShellEventFromMask(uint32_t mask) {
    const bool dir = mask & IN_ISDIR;
    if (mask & IN_Q_OVERFLOW) return SHCNE_UPDATEDIR;
    if ((mask & kPairedMove) == kPairedMove) return dir ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM;
    // One end of a move alone: the item left or entered the tree.
    if (mask & (IN_CREATE | IN_MOVED_TO)) return dir ? SHCNE_MKDIR : SHCNE_CREATE;
    if (mask & (IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF))
        return dir ? SHCNE_RMDIR : SHCNE_DELETE;
    if (mask & IN_ATTRIB) return SHCNE_ATTRIBUTES;
    if (mask & (IN_MODIFY | IN_CLOSE_WRITE)) return dir ? 0 : SHCNE_UPDATEITEM;
    return 0;
}

}  // namespace posix
