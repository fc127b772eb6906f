// Linux stand-in for <shlobj.h>: only what Orvane calls is provided.
//
// Item identifier lists: an ITEMIDLIST is an opaque block that this layer
// allocates and CoTaskMemFree releases; it carries the item's absolute path
// as bytes. ILCreateFromPathW makes one for an existing item (null when the
// path names none), SHGetSpecialFolderLocation makes one for CSIDL_DESKTOP,
// which is "/", and SHGetPathFromIDListA gives the path back.
// Change notifications: SHChangeNotifyEntry, the SHCNE_ and SHCNRF_ values,
// and SHChangeNotifyRegister / SHChangeNotifyDeregister, behind which a
// watch of the file system runs. They are reached, as on Windows, through
// GetProcAddress(GetModuleHandleW(L"shell32"), name).
#pragma once

#include <windows.h>
#include <objbase.h>

typedef struct _ITEMIDLIST ITEMIDLIST;
typedef ITEMIDLIST* LPITEMIDLIST;
typedef const ITEMIDLIST* LPCITEMIDLIST;
typedef ITEMIDLIST* PIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* PCIDLIST_ABSOLUTE;

typedef LONG HRESULT;
#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)

#define CSIDL_DESKTOP 0x0000

typedef struct _SHChangeNotifyEntry {
    PCIDLIST_ABSOLUTE pidl;
    BOOL fRecursive;
} SHChangeNotifyEntry;

#define SHCNRF_InterruptLevel 0x0001
#define SHCNRF_ShellLevel 0x0002
#define SHCNRF_RecursiveInterrupt 0x1000
#define SHCNRF_NewDelivery 0x8000

#define SHCNE_RENAMEITEM ((LONG)0x00000001)
#define SHCNE_CREATE ((LONG)0x00000002)
#define SHCNE_DELETE ((LONG)0x00000004)
#define SHCNE_MKDIR ((LONG)0x00000008)
#define SHCNE_RMDIR ((LONG)0x00000010)
#define SHCNE_MEDIAINSERTED ((LONG)0x00000020)
#define SHCNE_MEDIAREMOVED ((LONG)0x00000040)
#define SHCNE_DRIVEREMOVED ((LONG)0x00000080)
#define SHCNE_DRIVEADD ((LONG)0x00000100)
#define SHCNE_NETSHARE ((LONG)0x00000200)
#define SHCNE_NETUNSHARE ((LONG)0x00000400)
#define SHCNE_ATTRIBUTES ((LONG)0x00000800)
#define SHCNE_UPDATEDIR ((LONG)0x00001000)
#define SHCNE_UPDATEITEM ((LONG)0x00002000)
#define SHCNE_SERVERDISCONNECT ((LONG)0x00004000)
#define SHCNE_UPDATEIMAGE ((LONG)0x00008000)
#define SHCNE_DRIVEADDGUI ((LONG)0x00010000)
#define SHCNE_RENAMEFOLDER ((LONG)0x00020000)
#define SHCNE_FREESPACE ((LONG)0x00040000)
#define SHCNE_EXTENDED_EVENT ((LONG)0x04000000)
#define SHCNE_ASSOCCHANGED ((LONG)0x08000000)
#define SHCNE_ALLEVENTS ((LONG)0x7FFFFFFF)
#define SHCNE_INTERRUPT ((LONG)0x80000000)

PIDLIST_ABSOLUTE WINAPI ILCreateFromPathW(PCWSTR pszPath);
BOOL WINAPI SHGetPathFromIDListA(PCIDLIST_ABSOLUTE pidl, LPSTR pszPath);
HRESULT WINAPI SHGetSpecialFolderLocation(HWND hwnd, int csidl, PIDLIST_ABSOLUTE* ppidl);
ULONG WINAPI SHChangeNotifyRegister(HWND hwnd, int fSources, LONG fEvents, UINT wMsg, int cEntries,
                                    const SHChangeNotifyEntry* pshcne);
BOOL WINAPI SHChangeNotifyDeregister(ULONG ulID);
