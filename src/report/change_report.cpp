#include "change_report.h"

#include <stdio.h>

namespace {

struct ShellEventRow {
    LONG lEvent;
    const char* format;
};

// Looked up by exact equality of the whole code: a combination of bits, or a
// bit with the interrupt flag beside it, takes the default line.
const ShellEventRow s_rows[] = {
    {SHCNE_RENAMEITEM, "SHCNE_RENAMEITEM('%s', '%s')\n"},
    {SHCNE_CREATE, "SHCNE_CREATE('%s', '%s')\n"},
    {SHCNE_DELETE, "SHCNE_DELETE('%s', '%s')\n"},
    {SHCNE_MKDIR, "SHCNE_MKDIR('%s', '%s')\n"},
    {SHCNE_RMDIR, "SHCNE_RMDIR('%s', '%s')\n"},
    {SHCNE_MEDIAINSERTED, "SHCNE_MEDIAINSERTED('%s', '%s')\n"},
    {SHCNE_MEDIAREMOVED, "SHCNE_MEDIAREMOVED('%s', '%s')\n"},
    {SHCNE_DRIVEREMOVED, "SHCNE_DRIVEREMOVED('%s', '%s')\n"},
    {SHCNE_DRIVEADD, "SHCNE_DRIVEADD('%s', '%s')\n"},
    {SHCNE_NETSHARE, "SHCNE_NETSHARE('%s', '%s')\n"},
    {SHCNE_NETUNSHARE, "SHCNE_NETUNSHARE('%s', '%s')\n"},
    {SHCNE_ATTRIBUTES, "SHCNE_ATTRIBUTES('%s', '%s')\n"},
    {SHCNE_UPDATEDIR, "SHCNE_UPDATEDIR('%s', '%s')\n"},
    {SHCNE_UPDATEITEM, "SHCNE_UPDATEITEM('%s', '%s')\n"},
    {SHCNE_SERVERDISCONNECT, "SHCNE_SERVERDISCONNECT('%s', '%s')\n"},
    {SHCNE_UPDATEIMAGE, "SHCNE_UPDATEIMAGE('%s', '%s')\n"},
    {SHCNE_DRIVEADDGUI, "SHCNE_DRIVEADDGUI('%s', '%s')\n"},
    {SHCNE_RENAMEFOLDER, "SHCNE_RENAMEFOLDER('%s', '%s')\n"},
    {SHCNE_FREESPACE, "SHCNE_FREESPACE('%s', '%s')\n"},
    {SHCNE_EXTENDED_EVENT, "SHCNE_EXTENDED_EVENT('%p', '%p')\n"},
    {SHCNE_ASSOCCHANGED, "SHCNE_ASSOCCHANGED('%s', '%s')\n"},
};

// Clears the buffer first: the conversion may leave it untouched when the
// item has no file-system path, and the line must never show stale bytes.
void ItemPath(ITEMIDLIST* item, char (&path)[MAX_PATH]) {
    path[0] = '\0';
    if (item) {
        SHGetPathFromIDListA(item, path);
        path[MAX_PATH - 1] = '\0';
    }
}

}  // namespace

const char* ShellEventFormat(LONG lEvent) {
    for (const ShellEventRow& row : s_rows) {
        if (row.lEvent == lEvent) return row.format;
    }
    return nullptr;
}

int OnShellNotify(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    // A sender other than the shell may post a null wParam; it is reported
    // with both items absent rather than read through.
    ITEMIDLIST* const* items = reinterpret_cast<ITEMIDLIST* const*>(wParam);
    ITEMIDLIST* item1 = items ? items[0] : nullptr;
    ITEMIDLIST* item2 = items ? items[1] : nullptr;
    DoShellNotify(hwnd, item1, item2, static_cast<LONG>(lParam));
    return 1;
}

void DoShellNotify(HWND, ITEMIDLIST* item1, ITEMIDLIST* item2, LONG lEvent) {
    char path1[MAX_PATH];
    char path2[MAX_PATH];
    ItemPath(item1, path1);
    ItemPath(item2, path2);

    const char* format = ShellEventFormat(lEvent);
    if (lEvent == SHCNE_EXTENDED_EVENT) {
        printf(format, static_cast<void*>(item1), static_cast<void*>(item2));
    } else if (format) {
        printf(format, path1, path2);
    } else {
        printf("(lEvent:%08lX)('%s', '%s')\n", lEvent, path1, path2);
    }
    fflush(stdout);
}
