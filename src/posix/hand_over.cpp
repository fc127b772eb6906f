#include "hand_over.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>

namespace posix {
namespace {

// The queued message, the item pair and two item lists, with the
// allocator's headers: measured at about this much beyond the paths.
constexpr size_t kLineCost = 160;

std::atomic<size_t> s_bytes{0};
std::atomic<bool> s_waiting{false};

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

size_t HandOverBytes(size_t path1Size, size_t path2Size) {
    return kLineCost + path1Size + path2Size;
}

}  // namespace posix
