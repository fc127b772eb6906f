// The watch's reading of the kernel's queue: by its own thread, and, when
// it shares the reading with the message loop, by the loop's thread while
// that idles. One event's line then costs one thread's wake-up, not two.
//
// Both threads wait on the queue exclusively (EPOLLEXCLUSIVE), the loop
// added first, so an event wakes the loop when it waits and this thread
// only when it does not. While the loop's output would tell it of a stall,
// this thread does not wait on the queue at all: the loop reads it once its
// work is done, and a second event that comes while the loop is at work
// wakes nobody. The loop handles what is quick; an event that may walk a
// folder, and all after it, is left to this thread, so no line waits for a
// walk on the thread that prints it.
//
// When the loop reads on alone and nothing waits for this thread to read,
// the loop sleeps in a blocking read of the queue itself, so that an event
// reaches it in one system call, not two (a wait, then a read). Meanwhile
// neither thread reads the queue otherwise, and whoever posts to the loop
// wakes it through the queue (the share's bell).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "../hand_over.h"
#include "../standard_output.h"
#include "watcher.h"

namespace posix {
namespace {

// A rename's two ends are queued back to back; when a read ended between
// them, the other end is already queued, so a short wait is enough.
constexpr int kPartnerWaitMs = 5;
constexpr int kContentTickMs = 100;
constexpr int kFreshTickMs = static_cast<int>(ContentTracker::kFreshAge.count());
// How long the loop, at work, may leave events in the kernel's queue before
// this thread reads them into the hand-over.
constexpr int kLoopAtWorkMs = 5;
// The loop writes a read's lines before it reads again, so a smaller read
// keeps fewer lines in memory at once: their blocks are reused while still
// in the caches, where a large read's would each take new pages.
constexpr size_t kLoopReadSize = size_t{32} * 1024;

}  // namespace

// What the loop's thread is given: the watch's lock, the watch until it
// stops, and the nudge that wakes the watch's own thread. It outlives the
// watch while the loop still holds it.
class Watcher::LoopShare : public IdleWork {
  public:
    LoopShare(Watcher* owner, int queueFd)
        : watcher(owner), m_queueFd(queueFd), m_nudgeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~LoopShare() override {
        if (m_nudgeFd >= 0) close(m_nudgeFd);
        if (m_bellFd >= 0) close(m_bellFd);
    }
    LoopShare(const LoopShare&) = delete;
    LoopShare& operator=(const LoopShare&) = delete;

    int Fd() const override { return m_queueFd; }
    int NudgeFd() const { return m_nudgeFd; }

    // The event that woke the loop went to the loop alone, and the
    // watch's thread, holding the lock, may be past its last read. So the
    // loop marks the wake-up missed and tries once more: failing again, the
    // lock is held by one that unlocks after the mark and then sees it
    // (TakeMissed), at no system call's cost.
    bool Step() override {
        std::unique_lock<SpinningMutex> hold(lock, std::try_to_lock);
        if (!hold.owns_lock()) {
            m_missed.store(true);
            if (!hold.try_lock()) return LeftWork(false);
            m_missed.store(false);
        }
        return LeftWork(watcher && watcher->StepOnLoop());
    }

    // Whether the loop, having left its last step's work to the watch's
    // thread, waits for that thread's lines and not on the kernel's queue.
    bool LoopAway() const { return m_away.load(std::memory_order_relaxed); }

    // Called by the watch's thread after it unlocks: whether to read again
    // before it waits.
    bool TakeMissed() { return m_missed.load() && m_missed.exchange(false); }

    // A nudge that only tells of a new timer waits until the loop has
    // written the lines of its step, so it does not delay them.
    void NudgeBeforeSleep() { m_nudgeDue.store(true, std::memory_order_relaxed); }
    void BeforeSleep() override {
        if (m_nudgeDue.load(std::memory_order_relaxed) && m_nudgeDue.exchange(false)) Nudge();
    }

    // Hands the watch's thread the work the loop leaves: the rest of its
    // read, or the queue itself.
    void LeaveWork() {
        m_workLeft.store(true);
        Nudge();
    }

    // Whether the nudges taken with TakeNudges left work, or only told of
    // a timer, which the thread then sets without reading the queue.
    bool TakeWorkLeft() { return m_workLeft.load() && m_workLeft.exchange(false); }

