// SHChangeNotifyRegister and SHChangeNotifyDeregister: each registration runs
// a watch of the file system whose changes reach the window as messages.
#include <shlobj.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "item_list.h"
#include "messages.h"
#include "source_choice.h"

namespace {

std::mutex s_lock;
std::map<ULONG, std::unique_ptr<posix::ChangeSource>> s_watchers;
ULONG s_lastId;

// wParam addresses two item lists; both and the pair are freed once the
// window procedure has returned, or when the message is dropped.
void ReleasePair(WPARAM wParam) {
    ITEMIDLIST** pair = reinterpret_cast<ITEMIDLIST**>(wParam);
    CoTaskMemFree(pair[0]);
    CoTaskMemFree(pair[1]);
    free(pair);
}

posix::ChangeSource::Sink PostTo(HWND hwnd, UINT msg, ULONG id) {
    return [hwnd, msg, id](LONG event, const std::string& path1, const std::string* path2) {
        ITEMIDLIST** pair = static_cast<ITEMIDLIST**>(malloc(2 * sizeof(ITEMIDLIST*)));
        if (!pair) return;
        pair[0] = posix::NewItemList(path1);
        pair[1] = path2 ? posix::NewItemList(*path2) : nullptr;
        posix::PostOwnedMessage(hwnd, msg, reinterpret_cast<WPARAM>(pair), event, ReleasePair, id);
    };
}

}  // namespace

// One entry, with an item, is what the tool registers; other forms are
// refused with 0.
ULONG WINAPI SHChangeNotifyRegister(HWND hwnd, int, LONG, UINT wMsg, int cEntries,
                                    const SHChangeNotifyEntry* pshcne) {
    if (cEntries != 1 || !pshcne || !pshcne->pidl) return 0;
    std::lock_guard<std::mutex> hold(s_lock);
    const ULONG id = ++s_lastId;
    std::unique_ptr<posix::ChangeSource> watcher =
        posix::StartChangeSource(std::string(posix::ItemListPath(pshcne->pidl)),
                                 pshcne->fRecursive != 0, PostTo(hwnd, wMsg, id));
    if (!watcher) return 0;
    s_watchers[id] = std::move(watcher);
    return id;
}

BOOL WINAPI SHChangeNotifyDeregister(ULONG ulID) {
    std::unique_ptr<posix::ChangeSource> watcher;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        auto it = s_watchers.find(ulID);
        if (it == s_watchers.end()) return FALSE;
        watcher = std::move(it->second);
        s_watchers.erase(it);
    }
    // Stopped first, so nothing is posted after the queue is cleared.
    watcher->Stop();
    posix::DropTaggedMessages(ulID);
    return TRUE;
}
