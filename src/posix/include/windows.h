// Linux stand-in for <windows.h>: only what Orvane calls is provided.
//
// Types: the Win32 scalar and handle types the tool uses, with Windows' widths
// (LONG, ULONG, DWORD and BOOL are 32 bits; WPARAM, LPARAM, INT_PTR and
// LRESULT are pointer-sized; WCHAR is the platform's wchar_t).
// kernel32: GetModuleHandleW, GetProcAddress, SetConsoleCtrlHandler,
//   GetCommandLineW, LocalFree, GetCurrentThreadId, GetLastError,
//   SetLastError, WideCharToMultiByte (CP_ACP only).
// user32: CreateDialogParamW, DestroyWindow, ShowWindow, UpdateWindow,
//   GetMessageA, TranslateMessage, DispatchMessageA, PostMessageA/W,
//   PostThreadMessageA/W, PostQuitMessage, SendMessageW.
// Where Linux has no counterpart, the stand-ins keep to the tool's use: a
// thread's queue exists from its first GetCurrentThreadId or messaging call;
// GetMessageA takes no filters; PostMessage needs a live window (a null one
// fails); SendMessageW works on the window's own thread only; dialogs are
// never shown and their templates are not read; console control events are
// SIGINT (Ctrl+C), SIGQUIT (Ctrl+Break), SIGHUP (close) and SIGTERM
// (shutdown), and SetConsoleCtrlHandler must first be called before the
// process starts other threads.
// msvcrt: printf with the Microsoft runtime's meaning of the formats the tool
//   uses (see runtime.h).
// Wide text is the lossless image of the bytes: UTF-8 sequences become their
// code points, and every byte that is not part of valid UTF-8 becomes
// U+DC80 + byte, so any Linux path survives the round trip.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "runtime.h"

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef wchar_t WCHAR;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef HANDLE HLOCAL;

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

typedef INT_PTR(WINAPI* FARPROC)(void);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD dwCtrlType);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// Linux paths are not cut to Windows' 260 bytes: this is the longest path
// that Windows itself takes, in its extended-length form. The change
// notifications never carry a longer one (change_notify.cpp leaves such a
// change out and tells it on standard error), so no line shows it cut or
// empty. The tool keeps two buffers of this size on the main thread's stack.
#define MAX_PATH 32768

#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((uintptr_t)(l)) >> 16) & 0xffff))
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKELONG(a, b) ((LONG)((DWORD)LOWORD(a) | ((DWORD)LOWORD(b) << 16)))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))

#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400

#define IDOK 1
#define IDCANCEL 2

#define BN_CLICKED 0

#define SW_HIDE 0
#define SW_SHOW 5

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

#define CP_ACP 0

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_INVALID_THREAD_ID 1444
#define ERROR_ACCESS_DENIED_WINDOW_THREAD 5

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

// kernel32
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
LPWSTR WINAPI GetCommandLineW(void);
HLOCAL WINAPI LocalFree(HLOCAL hMem);
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               BOOL* lpUsedDefaultChar);

// user32
HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam);
BOOL WINAPI DestroyWindow(HWND hWnd);
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
BOOL WINAPI UpdateWindow(HWND hWnd);
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int nExitCode);
LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

#define PostMessage PostMessageW
#define PostThreadMessage PostThreadMessageW
#define SendMessage SendMessageW
