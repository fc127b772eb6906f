// A mutex that spins for a moment before it sleeps, and the condition that
// goes with it. A message queue, or a walk's list of folders, is locked for a
// few instructions at a time by threads that run on other cores, so the
// holder is nearly always done within the spin: a sleep and a wake-up would
// cost far more than the wait.
#pragma once

#include <pthread.h>

#include <mutex>

namespace posix {

class SpinningMutex {
  public:
    SpinningMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&m_mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~SpinningMutex() { pthread_mutex_destroy(&m_mutex); }
    SpinningMutex(const SpinningMutex&) = delete;
    SpinningMutex& operator=(const SpinningMutex&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }

  private:
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
