// Linux stand-in for <shellapi.h>: only CommandLineToArgvW.
//
// It splits a command line by the Windows rules (white space separates,
// double quotes group, backslashes escape a quote only before one) into one
// block that LocalFree releases. Together with GetCommandLineW, which quotes
// the process's real argv by the same rules, every argument comes back
// unchanged, byte for byte.
#pragma once

#include <windows.h>

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
