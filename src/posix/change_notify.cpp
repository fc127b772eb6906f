// SHChangeNotifyRegister and SHChangeNotifyDeregister. For now they only
// record the registration; the watch of the file system comes behind them.
#include <shlobj.h>

#include <mutex>
#include <set>

namespace {
std::mutex s_lock;
std::set<ULONG> s_registrations;
ULONG s_lastId;
}  // namespace

ULONG WINAPI SHChangeNotifyRegister(HWND, int, LONG, UINT, int cEntries,
                                    const SHChangeNotifyEntry* pshcne) {
    if (cEntries != 1 || !pshcne || !pshcne->pidl) return 0;
    std::lock_guard<std::mutex> hold(s_lock);
    s_registrations.insert(++s_lastId);
    return s_lastId;
}

BOOL WINAPI SHChangeNotifyDeregister(ULONG ulID) {
    std::lock_guard<std::mutex> hold(s_lock);
    return s_registrations.erase(ulID) ? TRUE : FALSE;
}
