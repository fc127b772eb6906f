// SHChangeNotifyRegister and SHChangeNotifyDeregister: each registration runs
// a watch of the file system whose changes reach the window as messages.
#include <shlobj.h>

#include <cstddef>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "hand_over.h"
#include "item_list.h"
#include "long_paths.h"
#include "messages.h"
#include "own_output.h"
#include "source_choice.h"

namespace {

std::mutex s_lock;
std::map<ULONG, std::unique_ptr<posix::ChangeSource>> s_watchers;
ULONG s_lastId;

size_t PairBytes(ITEMIDLIST* const* pair) {
    const size_t size1 = pair[0] ? posix::ItemListPath(pair[0]).size() : 0;
    const size_t size2 = pair[1] ? posix::ItemListPath(pair[1]).size() : 0;
    return posix::HandOverBytes(size1, size2);
}

// wParam addresses the pair of item lists, which share one block with it.
// The block is freed once the window procedure has returned, or when the
// message is dropped; either way the line has left the hand-over.
void ReleasePair(WPARAM wParam) {
    ITEMIDLIST** pair = reinterpret_cast<ITEMIDLIST**>(wParam);
    posix::HandOver::Instance().Remove(PairBytes(pair));
    free(pair);
}

// One allocation per line: the pair, then the first list, then the second,
// each where malloc's alignment allows.
ITEMIDLIST** NewPair(const std::string& path1, const std::string* path2) {
    constexpr size_t kAlign = alignof(std::max_align_t);
    auto aligned = [](size_t size) { return (size + kAlign - 1) / kAlign * kAlign; };
    const size_t head = aligned(2 * sizeof(ITEMIDLIST*));
    const size_t first = aligned(posix::ItemListSize(path1));
    const size_t second = path2 ? posix::ItemListSize(*path2) : 0;
    char* block = static_cast<char*>(malloc(head + first + second));
    if (!block) return nullptr;
    ITEMIDLIST** pair = reinterpret_cast<ITEMIDLIST**>(block);
    pair[0] = posix::PlaceItemList(block + head, path1);
    pair[1] = path2 ? posix::PlaceItemList(block + head + first, *path2) : nullptr;
    return pair;
}

// Whether the change is one the tool does not print: a path too long for a
// line (told on standard error), or its own output growing.
bool LeftOut(LONG event, const std::string& path1, const std::string* path2) {
    if (posix::LeftOutAsTooLong(path1, path2)) return true;
    return event == SHCNE_UPDATEITEM && posix::IsOwnOutput(path1);
}

// Every change source hands its lines over here, on its own thread.
posix::ChangeSource::Sink PostTo(HWND hwnd, UINT msg, ULONG id) {
    return [hwnd, msg, id](LONG event, const std::string& path1, const std::string* path2) {
        if (LeftOut(event, path1, path2)) return;
        ITEMIDLIST** pair = NewPair(path1, path2);
        if (!pair) return;
        posix::HandOver::Instance().Add(PairBytes(pair));
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
