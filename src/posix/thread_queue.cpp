#include "thread_queue.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "window_registry.h"

namespace posix {
namespace {

bool SameMessage(const MSG& a, const MSG& b) {
    return a.hwnd == b.hwnd && a.message == b.message && a.wParam == b.wParam &&
           a.lParam == b.lParam;
}

// The live threads' queues by thread id. Allocated once and never destroyed,
// so threads that still post while the process exits find it intact.
struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
};

QueueRegistry& Registry() {
    static QueueRegistry* s_registry = new QueueRegistry;
    return *s_registry;
}

std::atomic<DWORD> s_lastThreadId{0};

// Owns the calling thread's queue; its destructor runs when the thread ends.
class ThreadQueueHolder {
  public:
    const std::shared_ptr<ThreadQueue>& Get() {
        if (!m_queue) Create();
        return m_queue;
    }

    ~ThreadQueueHolder() {
        if (!m_queue) return;
        {
            std::lock_guard<std::mutex> hold(Registry().lock);
            Registry().queues.erase(m_queue->ThreadId());
        }
        std::vector<QueuedMessage> removed;
        m_queue->End(&removed);
        RetireWindowsOf(m_queue->ThreadId());
        ReleasePayloads(removed);
    }

  private:
    void Create() {
        m_queue = std::make_shared<ThreadQueue>(++s_lastThreadId);
        std::lock_guard<std::mutex> hold(Registry().lock);
        Registry().queues.emplace(m_queue->ThreadId(), m_queue);
    }

    std::shared_ptr<ThreadQueue> m_queue;
};

thread_local ThreadQueueHolder s_currentQueue;

}  // namespace

void ReleasePayloads(const std::vector<QueuedMessage>& messages) {
    for (const QueuedMessage& message : messages) {
        if (message.release) message.release(message.msg.wParam);
    }
}

// The owner waits only on an empty queue, so only the post that fills an
// empty queue needs to wake it; later posts cost no system call.
bool ThreadQueue::Post(const QueuedMessage& message) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_ended) return false;
        wasEmpty = m_messages.empty();
        m_messages.push_back(message);
        m_queued.store(m_messages.size(), std::memory_order_relaxed);
    }
    if (wasEmpty) m_posted.notify_one();
    return true;
}

// Read without the lock, once per line printed: a post racing with it is
// found by the owner's next Take either way.
bool ThreadQueue::HasMessages() {
    return m_queued.load(std::memory_order_relaxed) != 0;
}

void ThreadQueue::PostQuit(int exitCode) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_quit = true;
        m_exitCode = exitCode;
    }
    m_posted.notify_one();
}

// Emptiness is judged under the lock, so no message dropped by another
// thread meanwhile can make the owner wait without running beforeWaiting.
void ThreadQueue::Take(MSG* out, std::vector<QueuedMessage>* unclaimed, void (*beforeWaiting)()) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_holding) unclaimed->push_back(m_held);
    m_holding = false;
    if (beforeWaiting && m_messages.empty() && !m_quit) {
        hold.unlock();
        beforeWaiting();
        hold.lock();
    }
    m_posted.wait(hold, [this] { return !m_messages.empty() || m_quit; });
    if (m_messages.empty()) {
        m_quit = false;
        *out = MSG{};
        out->message = WM_QUIT;
        out->wParam = static_cast<WPARAM>(m_exitCode);
        return;
    }
    const QueuedMessage& next = m_messages.front();
    *out = next.msg;
    if (next.owned) {
        m_held = next;
        m_holding = true;
        m_heldDropped = false;
    }
    m_messages.pop_front();
    m_queued.store(m_messages.size(), std::memory_order_relaxed);
}

bool ThreadQueue::ClaimTaken(const MSG& msg, QueuedMessage* taken, bool* dropped) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_holding || !SameMessage(m_held.msg, msg)) return false;
    *taken = m_held;
    *dropped = m_heldDropped;
    m_holding = false;
    return true;
}

template <typename Predicate>
void ThreadQueue::RemoveIf(Predicate matches, std::vector<QueuedMessage>* removed) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto kept = std::stable_partition(m_messages.begin(), m_messages.end(),
                                      [&](const QueuedMessage& m) { return !matches(m); });
    removed->insert(removed->end(), kept, m_messages.end());
    m_messages.erase(kept, m_messages.end());
    m_queued.store(m_messages.size(), std::memory_order_relaxed);
}

void ThreadQueue::RemoveForWindow(HWND hwnd, std::vector<QueuedMessage>* removed) {
    RemoveIf([hwnd](const QueuedMessage& m) { return m.msg.hwnd == hwnd; }, removed);
}

void ThreadQueue::DropTag(ULONG tag, std::vector<QueuedMessage>* removed) {
    RemoveIf([tag](const QueuedMessage& m) { return m.owned && m.tag == tag; }, removed);
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_holding && m_held.tag == tag) m_heldDropped = true;
}

void ThreadQueue::End(std::vector<QueuedMessage>* removed) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ended = true;
    removed->insert(removed->end(), m_messages.begin(), m_messages.end());
    m_messages.clear();
    m_queued.store(0, std::memory_order_relaxed);
    if (m_holding) removed->push_back(m_held);
    m_holding = false;
}

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
    return s_currentQueue.Get();
}

std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId) {
    std::lock_guard<std::mutex> hold(Registry().lock);
    auto found = Registry().queues.find(threadId);
    return found == Registry().queues.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<ThreadQueue>> AllQueues() {
    std::vector<std::shared_ptr<ThreadQueue>> all;
    std::lock_guard<std::mutex> hold(Registry().lock);
    for (const auto& entry : Registry().queues) all.push_back(entry.second);
    return all;
}

}  // namespace posix

DWORD WINAPI GetCurrentThreadId(void) {
    return posix::CurrentQueue()->ThreadId();
}