    void Nudge() const {
        const uint64_t one = 1;
        if (write(m_nudgeFd, &one, sizeof one) < 0) {
            // The counter is already set: the thread wakes either way.
        }
    }

    bool TakeNudges() const {
        uint64_t nudges;
        return read(m_nudgeFd, &nudges, sizeof nudges) == sizeof nudges;
    }

    // The loop may sleep in a blocking read of the kernel's queue, which
    // then brings it the next event with no wait before the read. Only
    // the loop's posters need to wake it otherwise: they ring a bell, a
    // private file whose changes the queue itself reports (and the watch
    // drops). A file made by memfd_create reports nothing through its
    // first descriptor, so it is written through a second, opened by name.
    // Without a bell that rings, the loop sleeps in epoll_wait instead.
    void HangBell() {
        const int file = memfd_create("orvane-bell", MFD_CLOEXEC);
        if (file < 0) return;
        const std::string name = "/proc/self/fd/" + std::to_string(file);
        const int writer = open(name.c_str(), O_WRONLY | O_CLOEXEC);
        m_queueFlags = fcntl(m_queueFd, F_GETFL);
        if (writer >= 0 && m_queueFlags >= 0 && Rings(name, writer)) {
            m_bellWd = inotify_add_watch(m_queueFd, name.c_str(), IN_MODIFY);
        }
        if (m_bellWd >= 0) {
            m_bellFd = writer;
        } else if (writer >= 0) {
            close(writer);
        }
        close(file);
    }
    int BellWd() const { return m_bellWd; }

    bool BeginWaitInRead() override {
        const std::lock_guard<SpinningMutex> hold(lock);
        if (!watcher || m_bellWd < 0 || m_readFailed || !watcher->LoopMayWaitInRead()) return false;
        if (!QueueBlocking(true)) return false;
        m_inRead = true;
        m_readSize = 0;
        return true;
    }
    void WaitInRead() override {
        m_readSize = read(m_queueFd, m_readBuffer.data(), m_readBuffer.size());
        m_readError = errno;
    }
    bool StepAfterWait() override {
        const std::lock_guard<SpinningMutex> hold(lock);
        m_inRead = false;
        if (m_readSize < 0 && m_readError != EINTR) {
            // The loop waits on the queue as before; the watch meets the
            // failure at its next read.
            m_readFailed = true;
            return LeftWork(true);
        }
        if (m_readSize <= 0) return LeftWork(true);
        const size_t size = static_cast<size_t>(m_readSize);
        return LeftWork(watcher &&
                        watcher->StepOnLoopWith(m_readBuffer.data(), size, m_readBuffer.size()));
    }
    void Interrupt() override {
        const char ring = 0;
        if (pwrite(m_bellFd, &ring, 1, 0) < 0) {
            // The byte's page was taken when the bell was tried: rewritten
            // in place, it needs no memory.
        }
    }

    // Whether the caller may read the queue now: not while the loop sleeps
    // in its read, which takes the events it finds and handles them once it
    // holds the lock, and only once the queue is back to reading without
    // waiting. Under the lock.
    bool MayReadHere() { return !m_inRead && QueueBlocking(false); }

