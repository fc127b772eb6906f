#include "shell_binding.h"

// shell32 is already mapped, because the tool imports other functions from it
// at load time, so the module is found here, not loaded. The two
// notification functions are reached only through these pointers.
template <typename Proc>
static Proc ShellProc(const char* name) {
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"shell32"), name);
    // FARPROC takes no arguments; going through void(*)() keeps the cast to
    // the real signature explicit.
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
}

const SHChangeNotifyRegisterProc pSHChangeNotifyRegister =
    ShellProc<SHChangeNotifyRegisterProc>("SHChangeNotifyRegister");
const SHChangeNotifyDeregisterProc pSHChangeNotifyDeregister =
    ShellProc<SHChangeNotifyDeregisterProc>("SHChangeNotifyDeregister");
