#include "thread_queue.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_map>

#include "window_registry.h"

namespace posix {
namespace {

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

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

// Made on the owner's thread, which is the one steered later.
ThreadQueue::ThreadQueue(DWORD threadId) : m_threadId(threadId), m_ownerTid(gettid()) {
    m_canSteer = sched_getaffinity(0, sizeof m_ownerCpus, &m_ownerCpus) == 0;
}

// A sleeping owner woken by a post is made to run on the poster's core, next
// to the message it takes: on a machine whose idle cores are slow to wake,
// as a virtual machine's are, that spares a core's wake-up on the way from
// an event to its line. The owner lets go of the steering once awake.
void ThreadQueue::SteerOwnerHere() {
    const int cpu = sched_getcpu();
    if (!m_canSteer || cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &m_ownerCpus)) return;
    cpu_set_t here;
    CPU_ZERO(&here);
    CPU_SET(cpu, &here);
    if (sched_setaffinity(m_ownerTid, sizeof here, &here) == 0) {
        m_steered.store(true, std::memory_order_release);
    }
}

void ThreadQueue::LetGoOfSteering() {
    if (m_steered.load(std::memory_order_relaxed) && m_steered.exchange(false)) {
        sched_setaffinity(0, sizeof m_ownerCpus, &m_ownerCpus);
    }
}

// The owner waits only on an empty queue, so only the post that fills an
// empty queue needs to wake it; later posts cost no system call.
bool ThreadQueue::Post(const QueuedMessage& message) {
    bool wake;
    {
        std::lock_guard<SpinningMutex> hold(m_lock);
        if (m_ended) return false;
        wake = m_messages.empty() && m_sleeping;
        m_messages.push_back(message);
        m_queued.store(m_messages.size(), std::memory_order_relaxed);
    }
    if (wake) {
        SteerOwnerHere();
        m_posted.notify_one();
    }
    return true;
}

// Read without the lock, once per line printed: a post racing with it is
// found by the owner's next Take either way.
bool ThreadQueue::HasMessages() {
    return m_queued.load(std::memory_order_relaxed) != 0;
}

void ThreadQueue::PostQuit(int exitCode) {
    {
        std::lock_guard<SpinningMutex> hold(m_lock);
        m_quit = true;
        m_exitCode = exitCode;
    }
    m_posted.notify_one();
}

// A sleep and a wake-up cost more than the few microseconds in which a busy
// poster's next message arrives. The core is offered to others between
// looks, as the poster may be waiting for this very core.
void ThreadQueue::AwaitSoon(bool (*soon)()) {
    constexpr auto kLongest = std::chrono::microseconds(15);
    constexpr int kLooksBetweenYields = 16;
    const auto start = std::chrono::steady_clock::now();
    while (!HasMessages() && soon()) {
        for (int i = 0; i < kLooksBetweenYields && !HasMessages(); ++i) CpuRelax();
        sched_yield();
        if (std::chrono::steady_clock::now() - start > kLongest) return;
    }
}

// Emptiness is judged under the lock, so no message dropped by another
// thread meanwhile can make the owner wait without running beforeWaiting.
void ThreadQueue::Take(MSG* out, std::vector<QueuedMessage>* unclaimed, void (*beforeWaiting)(),
                       bool (*soon)()) {
    // Let go of only now, once the message it was steered for is handled.
    LetGoOfSteering();
    std::unique_lock<SpinningMutex> hold(m_lock);
    if (m_heldState.exchange(kNothingHeld) != kNothingHeld) unclaimed->push_back(m_held);
    if (m_messages.empty() && !m_quit && (beforeWaiting || soon)) {
        hold.unlock();
        if (beforeWaiting) beforeWaiting();
        if (soon) AwaitSoon(soon);
        hold.lock();
    }
    if (m_messages.empty() && !m_quit) {
        m_sleeping = true;
        m_posted.wait(hold, [this] { return !m_messages.empty() || m_quit; });
        m_sleeping = false;
    }
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
        m_heldState.store(kHeld, std::memory_order_release);
    }
    m_messages.pop_front();
    m_queued.store(m_messages.size(), std::memory_order_relaxed);
}

bool ThreadQueue::ClaimTaken(const MSG& msg, QueuedMessage* taken, bool* dropped) {
    if (m_heldState.load(std::memory_order_acquire) == kNothingHeld) return false;
    if (!SameMessage(m_held.msg, msg)) return false;
    *taken = m_held;
    *dropped = m_heldState.exchange(kNothingHeld) == kHeldDropped;
    return true;
}

template <typename Predicate>
void ThreadQueue::RemoveIf(Predicate matches, std::vector<QueuedMessage>* removed) {
    std::lock_guard<SpinningMutex> hold(m_lock);
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
    std::lock_guard<SpinningMutex> hold(m_lock);
    int held = kHeld;
    if (m_held.tag == tag) m_heldState.compare_exchange_strong(held, kHeldDropped);
}

void ThreadQueue::End(std::vector<QueuedMessage>* removed) {
    std::lock_guard<SpinningMutex> hold(m_lock);
    m_ended = true;
    removed->insert(removed->end(), m_messages.begin(), m_messages.end());
    m_messages.clear();
    m_queued.store(0, std::memory_order_relaxed);
    if (m_heldState.exchange(kNothingHeld) != kNothingHeld) removed->push_back(m_held);
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
