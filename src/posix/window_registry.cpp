#include "window_registry.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace posix {
namespace {

// Allocated once and never destroyed, so threads that still post while the
// process exits find it intact.
struct WindowRegistry {
    std::mutex lock;
    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    uintptr_t lastHandle = 0;
};

WindowRegistry& Registry() {
    static WindowRegistry* s_registry = new WindowRegistry;
    return *s_registry;
}

// Counts the windows retired, so a look-up kept by a thread knows when it may
// be stale.
std::atomic<uint64_t> s_retired{0};

// The window a thread looked up last. A thread that posts, or dispatches, a
// stream of messages for one window then takes no lock per message.
struct LastLookUp {
    HWND hwnd = nullptr;
    uint64_t retired = 0;
    std::shared_ptr<Window> window;
};
thread_local LastLookUp s_lastLookUp;

// Windows' handles are small even numbers; these look alike.
constexpr uintptr_t kFirstHandle = 0x10000;
constexpr uintptr_t kHandleStep = 2;

}  // namespace

std::shared_ptr<Window> AddWindow(DLGPROC procedure) {
    auto window = std::make_shared<Window>();
    window->procedure = procedure;
    window->owner = CurrentQueue();
    window->destroying = false;
    std::lock_guard<std::mutex> hold(Registry().lock);
    const uintptr_t number = kFirstHandle + kHandleStep * Registry().lastHandle++;
    window->handle = reinterpret_cast<HWND>(number);
    Registry().windows.emplace(window->handle, window);
    return window;
}

std::shared_ptr<Window> LookUpWindow(HWND hwnd) {
    if (!hwnd) return nullptr;
    std::lock_guard<std::mutex> hold(Registry().lock);
    auto found = Registry().windows.find(hwnd);
    return found == Registry().windows.end() ? nullptr : found->second;
}

void RemoveWindow(HWND hwnd) {
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        Registry().windows.erase(hwnd);
    }
    s_retired.fetch_add(1, std::memory_order_release);
}

// A window retired since the last look-up makes it stale, so the registry is
// asked again.
const std::shared_ptr<Window>& LookUpWindowAgain(HWND hwnd) {
    LastLookUp& last = s_lastLookUp;
    const uint64_t retired = s_retired.load(std::memory_order_acquire);
    if (last.hwnd != hwnd || last.retired != retired) {
        last.window = LookUpWindow(hwnd);
        last.hwnd = hwnd;
        last.retired = retired;
    }
    return last.window;
}

BOOL PostToWindow(HWND hwnd, const QueuedMessage& message) {
    const std::shared_ptr<Window>& window = LookUpWindowAgain(hwnd);
    if (window && window->owner->Post(message)) return TRUE;
    ReleasePayloads({message});
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

void RetireWindowsOf(DWORD threadId) {
    {
        std::lock_guard<std::mutex> hold(Registry().lock);
        for (auto it = Registry().windows.begin(); it != Registry().windows.end();) {
            if (it->second->owner->ThreadId() == threadId) {
                it = Registry().windows.erase(it);
            } else {
                ++it;
            }
        }
    }
    s_retired.fetch_add(1, std::memory_order_release);
}

}  // namespace posix
