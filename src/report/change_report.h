// Turns one shell change notification into one line on standard output.
#pragma once

#include <windows.h>
#include <shlobj.h>

// Unpacks the item pair that wParam addresses and reports it; returns 1, the
// dialog procedure's "handled".
int OnShellNotify(HWND hwnd, WPARAM wParam, LPARAM lParam);

// Prints the line for lEvent with the paths of both items, then flushes.
void DoShellNotify(HWND hwnd, ITEMIDLIST* item1, ITEMIDLIST* item2, LONG lEvent);

// The line format for an event code, or null when the code has no row of its
// own and takes the "(lEvent:...)" line.
const char* ShellEventFormat(LONG lEvent);
