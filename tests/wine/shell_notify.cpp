// shell_notify.dll: loaded into the running orvane.exe by inject.exe, so that
// the tool's own registration is exercised by the shell itself. The shell
// delivers a change notification within the process that reports the change,
// so each export runs there, on a thread that inject.exe starts, and its
// return value is that thread's exit code.
#include <windows.h>
#include <shlobj.h>

#include "shell_request.h"

namespace {

// The shell hands out registration ids counting up from 1 in a process, and
// the tool registers once per run; none of its runs gets near this many.
const ULONG s_highestIdTried = 4096;

}  // namespace

// Reports one change as a program that made it would. SHCNF_FLUSH makes the
// call return only once the tool's window has handled the message, so the
// line is written when this thread ends.
extern "C" __declspec(dllexport) DWORD WINAPI ShellNotify(void* parameter) {
    const ShellRequest* request = static_cast<const ShellRequest*>(parameter);
    SHChangeNotify(request->event, SHCNF_PATHW | SHCNF_FLUSH,
                   request->hasPath1 ? request->path1 : nullptr,
                   request->hasPath2 ? request->path2 : nullptr);
    return 0;
}

// Counts the registrations that the shell still holds in this process, by
// the ids that SHChangeNotifyDeregister accepts. It deregisters each one it
// finds, so it is the last thing a test asks of a tool.
extern "C" __declspec(dllexport) DWORD WINAPI CountRegistrations(void*) {
    DWORD count = 0;
    for (ULONG id = 1; id <= s_highestIdTried; ++id) {
        if (SHChangeNotifyDeregister(id)) ++count;
    }
    return count;
}
