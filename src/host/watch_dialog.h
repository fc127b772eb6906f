// The hidden watch dialog: the target of the shell's change notifications,
// which holds the registration from its creation to its destruction.
#pragma once

#include <atomic>

#include <windows.h>

// The private message on which notifications arrive.
#define WM_SHELLNOTIFY (WM_USER + 100)

// The console control handler reads the dialog's handle on another thread.
extern std::atomic<HWND> s_hwnd;

// The split command line, owned by main (host.cpp) and read while the dialog
// is initialised.
extern int s_argc;
extern LPWSTR* s_wargv;

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
int OnInitDialog(HWND hwnd);
void OnCommand(HWND hwnd, int id);
void OnDestroy(HWND hwnd);
bool DoInit(HWND hwnd, int argc, LPWSTR* argv);
