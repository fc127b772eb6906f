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
#include "window_registry.h"

namespace {

std::mutex s_lock;
std::map<ULONG, std::unique_ptr<posix::ChangeSource>> s_watchers;
ULONG s_lastId;

// A line's block: the pair of item lists that wParam addresses, what the
// hand-over counts it as, then the first list, then the second, each where
// malloc's alignment allows. One allocation per line.
struct PairBlock {
    ITEMIDLIST* pair[2];
    size_t bytes;
};

// The block is handed back once the window procedure has returned, or when
// the message is dropped; either way the line has left the hand-over.
void ReleasePair(WPARAM wParam) {
    PairBlock* block = reinterpret_cast<PairBlock*>(wParam);
    posix::HandOver::Instance().Remove(block->bytes);
    posix::HandOver::Instance().Return(block);
}

PairBlock* NewPair(const std::string& path1, const std::string* path2) {
    constexpr size_t kAlign = alignof(std::max_align_t);
    auto aligned = [](size_t size) { return (size + kAlign - 1) / kAlign * kAlign; };
    const size_t head = aligned(sizeof(PairBlock));
    const size_t first = aligned(posix::ItemListSize(path1));
    const size_t second = path2 ? posix::ItemListSize(*path2) : 0;
    char* memory = static_cast<char*>(malloc(head + first + second));
    if (!memory) return nullptr;
    PairBlock* block = reinterpret_cast<PairBlock*>(memory);
    block->pair[0] = posix::PlaceItemList(memory + head, path1);
    block->pair[1] = path2 ? posix::PlaceItemList(memory + head + first, *path2) : nullptr;
    block->bytes = posix::HandOverBytes(path1.size(), path2 ? path2->size() : 0);
    return block;
}

// Blocks handed back are freed on the posting thread now and then, so a
// long drain of the kernel's queue keeps no more of them than a moment's.
void FreeReturnedNowAndThen() {
    constexpr unsigned kPostsBetween = 64;
    thread_local unsigned s_posts = 0;
    if (++s_posts % kPostsBetween == 0) posix::HandOver::Instance().FreeReturned();
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
        FreeReturnedNowAndThen();
        PairBlock* block = NewPair(path1, path2);
        if (!block) return;
        posix::HandOver::Instance().Add(block->bytes);
        posix::PostOwnedMessage(hwnd, msg, reinterpret_cast<WPARAM>(block->pair), event,
                                ReleasePair, id);
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
    const std::shared_ptr<posix::Window> window = posix::LookUpWindow(hwnd);
    std::unique_ptr<posix::ChangeSource> watcher = posix::StartChangeSource(
        std::string(posix::ItemListPath(pshcne->pidl)), pshcne->fRecursive != 0,
        PostTo(hwnd, wMsg, id), window ? window->owner : nullptr);
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
