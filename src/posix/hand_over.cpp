#include "hand_over.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace posix {
namespace {

// The queued message, the item pair and two item lists, with the
// allocator's headers: measured at about this much beyond the paths.
constexpr size_t kLineCost = 160;

std::atomic<size_t> s_bytes{0};
std::atomic<bool> s_waiting{false};
// Blocks handed back, each linked to the next through its first word. Only
// ever emptied whole, so a push cannot meet a block taken and pushed again.
std::atomic<void*> s_returned{nullptr};
std::atomic<int> s_atWork{0};

}  // namespace

HandOver& HandOver::Instance() {
    static HandOver* s_handOver = new HandOver;
    return *s_handOver;
}

HandOver::HandOver() : m_drainedFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void HandOver::Add(size_t bytes) {
    s_bytes.fetch_add(bytes);
}

// Only the loop's thread removes, and it wakes a source only when one waits,
// so a line costs no system call here.
void HandOver::Remove(size_t bytes) {
    const size_t left = s_bytes.fetch_sub(bytes) - bytes;
    if (left < kResume && s_waiting.load() && s_waiting.exchange(false)) {
        const uint64_t one = 1;
        if (write(m_drainedFd, &one, sizeof one) < 0) {
            // The counter is already set: a source is woken either way.
        }
    }
}

void HandOver::Return(void* block) {
    void* head = s_returned.load(std::memory_order_relaxed);
    do {
        *static_cast<void**>(block) = head;
    } while (!s_returned.compare_exchange_weak(head, block, std::memory_order_release,
                                               std::memory_order_relaxed));
}

void HandOver::FreeReturned() {
    void* block = s_returned.exchange(nullptr, std::memory_order_acquire);
    while (block) {
        void* next = *static_cast<void**>(block);
        free(block);
        block = next;
    }
}

bool HandOver::Full() {
    if (s_bytes.load() < kBound) return false;
    s_waiting.store(true);
    // Drained between the two looks: the loop saw no waiter, so nobody
    // would wake the caller.
    if (s_bytes.load() < kResume) {
        s_waiting.store(false);
        return false;
    }
    // Without an eventfd, a source reads on and memory is not bounded.
    return m_drainedFd >= 0;
}

void HandOver::TakeDrained() {
    uint64_t count;
    if (read(m_drainedFd, &count, sizeof count) < 0) {
        // Nothing was pending.
    }
}

SourceAtWork::SourceAtWork() {
    s_atWork.fetch_add(1, std::memory_order_relaxed);
}

SourceAtWork::~SourceAtWork() {
    s_atWork.fetch_sub(1, std::memory_order_relaxed);
}

bool SourcesAtWork() {
    return s_atWork.load(std::memory_order_relaxed) > 0;
}

size_t HandOverBytes(size_t path1Size, size_t path2Size) {
    return kLineCost + path1Size + path2Size;
}

}  // namespace posix

namespace posix {

SourceWake WaitForSource(int queueFd, int wakeFd, int mountsFd, int timeoutMs) {
    HandOver& handOver = HandOver::Instance();
    handOver.FreeReturned();
    const bool held = handOver.Full();
    // The mount table reads as changed (POLLPRI) after a mount or an unmount.
    struct pollfd fds[4] = {{held ? -1 : queueFd, POLLIN, 0},
                            {wakeFd, POLLIN, 0},
                            {mountsFd, POLLPRI, 0},
                            {held ? handOver.DrainedFd() : -1, POLLIN, 0}};
    const int ready = poll(fds, 4, timeoutMs);
    SourceWake wake;
    if ((ready < 0 && errno != EINTR) || fds[1].revents) {
        wake.stop = true;
        return wake;
    }
    if (fds[3].revents) handOver.TakeDrained();
    wake.events = ready > 0 && (fds[0].revents & POLLIN);
    wake.mounts = ready > 0 && (fds[2].revents & (POLLPRI | POLLERR));
    wake.timedOut = ready == 0;
    return wake;
}

}  // namespace posix
