#include "fanotify_mapping.h"

#include <sys/fanotify.h>

#include <shlobj.h>

namespace posix {

LONG ShellEventFromFanotifyMask(uint64_t mask) {
    const bool dir = mask & FAN_ONDIR;
    if (mask & FAN_Q_OVERFLOW) return SHCNE_UPDATEDIR;
    if (mask & FAN_RENAME) return dir ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM;
    if (mask & (FAN_CREATE | FAN_MOVED_TO)) return dir ? SHCNE_MKDIR : SHCNE_CREATE;
    if (mask & (FAN_DELETE | FAN_MOVED_FROM)) return dir ? SHCNE_RMDIR : SHCNE_DELETE;
    if (mask & FAN_ATTRIB) return SHCNE_ATTRIBUTES;
    if (mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) return dir ? 0 : SHCNE_UPDATEITEM;
    return 0;
}

}  // namespace posix
