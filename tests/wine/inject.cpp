// Plays the shell's part for a running orvane.exe. Wine delivers change
// notifications only inside the process that made the change, so the tests
// build the notification here, copy it into the tool's process and post it
// to the tool's dialog, just as the shell does within one process.
//
//   inject find                              prints "0x<dialog> 0x<thread>"
//   inject notify <dialog> <event> [<path1> [<path2>]]   "-" is a null item
//   inject command <dialog> <id>             posts WM_COMMAND with that id
//   inject quit <thread>                     posts WM_QUIT to that thread
//
// Exit status: 0 done, 1 no dialog found, 2 bad arguments, 3 a call failed.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

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
    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    printf("0x%p 0x%lx\n", static_cast<void*>(dialog), thread);
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
    if (verb == L"command" && argc == 4) {
        return Command(Dialog(argv[2]), static_cast<WORD>(Number(argv[3])));
    }
    if (verb == L"quit" && argc == 3) return Quit(static_cast<DWORD>(Number(argv[2])));
    fprintf(stderr,
            "usage: inject find | notify DIALOG EVENT [PATH1 [PATH2]] | "
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
