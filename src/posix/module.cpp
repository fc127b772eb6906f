// GetModuleHandleW and GetProcAddress over the few modules the tool names:
// each is a fixed table of its exported functions, found by name.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

struct Export {
    const char* name;
    FARPROC proc;
};

template <typename Proc>
FARPROC AsFarProc(Proc proc) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
}

// The tables are built when they are asked for, not by a static initialiser,
// so the tool's own static initialisers can look names up whatever the order
// in which translation units are initialised.
size_t Shell32Exports(Export* out) {
    const Export exports[] = {
        {"SHChangeNotifyRegister", AsFarProc(&SHChangeNotifyRegister)},
        {"SHChangeNotifyDeregister", AsFarProc(&SHChangeNotifyDeregister)},
        {"ILCreateFromPathW", AsFarProc(&ILCreateFromPathW)},
        {"SHGetPathFromIDListA", AsFarProc(&SHGetPathFromIDListA)},
        {"SHGetSpecialFolderLocation", AsFarProc(&SHGetSpecialFolderLocation)},
    };
    const size_t count = sizeof exports / sizeof exports[0];
    if (out) std::copy(exports, exports + count, out);
    return count;
}

size_t NoExports(Export*) {
    return 0;
}

struct Module {
    const wchar_t* name;
    size_t (*exports)(Export* out);
};

const Module s_modules[] = {
    {L"shell32", Shell32Exports},
    {L"kernel32", NoExports},
    {L"user32", NoExports},
};

// The executable's own handle, which GetModuleHandleW(null) returns.
char s_processImage;

// Windows matches module names without case and with an optional ".dll".
bool SameModuleName(const wchar_t* wanted, const wchar_t* name) {
    size_t length = wcslen(name);
    if (wcsncasecmp(wanted, name, length) != 0) return false;
    return wanted[length] == L'\0' || wcscasecmp(wanted + length, L".dll") == 0;
}

}  // namespace

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (!lpModuleName) return reinterpret_cast<HMODULE>(&s_processImage);
    for (const Module& module : s_modules) {
        if (SameModuleName(lpModuleName, module.name)) {
            return reinterpret_cast<HMODULE>(const_cast<Module*>(&module));
        }
    }
    SetLastError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    for (const Module& module : s_modules) {
        if (reinterpret_cast<const Module*>(hModule) != &module) continue;
        Export exports[16];
        const size_t count = module.exports(exports);
        for (size_t i = 0; i < count; ++i) {
            if (lpProcName && strcmp(exports[i].name, lpProcName) == 0) return exports[i].proc;
        }
    }
    SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return nullptr;
}

namespace {
thread_local DWORD s_lastError;
}

DWORD WINAPI GetLastError(void) {
    return s_lastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    s_lastError = dwErrCode;
}
