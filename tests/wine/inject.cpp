// Drives a running orvane.exe from outside. The shell delivers change
// notifications only inside the process that reports the change, so there
// are two ways in: "notify" builds the notification here, copies it into the
// tool's process and posts it to the tool's dialog, as the shell does; and
// "shell" loads shell_notify.dll (beside this program) into the tool and
// has it call the shell's own SHChangeNotify there, which goes through the
// tool's real registration.
//
//   inject find                     prints "0x<dialog> 0x<thread> <process id>"
//   inject notify <dialog> <event> [<path1> [<path2>]]   "-" is a null item
//   inject shell <process id> <event> [<path1> [<path2>]]   "-" is no path
//   inject registrations <process id>   prints how many the shell still holds
//   inject command <dialog> <id>    posts WM_COMMAND with that id
//   inject quit <thread>            posts WM_QUIT to that thread
//
// Exit status: 0 done, 1 no dialog found, 2 bad arguments, 3 a call failed.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <psapi.h>

#include "shell_request.h"

namespace {

const UINT s_shellNotifyMessage = WM_USER + 100;

int Fail(const char* what) {
    fprintf(stderr, "inject: %s failed (error %lu)\n", what, GetLastError());
    return 3;
}

ULONG_PTR Number(const wchar_t* text) {
    return static_cast<ULONG_PTR>(wcstoull(text, nullptr, 0));
}

HWND Dialog(const wchar_t* text) {
    return reinterpret_cast<HWND>(Number(text));
}

int Find() {
    HWND dialog = FindWindowW(L"#32770", L"Orvane");
    if (!dialog) return 1;
    DWORD processId = 0;
    const DWORD thread = GetWindowThreadProcessId(dialog, &processId);
    printf("0x%p 0x%lx %lu\n", static_cast<void*>(dialog), thread, processId);
    return 0;
}

// The block copied into the tool: the pair of item pointers the message's
// wParam addresses, then the item lists they point at.
struct NotifyBlock {
    std::vector<BYTE> bytes;
    size_t offsets[2] = {0, 0};  // 0 for a null item
};

bool AddItem(NotifyBlock* block, int index, const wchar_t* path) {
    if (wcscmp(path, L"-") == 0) return true;
    ITEMIDLIST* item = ILCreateFromPathW(path);
    if (!item) {
        fprintf(stderr, "inject: no item for %ls (the file must exist)\n", path);
        return false;
    }
    block->offsets[index] = block->bytes.size();
    const BYTE* first = reinterpret_cast<const BYTE*>(item);
    block->bytes.insert(block->bytes.end(), first, first + ILGetSize(item));
    CoTaskMemFree(item);
    return true;
}

// Turns the offsets into addresses in the tool's process.
void SetPair(NotifyBlock* block, BYTE* remote) {
    for (int i = 0; i < 2; ++i) {
        BYTE* item = block->offsets[i] ? remote + block->offsets[i] : nullptr;
        memcpy(&block->bytes[i * sizeof item], &item, sizeof item);
    }
}

int Notify(HWND dialog, LPARAM event, const wchar_t* path1, const wchar_t* path2) {
    NotifyBlock block;
    block.bytes.resize(2 * sizeof(ITEMIDLIST*));
    if (!AddItem(&block, 0, path1) || !AddItem(&block, 1, path2)) return 2;

    DWORD processId = 0;
    GetWindowThreadProcessId(dialog, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) return Fail("OpenProcess");
    // Left in the tool's process: like the shell's own pair, it must outlive
    // the message, and the tool is ended by the test soon after.
    BYTE* remote = static_cast<BYTE*>(VirtualAllocEx(process, nullptr, block.bytes.size(),
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!remote) return Fail("VirtualAllocEx");
    SetPair(&block, remote);
    const BOOL written =
        WriteProcessMemory(process, remote, block.bytes.data(), block.bytes.size(), nullptr);
    CloseHandle(process);
    if (!written) return Fail("WriteProcessMemory");
    if (!PostMessageW(dialog, s_shellNotifyMessage, reinterpret_cast<WPARAM>(remote), event)) {
        return Fail("PostMessageW");
    }
    return 0;
}

// shell_notify.dll's full path: it is built beside this program.
std::wstring HelperPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"shell_notify.dll";
}

// Runs start(parameter) on a new thread of the process and waits for its end.
bool RunRemote(HANDLE process, LPTHREAD_START_ROUTINE start, void* parameter, DWORD* exitCode) {
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, parameter, 0, nullptr);
    if (!thread) return false;
    const bool ended = WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0;
    const bool read = ended && GetExitCodeThread(thread, exitCode);
    CloseHandle(thread);
    return read;
}

// Copies bytes into the process; the block is freed by the caller.
void* CopyInto(HANDLE process, const void* bytes, size_t size) {
    void* remote = VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote && !WriteProcessMemory(process, remote, bytes, size, nullptr)) {
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        return nullptr;
    }
    return remote;
}

