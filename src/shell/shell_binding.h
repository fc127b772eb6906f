// The shell's change notification entry points, resolved by name when the
// program's statics are initialised.
#pragma once

#include <windows.h>
#include <shlobj.h>

typedef ULONG(WINAPI* SHChangeNotifyRegisterProc)(HWND hwnd, int fSources, LONG fEvents, UINT wMsg,
                                                  int cEntries, const SHChangeNotifyEntry* pshcne);
typedef BOOL(WINAPI* SHChangeNotifyDeregisterProc)(ULONG ulID);

extern const SHChangeNotifyRegisterProc pSHChangeNotifyRegister;
extern const SHChangeNotifyDeregisterProc pSHChangeNotifyDeregister;
