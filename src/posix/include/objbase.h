// Linux stand-in for <objbase.h>: only CoTaskMemFree, which releases the item
// identifier lists that the shell stand-in allocates.
#pragma once

#include <windows.h>

void WINAPI CoTaskMemFree(LPVOID pv);