// The module's base in the process. A 64-bit process may map it above
// 4 GB, so the truncated exit code of LoadLibraryW cannot stand for it.
HMODULE RemoteModule(HANDLE process, const std::wstring& path) {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &needed)) return nullptr;
    const size_t count = std::min<size_t>(needed / sizeof(HMODULE), 1024);
    for (size_t i = 0; i < count; ++i) {
        wchar_t name[MAX_PATH];
        if (GetModuleFileNameExW(process, modules[i], name, MAX_PATH) &&
            _wcsicmp(name, path.c_str()) == 0) {
            return modules[i];
        }
    }
    return nullptr;
}

// Loads the helper DLL into the process (again, if it is there already) and
// returns the address there of the named export.
LPTHREAD_START_ROUTINE RemoteExport(HANDLE process, const char* name) {
    const std::wstring path = HelperPath();
    void* remotePath = CopyInto(process, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    if (!remotePath) return nullptr;
    auto* loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "LoadLibraryW")));
    DWORD ignored = 0;
    const bool loaded = RunRemote(process, loadLibrary, remotePath, &ignored);
    VirtualFreeEx(process, remotePath, 0, MEM_RELEASE);
    HMODULE remote = loaded ? RemoteModule(process, path) : nullptr;
    HMODULE local = LoadLibraryW(path.c_str());
    if (!remote || !local) return nullptr;
    const BYTE* proc = reinterpret_cast<const BYTE*>(GetProcAddress(local, name));
    if (!proc) return nullptr;
    const ptrdiff_t offset = proc - reinterpret_cast<const BYTE*>(local);
    return reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<BYTE*>(remote) + offset);
}

// Runs the helper's export in the tool with a copy of the parameter block.
int CallHelper(DWORD processId, const char* name, const void* block, size_t size, DWORD* result) {
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                     PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ,
                                 FALSE, processId);
    if (!process) return Fail("OpenProcess");
    int status = 0;
    LPTHREAD_START_ROUTINE start = RemoteExport(process, name);
    void* remote = start && block ? CopyInto(process, block, size) : nullptr;
    if (!start) {
        status = Fail("loading shell_notify.dll into the tool");
    } else if (block && !remote) {
        status = Fail("copying the request");
    } else if (!RunRemote(process, start, remote, result)) {
        status = Fail("the remote call");
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return status;
}

bool SetPath(wchar_t (&to)[MAX_PATH], BOOL* has, const wchar_t* path) {
    *has = wcscmp(path, L"-") != 0;
    return !*has || wcsncpy_s(to, MAX_PATH, path, _TRUNCATE) == 0;
}

int Shell(DWORD processId, LONG event, const wchar_t* path1, const wchar_t* path2) {
    ShellRequest request = {};
    request.event = event;
    if (!SetPath(request.path1, &request.hasPath1, path1) ||
        !SetPath(request.path2, &request.hasPath2, path2)) {
        fprintf(stderr, "inject: a path is too long\n");
        return 2;
    }
    DWORD ignored = 0;
    return CallHelper(processId, "ShellNotify", &request, sizeof request, &ignored);
}

int Registrations(DWORD processId) {
    DWORD count = 0;
    const int status = CallHelper(processId, "CountRegistrations", nullptr, 0, &count);
    if (status == 0) printf("%lu\n", count);
    return status;
}

int Command(HWND dialog, WORD id) {
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, 0), 0) ? 0 : Fail("PostMessageW");
}

int Quit(DWORD thread) {
    return PostThreadMessageW(thread, WM_QUIT, 0, 0) ? 0 : Fail("PostThreadMessageW");
}

int Run(int argc, wchar_t** argv) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"find" && argc == 2) return Find();
    if (verb == L"notify" && argc >= 4 && argc <= 6) {
        const LONG event = static_cast<LONG>(Number(argv[3]));
        return Notify(Dialog(argv[2]), event, argc > 4 ? argv[4] : L"-", argc > 5 ? argv[5] : L"-");
    }
    if (verb == L"shell" && argc >= 4 && argc <= 6) {
        const LONG event = static_cast<LONG>(Number(argv[3]));
        return Shell(static_cast<DWORD>(Number(argv[2])), event, argc > 4 ? argv[4] : L"-",
                     argc > 5 ? argv[5] : L"-");
    }
    if (verb == L"registrations" && argc == 3) {
        return Registrations(static_cast<DWORD>(Number(argv[2])));
    }
    if (verb == L"command" && argc == 4) {
        return Command(Dialog(argv[2]), static_cast<WORD>(Number(argv[3])));
    }
    if (verb == L"quit" && argc == 3) return Quit(static_cast<DWORD>(Number(argv[2])));
    fprintf(stderr,
            "usage: inject find | notify DIALOG EVENT [PATH1 [PATH2]] | "
            "shell PROCESS EVENT [PATH1 [PATH2]] | registrations PROCESS | "
            "command DIALOG ID | quit THREAD\n");
    return 2;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const int status = Run(argc, argv);
    LocalFree(argv);
    return status;
}