    // Waits until the loop sleeps in no read of the queue, which is closed
    // next. The watch is gone from the share, so the loop begins no other.
    void AwaitNoRead() {
        for (;;) {
            {
                const std::lock_guard<SpinningMutex> hold(lock);
                if (!m_inRead) return;
            }
            Interrupt();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    SpinningMutex lock;  // held by whichever thread handles events
    Watcher* watcher;    // null once the watch stops

  private:
    // Tried on a queue of its own first: a kernel that tells nothing of the
    // bell's writes would leave the loop asleep with lines queued. The ring
    // also takes the page that every later ring rewrites.
    static bool Rings(const std::string& name, int writer) {
        const int probe = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (probe < 0) return false;
        const char ring = 0;
        int queued = 0;
        const bool rings = inotify_add_watch(probe, name.c_str(), IN_MODIFY) >= 0 &&
                           pwrite(writer, &ring, 1, 0) == 1 &&
                           ioctl(probe, FIONREAD, &queued) == 0 && queued > 0;
        close(probe);
        return rings;
    }

    // The queue blocks only while the loop sleeps in it, or until the next
    // read that must not wait. Under the lock.
    bool QueueBlocking(bool blocking) {
        if (m_queueBlocking == blocking) return true;
        const int flags = blocking ? m_queueFlags & ~O_NONBLOCK : m_queueFlags | O_NONBLOCK;
        if (fcntl(m_queueFd, F_SETFL, flags) != 0) return false;
        m_queueBlocking = blocking;
        return true;
    }

    bool LeftWork(bool stepped) {
        m_away.store(!stepped, std::memory_order_relaxed);
        return stepped;
    }

    const int m_queueFd;
    const int m_nudgeFd;
    std::atomic<bool> m_missed{false};
    std::atomic<bool> m_away{false};
    std::atomic<bool> m_nudgeDue{false};
    std::atomic<bool> m_workLeft{false};
    int m_bellWd = -1;
    int m_bellFd = -1;
    int m_queueFlags = -1;
    bool m_queueBlocking = false;
    bool m_inRead = false;
    bool m_readFailed = false;
    // Written by the loop's read, outside the lock; read back by the loop,
    // and by the watch's thread only for events the loop leaves it.
    std::vector<char> m_readBuffer = std::vector<char>(kLoopReadSize);
    ssize_t m_readSize = 0;
    int m_readError = 0;
};

// The loop is added to the queue's waiters first, and this thread's own
// epoll second, which makes the loop the one woken while it waits. The
// other epoll, for when the loop reads on alone, has no queue in it.
void Watcher::ShareWithLoop() {
    auto share = std::make_shared<LoopShare>(this, m_inotifyFd);
    const int ready = epoll_create1(EPOLL_CLOEXEC);
    const int duty = epoll_create1(EPOLL_CLOEXEC);
    share->HangBell();
    bool shared = ready >= 0 && duty >= 0 && share->NudgeFd() >= 0 && m_loop->AddIdleWork(share);
    if (shared) {
        epoll_event queue{};
        queue.events = EPOLLIN | EPOLLEXCLUSIVE;
        epoll_event nudged{};
        nudged.events = EPOLLIN;
        epoll_event stalled{};
        stalled.events = EPOLLIN;
        shared =
            epoll_ctl(ready, EPOLL_CTL_ADD, m_inotifyFd, &queue) == 0 &&
            epoll_ctl(ready, EPOLL_CTL_ADD, share->NudgeFd(), &nudged) == 0 &&
            epoll_ctl(duty, EPOLL_CTL_ADD, share->NudgeFd(), &nudged) == 0 &&
            (OutputStallFd() < 0 || epoll_ctl(duty, EPOLL_CTL_ADD, OutputStallFd(), &stalled) == 0);
        if (!shared) m_loop->RemoveIdleWork(share.get());
    }
    if (!shared) {
        // The watch reads alone, as it does without a loop.
        if (ready >= 0) close(ready);
        if (duty >= 0) close(duty);
        return;
    }
    m_share = std::move(share);
    m_readyFd = ready;
    m_dutyFd = duty;
}

// Once this returns the loop handles no more events: a step it began has
// ended, and any later one finds the watch gone. The share itself stays
// until the watch's thread has ended.
void Watcher::StopSharing() {
    if (!m_share) return;
    {
        const std::lock_guard<SpinningMutex> hold(m_share->lock);
        m_share->watcher = nullptr;
    }
    m_share->AwaitNoRead();
    m_loop->RemoveIdleWork(m_share.get());
}

std::unique_lock<SpinningMutex> Watcher::HoldEvents() {
    return m_share ? std::unique_lock<SpinningMutex>(m_share->lock)
                   : std::unique_lock<SpinningMutex>();
}

int Watcher::WaitTimeout() const {
    if (m_pairer.HasPending()) return kPartnerWaitMs;
    if (m_contents.WaitingForWriters()) return kContentTickMs;
    if (m_contents.Waiting()) return kFreshTickMs;
    return -1;
}

// While the hand-over to the message loop is full, the kernel's queue is
// not read; the loop's draining wakes the thread. Should the kernel's queue
// overflow meanwhile, its overflow event is read and told as usual.
void Watcher::Run() {
    for (;;) {
        int timeout;
        {
            const auto hold = HoldEvents();
            timeout = m_sourceTimeout = WaitTimeout();
        }
        SourceWake wake;
        if (m_share && m_share->TakeMissed()) {
            wake.events = true;
        } else if (LoopReadsOn()) {
            // Woken by work the loop left here, by its output's stall, or
            // by a sooner timer.
            wake = WaitForSource(m_dutyFd, m_wakeFd, m_mountsFd, timeout);
            if (wake.events) {
                m_share->TakeNudges();
                // A nudge that only told of a timer leaves the queue to the
                // loop: reading it here would take the loop's reading over
                // until the queue is empty, and hand each line across.
                if (!m_share->TakeWorkLeft() && !OutputStalled()) wake.events = false;
            }
        } else {
            wake = WaitForSource(m_readyFd, m_wakeFd, m_mountsFd, timeout);
            if (wake.events && m_share && !m_share->TakeNudges() && !m_share->LoopAway()) {
                wake = LeaveToLoop(wake);
            }
        }
        if (wake.stop) return;
        const auto hold = HoldEvents();
        if (wake.events) {
            // Work the loop left before this thread took the lock is in
            // this drain; it can leave no more while the lock is held.
            if (m_share) m_share->TakeWorkLeft();
            bool readAny = false;
            if (!Drain(&readAny)) return;
        } else if (wake.timedOut && m_pairer.HasPending()) {
            // A move's first end is told as leaving only when nothing more
            // is queued: the loop may have been woken for its second.
            bool readAny = false;
            if (!Drain(&readAny)) return;
            if (!readAny) FlushUnpaired(m_pairer.TakeAll());
        }
        if (wake.mounts) OnMountsChanged();
        ReportDueContents();
    }
}

// Whether the loop reads the kernel's queue on without this thread's help:
// it has left no work here, and its output is not stalled and would tell of
// a stall. The loop then wakes this thread for any work it leaves, and so
// does a stall.
bool Watcher::LoopReadsOn() const {
    return m_share && !m_share->LoopAway() && OutputStallsTold() && !OutputStalled();
}

// Woken by the kernel's queue alone: the loop was not waiting on it, and
// has not left its work here, so it is at work, and reads the queue itself
// once done. Unless its output stalls, it then reads on alone. Else this
// thread reads what the loop leaves there for a while (its output may be
// stalled untold), or once the loop leaves it work; so the two do not wake
// for each event in turn.
SourceWake Watcher::LeaveToLoop(SourceWake woken) {
    if (OutputStalled()) return woken;
    if (LoopReadsOn()) {
        SourceWake none;
        none.mounts = woken.mounts;
        return none;
    }
    SourceWake wake = WaitForSource(m_share->NudgeFd(), m_wakeFd, m_mountsFd, kLoopAtWorkMs);
    m_share->TakeNudges();
    wake.mounts = wake.mounts || woken.mounts;
    wake.events = true;
    return wake;
}

// What the loop sleeps in a read for is its own to handle.
Watcher::ReadResult Watcher::ReadEvents(size_t most) {
    if (m_share && !m_share->MayReadHere()) return ReadResult::kNothing;
    const size_t asked = std::min(most, m_buffer.size());
    for (;;) {
        const ssize_t size = read(m_inotifyFd, m_buffer.data(), asked);
        if (size < 0 && errno == EINTR) continue;
        if (size < 0) return errno == EAGAIN ? ReadResult::kNothing : ReadResult::kFailed;
        TakeEvents(m_buffer.data(), static_cast<size_t>(size), asked);
        return ReadResult::kRead;
    }
}

// The share's bell rings in the queue too, and means nothing here.
void Watcher::TakeEvents(const char* data, size_t size, size_t asked) {
    m_events.clear();
    ParseInotifyBuffer(data, size, &m_events);
    const int bell = m_share ? m_share->BellWd() : -1;
    if (bell >= 0) {
        m_events.erase(
            std::remove_if(m_events.begin(), m_events.end(),
                           [bell](const InotifyEvent& event) { return event.wd == bell; }),
            m_events.end());
    }
    m_readSize = size;
    m_readAsked = asked;
    m_nextEvent = 0;
    m_readTime = ContentTracker::Clock::now();
}

// A read returns every queued event that fits. With room left for the
// largest event, the queue was empty.
bool Watcher::ReadToTheEnd() const {
    const size_t largest = sizeof(struct inotify_event) + NAME_MAX + 1;
    return m_readSize + largest <= m_readAsked;
}

// The kernel queues one overflow event however many events it drops, and
// while that event waits in its queue it drops more without a sign: the
// events queued after it can have gaps. So the rest of its read and what the
// queue holds now are read and dropped, up to a bound; whatever comes after
// that is complete again, as a new drop queues a new overflow event.
void Watcher::DropQueuedEvents() {
    constexpr int kMostReads = 64;
    m_nextEvent = m_events.size();
    for (int reads = 0; reads < kMostReads && !ReadToTheEnd(); ++reads) {
        if (ReadEvents() != ReadResult::kRead) break;
        m_nextEvent = m_events.size();
    }
}

// Reads until the kernel queue is empty, in large reads, so it never fills
// while the lines are being written. Events of a read that the loop left
// unhandled come first.
bool Watcher::Drain(bool* readAny) {
    const SourceAtWork atWork;
    for (;;) {
        if (m_nextEvent == m_events.size()) {
            const ReadResult read = ReadEvents();
            if (read == ReadResult::kFailed) return false;
            if (read == ReadResult::kNothing) break;
            *readAny = true;
        }
        while (m_nextEvent < m_events.size()) Handle(m_events[m_nextEvent++]);
        FlushUnpaired(m_pairer.EndOfRead());
        // An emptied queue spares the read that would only say so. After a
        // scan, the queue is read to its end, for the scan's duplicates to
        // be dropped.
        if (ReadToTheEnd() && m_windows.Empty()) break;
        // A full hand-over stops the reading; the rest waits in the kernel.
        if (m_windows.Empty() && HandOver::Instance().Full()) break;
    }
    // Everything queued before the last scans has been read: what they
    // reported can no longer come twice.
    m_windows.CloseAll();
    return true;
}

// Whether the loop's thread may handle the event: one about an entry that
// is not a folder, while no listing's window is open and no folder is set
// aside. Overflows, folders' own events and the ends of watches stay with
// this thread, as do folders, whose arrival is walked.
bool Watcher::QuickToHandle(const InotifyEvent& event) const {
    constexpr uint32_t kSlow = IN_ISDIR | IN_Q_OVERFLOW | IN_IGNORED;
    return !(event.mask & kSlow) && !event.name.empty() && m_windows.Empty() && !m_displaced.node;
}

// One read, on the loop's thread, handled up to the first event that is not
// quick to handle; that one and the rest are left to this watch's thread,
// as is a read that a move still waits across. False when the work was left
// (or the read failed): the loop then waits for the lines that thread posts.
bool Watcher::StepOnLoop() {
    if (m_pairer.HasPending() || m_nextEvent < m_events.size()) return LeaveToThread();
    const ReadResult read = ReadEvents(kLoopReadSize);
    if (read == ReadResult::kNothing) return true;
    // The watch's thread meets the failure too, and ends the watch.
    if (read == ReadResult::kFailed) return LeaveToThread();
    return HandleOnLoop();
}

// A read the loop made while it slept in it.
bool Watcher::StepOnLoopWith(const char* data, size_t size, size_t asked) {
    TakeEvents(data, size, asked);
    return HandleOnLoop();
}

// Whether the loop may sleep in a read of the queue: this thread does not
// wait on it meanwhile and has nothing to read it for. Under the lock.
bool Watcher::LoopMayWaitInRead() const {
    return LoopReadsOn() && !m_pairer.HasPending() && m_nextEvent == m_events.size() &&
           m_windows.Empty() && !m_displaced.node;
}

bool Watcher::HandleOnLoop() {
    while (m_nextEvent < m_events.size()) {
        const InotifyEvent& event = m_events[m_nextEvent];
        if (!QuickToHandle(event)) return LeaveToThread();
        ++m_nextEvent;
        Handle(event);
    }
    FlushUnpaired(m_pairer.EndOfRead());
    // The watch's thread keeps the timers: a move's end waiting for its
    // partner, and the contents' ticks. It hears of a sooner one once the
    // loop has written this step's lines.
    const int wanted = WaitTimeout();
    if (wanted >= 0 && (m_sourceTimeout < 0 || wanted < m_sourceTimeout)) {
        m_sourceTimeout = wanted;
        m_share->NudgeBeforeSleep();
    }
    return true;
}

// Work that the loop leaves wakes this thread, wherever it waits.
bool Watcher::LeaveToThread() {
    m_share->LeaveWork();
    return false;
}

}  // namespace posix
