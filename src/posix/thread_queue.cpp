#include "thread_queue.h"

#include <errno.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_map>

#include "window_registry.h"

namespace posix {
namespace {

// A sleep on idle work shorter than this may be no more than the wake-up
// itself on a busy machine: the work is taken to come densely.
constexpr auto kShortSleep = std::chrono::milliseconds(1);

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

ThreadQueue::~ThreadQueue() {
    if (m_epollFd >= 0) close(m_epollFd);
    if (m_postedFd >= 0) close(m_postedFd);
}

void ThreadQueue::WakeOwner(Sleep sleep, IdleWork* reader) {
    switch (sleep) {
        case Sleep::kOnCondition:
            m_posted.notify_one();
            return;
        case Sleep::kOnFds: {
            const uint64_t one = 1;
            if (write(m_postedFd, &one, sizeof one) < 0) {
                // The counter is already set: the owner wakes either way.
            }
            return;
        }
        case Sleep::kInRead:
            reader->Interrupt();
            return;
    }
}

// The owner waits only on an empty queue, so only the post that fills an
// empty queue needs to wake it; later posts cost no system call.
bool ThreadQueue::Post(const QueuedMessage& message) {
    bool wake;
    Sleep sleep;
    std::shared_ptr<IdleWork> reader;
    {
        std::lock_guard<SpinningMutex> hold(m_lock);
        if (m_ended) return false;
        wake = m_messages.empty() && m_sleeping;
        sleep = m_sleep;
        if (wake && sleep == Sleep::kInRead) reader = m_reader;
        m_messages.push_back(message);
        m_queued.store(m_messages.size(), std::memory_order_relaxed);
    }
    if (wake) {
        SteerOwnerHere();
        WakeOwner(sleep, reader.get());
    }
    return true;
}

// Read without the lock, once per line printed: a post racing with it is
// found by the owner's next Take either way.
bool ThreadQueue::HasMessages() {
    return m_queued.load(std::memory_order_relaxed) != 0;
}

void ThreadQueue::PostQuit(int exitCode) {
    Sleep sleep;
    std::shared_ptr<IdleWork> reader;
    {
        std::lock_guard<SpinningMutex> hold(m_lock);
        m_quit = true;
        m_exitCode = exitCode;
        sleep = m_sleep;
        reader = m_reader;
    }
    WakeOwner(sleep, reader.get());
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
    if (m_messages.empty() && !m_quit && !m_idle.empty()) WaitOrWork(hold);
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

// Sleeps until a post or readable idle work, stepping the work, until a
// message is queued. A step that another thread is at ends this wait: the
// owner then sleeps on the condition alone until that thread posts, rather
// than spin on a descriptor that stays readable.
void ThreadQueue::WaitOrWork(std::unique_lock<SpinningMutex>& hold) {
    constexpr int kMostReady = 8;
    while (m_messages.empty() && !m_quit && !m_idle.empty()) {
        for (const auto& work : m_idle) work->BeforeSleep();
        // Right after work found, the owner looks for more on the
        // descriptors before it sleeps; a single work is slept on in its
        // own read otherwise.
        if (m_idle.size() == 1 && !(m_stepFound && m_wokeSoon)) {
            const std::shared_ptr<IdleWork> work = m_idle.front();
            const ReadSleep slept = SleepInRead(hold, work);
            if (slept == ReadSleep::kLeft) return;
            if (slept == ReadSleep::kStepped) continue;
            // A post may have come while the work was asked, unlocked.
            if (!m_messages.empty() || m_quit) return;
        }
        m_sleeping = true;
        m_sleep = Sleep::kOnFds;
        hold.unlock();
        epoll_event ready[kMostReady];
        const int count = WaitOnFds(ready, kMostReady);
        hold.lock();
        m_sleeping = false;
        m_sleep = Sleep::kOnCondition;
        if (count < 0 && errno != EINTR) return;
        for (int i = 0; i < count; ++i) {
            if (!ready[i].data.ptr) {
                uint64_t posts;
                if (read(m_postedFd, &posts, sizeof posts) < 0) {
                    // Taken already by an earlier wake.
                }
                continue;
            }
            // Compared only: the work may have been removed meanwhile.
            const IdleWork* fired = static_cast<const IdleWork*>(ready[i].data.ptr);
            auto found = std::find_if(m_idle.begin(), m_idle.end(),
                                      [fired](const auto& work) { return work.get() == fired; });
            if (found == m_idle.end()) continue;
            const std::shared_ptr<IdleWork> work = *found;
            hold.unlock();
            const bool stepped = work->Step();
            hold.lock();
            m_stepFound = !m_messages.empty();
            if (!stepped) return;
        }
    }
}

// The owner sleeps in the work's read only once the work has agreed, and
// only while no message waits: a post after that interrupts the read. The
// work's lock is taken without the queue's, as the work's own thread posts
// while it holds it.
ThreadQueue::ReadSleep ThreadQueue::SleepInRead(std::unique_lock<SpinningMutex>& hold,
                                                const std::shared_ptr<IdleWork>& work) {
    hold.unlock();
    const bool agreed = work->BeginWaitInRead();
    hold.lock();
    if (!agreed) return ReadSleep::kNone;
    if (m_messages.empty() && !m_quit) {
        m_sleeping = true;
        m_sleep = Sleep::kInRead;
        m_reader = work;
        hold.unlock();
        const auto asleep = std::chrono::steady_clock::now();
        work->WaitInRead();
        m_wokeSoon = std::chrono::steady_clock::now() - asleep < kShortSleep;
        hold.lock();
        m_sleeping = false;
        m_sleep = Sleep::kOnCondition;
        m_reader.reset();
    }
    hold.unlock();
    const bool stepped = work->StepAfterWait();
    hold.lock();
    m_stepFound = !m_messages.empty();
    return stepped ? ReadSleep::kStepped : ReadSleep::kLeft;
}

// Right after a step that found work, more tends to follow within
// microseconds while work comes densely (a process making files one after
// another): looking again a few times, offering the core between looks,
// costs less than a sleep and the wake-up that the work's producer would
// pay for. Work that ended a sleep of a millisecond or more is taken to come
// alone (a file saved now and then), and looking again after it would only
// burn the core; a shorter sleep may be no more than the wake-up itself on
// a busy machine. Posts are seen too.
int ThreadQueue::WaitOnFds(epoll_event* ready, int most) {
    constexpr auto kLongest = std::chrono::microseconds(15);
    constexpr int kPausesBetweenLooks = 16;
    if (m_stepFound && m_wokeSoon) {
        const auto start = std::chrono::steady_clock::now();
        do {
            const int count = epoll_wait(m_epollFd, ready, most, 0);
            if (count != 0 || HasMessages()) return count;
            for (int i = 0; i < kPausesBetweenLooks; ++i) CpuRelax();
            sched_yield();
        } while (std::chrono::steady_clock::now() - start < kLongest);
    }
    const auto asleep = std::chrono::steady_clock::now();
    const int count = epoll_wait(m_epollFd, ready, most, -1);
    m_wokeSoon = std::chrono::steady_clock::now() - asleep < kShortSleep;
    return count;
}

bool ThreadQueue::AddIdleWork(std::shared_ptr<IdleWork> work) {
    std::lock_guard<SpinningMutex> hold(m_lock);
    if (m_ended) return false;
    if (m_epollFd < 0) {
        m_epollFd = epoll_create1(EPOLL_CLOEXEC);
        m_postedFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event posted{};
        posted.events = EPOLLIN;
        posted.data.ptr = nullptr;
        if (m_epollFd < 0 || m_postedFd < 0 ||
            epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_postedFd, &posted) != 0) {
            if (m_epollFd >= 0) close(m_epollFd);
            if (m_postedFd >= 0) close(m_postedFd);
            m_epollFd = m_postedFd = -1;
            return false;
        }
    }
    epoll_event wanted{};
    wanted.events = EPOLLIN | EPOLLEXCLUSIVE;
    wanted.data.ptr = work.get();
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, work->Fd(), &wanted) != 0) return false;
    m_idle.push_back(std::move(work));
    return true;
}

void ThreadQueue::RemoveIdleWork(const IdleWork* work) {
    std::lock_guard<SpinningMutex> hold(m_lock);
    auto found = std::find_if(m_idle.begin(), m_idle.end(),
                              [work](const auto& held) { return held.get() == work; });
    if (found == m_idle.end()) return;
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, work->Fd(), nullptr);
    m_idle.erase(found);
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
    m_idle.clear();
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
