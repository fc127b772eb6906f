// What inject.exe asks of shell_notify.dll inside the running tool: one call
// of SHChangeNotify, with the event code and up to two paths. inject.exe
// copies the block into the tool's process and passes its address to the
// DLL's function as the remote thread's parameter.
#pragma once

#include <windows.h>

struct ShellRequest {
    LONG event;
    BOOL hasPath1;
    BOOL hasPath2;
    wchar_t path1[MAX_PATH];
    wchar_t path2[MAX_PATH];
};
