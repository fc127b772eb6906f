// A mutex that spins for a moment before it sleeps, and the condition that
// goes with it. A message queue, or a walk's list of folders, is locked for a
// few instructions at a time by threads that run on other cores, so the
// holder is nearly always done within the spin: a sleep and a wake-up would
// cost far more than the wait.
#pragma once

#include <pthread.h>

#include <mutex>

namespace posix {

// Tells the core that the thread is spinning, for the holder's sake.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

class SpinningMutex {
  public:
    SpinningMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_NORMAL);
        pthread_mutex_init(&m_mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~SpinningMutex() { pthread_mutex_destroy(&m_mutex); }
    SpinningMutex(const SpinningMutex&) = delete;
    SpinningMutex& operator=(const SpinningMutex&) = delete;

    // The spin is the mutex's own, not the C library's adaptive kind: that
    // kind's lock costs some 5 ns more than a plain mutex's even when
    // nobody holds it (and so does a try), while a message queue is locked
    // twice for every line. The spin only reads the lock's word (glibc's, public in
    // its headers), so spinning threads write nothing to its cache line
    // while it is held; a lock still held after the spin sleeps as usual.
    void lock() {
        constexpr int kLooks = 100;
        for (int looks = 0; looks < kLooks && Held(); ++looks) CpuRelax();
        pthread_mutex_lock(&m_mutex);
    }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }

  private:
    bool Held() const { return __atomic_load_n(&m_mutex.__data.__lock, __ATOMIC_RELAXED) != 0; }

    friend class SpinningCondition;
    pthread_mutex_t m_mutex;
};

class SpinningCondition {
  public:
    SpinningCondition() { pthread_cond_init(&m_condition, nullptr); }
    ~SpinningCondition() { pthread_cond_destroy(&m_condition); }
    SpinningCondition(const SpinningCondition&) = delete;
    SpinningCondition& operator=(const SpinningCondition&) = delete;

    void wait(std::unique_lock<SpinningMutex>& hold) {
        pthread_cond_wait(&m_condition, &hold.mutex()->m_mutex);
    }
    template <typename Predicate>
    void wait(std::unique_lock<SpinningMutex>& hold, Predicate ready) {
        while (!ready()) wait(hold);
    }
    void notify_one() { pthread_cond_signal(&m_condition); }
    void notify_all() { pthread_cond_broadcast(&m_condition); }

  private:
    pthread_cond_t m_condition;
};

}  // namespace posix
