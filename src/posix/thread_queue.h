// The message queue of one thread. Any thread may post to it; only its owner
// takes messages from it. A thread's id and its queue come into being
// together, at the thread's first call of GetCurrentThreadId or of any
// messaging function, and the queue ends with the thread: what is still
// queued then is released, and the thread's windows are retired.
#pragma once

#include <sched.h>
#include <sys/epoll.h>
#include <sys/types.h>
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "messages.h"
#include "spinning_mutex.h"

namespace posix {

// A posted message. An owned one (PostOwnedMessage) carries a tag, and its
// release, when set, frees the payload in msg.wParam.
struct QueuedMessage {
    MSG msg;
    bool owned;
    PayloadRelease release;
    ULONG tag;
};

// Runs the release of each message that has one.
void ReleasePayloads(const std::vector<QueuedMessage>& messages);

// Work that a queue's owner does itself while no message waits: a change
// source's kernel queue, read on the thread that prints its lines, spares
// the wake-up of a second thread between an event and its line.
class IdleWork {
  public:
    virtual ~IdleWork() = default;
    // Readable while there may be work.
    virtual int Fd() const = 0;
    // Does a share of the work. False, having done nothing, while another
    // thread is at it: the owner then waits for messages alone, and that
    // thread posts what it finds.
    virtual bool Step() = 0;
    // Runs before the owner sleeps on the work, once the messages that the
    // last step posted are handled, under the queue's lock: it must be
    // quick, and must not post.
    virtual void BeforeSleep() {}

    // Work that the owner may wait on in a blocking read of its own: the
    // wait and the read are then one system call, not two. When
    // BeginWaitInRead returns true, the owner sleeps in WaitInRead unless a
    // message came meanwhile, and calls StepAfterWait in either case, which
    // handles what the read brought and returns as Step does. Interrupt,
    // from any thread, makes a WaitInRead under way or about to start
    // return. Neither Begin nor StepAfterWait runs under the queue's lock.
    virtual bool BeginWaitInRead() { return false; }
    virtual void WaitInRead() {}
    virtual bool StepAfterWait() { return true; }
    virtual void Interrupt() {}
};

class ThreadQueue {
  public:
    explicit ThreadQueue(DWORD threadId);
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;
    DWORD ThreadId() const { return m_threadId; }

    // Appends the message; false, queueing nothing, once the thread ended.
    bool Post(const QueuedMessage& message);

    // Whether a message waits to be taken.
    bool HasMessages();

    // Makes Take return WM_QUIT with exitCode once no message is queued.
    void PostQuit(int exitCode);

    // Owner only. Blocks until a message is there and copies it to out. An
    // owned message stays in hand until ClaimTaken; one that was taken
    // before and never claimed is moved to unclaimed for release. When the
    // queue is empty, beforeWaiting (if set) runs first, without the lock;
    // then, while soon() says a message is on its way, the owner looks for
    // it for a few microseconds before it sleeps.
    void Take(MSG* out, std::vector<QueuedMessage>* unclaimed, void (*beforeWaiting)() = nullptr,
              bool (*soon)() = nullptr);

    // Owner only. Hands over the message in hand when it is msg; dropped
    // tells whether DropTaggedMessages retired it meanwhile.
    bool ClaimTaken(const MSG& msg, QueuedMessage* taken, bool* dropped);

    // Moves every queued message for hwnd out of the queue.
    void RemoveForWindow(HWND hwnd, std::vector<QueuedMessage>* removed);

    // Moves every queued owned message with tag out of the queue. One in
    // hand is marked dropped instead, and released when it is claimed.
    void DropTag(ULONG tag, std::vector<QueuedMessage>* removed);

    // Refuses further posts and moves everything still held to removed.
    void End(std::vector<QueuedMessage>* removed);

    // While its queue is empty, the owner also waits on work's descriptor,
    // and steps the work when it is readable. Of the threads that wait on
    // the descriptor exclusively (EPOLLEXCLUSIVE), the owner, waiting, is
    // the one woken, as it was added first. False when it cannot wait so.
    bool AddIdleWork(std::shared_ptr<IdleWork> work);
    // A step already begun may still end after this returns.
    void RemoveIdleWork(const IdleWork* work);

  private:
    // How the owner sleeps, which tells a poster how to wake it.
    enum class Sleep { kOnCondition, kOnFds, kInRead };
    void AwaitSoon(bool (*soon)());
    void WaitOrWork(std::unique_lock<SpinningMutex>& hold);
    enum class ReadSleep { kNone, kStepped, kLeft };
    ReadSleep SleepInRead(std::unique_lock<SpinningMutex>& hold,
                          const std::shared_ptr<IdleWork>& work);
    int WaitOnFds(epoll_event* ready, int most);
    void WakeOwner(Sleep sleep, IdleWork* reader);
    void SteerOwnerHere();
    void LetGoOfSteering();
    template <typename Predicate>
    void RemoveIf(Predicate matches, std::vector<QueuedMessage>* removed);

    const DWORD m_threadId;
    SpinningMutex m_lock;
    SpinningCondition m_posted;
    std::deque<QueuedMessage> m_messages;
    std::atomic<size_t> m_queued{0};  // m_messages.size(), for HasMessages
    bool m_quit = false;
    int m_exitCode = 0;
    bool m_ended = false;
    // The owned message in hand, between Take and ClaimTaken. Only the owner
    // writes m_held, under the lock; the state is what DropTag may change
    // from another thread, so the owner claims it without the lock.
    enum HeldState { kNothingHeld, kHeld, kHeldDropped };
    std::atomic<int> m_heldState{kNothingHeld};
    QueuedMessage m_held{};
    // The owner sleeps (under the lock), and can be steered (thread_queue.cpp).
    // With idle work, it sleeps in epoll_wait on the work and on m_postedFd,
    // or in the read of m_reader, the work's own.
    bool m_sleeping = false;
    Sleep m_sleep = Sleep::kOnCondition;
    std::shared_ptr<IdleWork> m_reader;
    bool m_stepFound = false;  // the last step of idle work posted messages
    bool m_wokeSoon = true;    // the last sleep on the descriptors was short
    std::vector<std::shared_ptr<IdleWork>> m_idle;
    int m_epollFd = -1;
    int m_postedFd = -1;
    const pid_t m_ownerTid;
    cpu_set_t m_ownerCpus;
    bool m_canSteer = false;
    std::atomic<bool> m_steered{false};
};

// The calling thread's queue, made on first use.
const std::shared_ptr<ThreadQueue>& CurrentQueue();

// The queue of a live thread, or null.
std::shared_ptr<ThreadQueue> FindQueue(DWORD threadId);

// The queues of all live threads.
std::vector<std::shared_ptr<ThreadQueue>> AllQueues();

}  // namespace posix
