// What the change sources have handed to the message loop and it has not
// yet printed, counted in bytes. The sources stop reading the kernel's queues
// while the count is past its bound, and go on once the loop has printed half
// of it; if a kernel queue overflows meanwhile, that is the overflow the
// source already tells. So memory stays bounded however long the reader of
// standard output stalls, and nothing is lost without that line.
#pragma once

#include <cstddef>

namespace posix {

class HandOver {
  public:
    // The one hand-over of the process: every source posts to the main
    // thread's loop.
    static HandOver& Instance();

    // Counted when a line is posted, and when the loop is done with it.
    void Add(size_t bytes);
    void Remove(size_t bytes);

    // A line's block, which the loop is done with, is handed back to be
    // freed on a source's thread (FreeReturned): freed where it was made, it
    // takes no allocator lock that the two threads would take in turn.
    void Return(void* block);
    void FreeReturned();

    // True past the bound: the caller then reads no more from the kernel
    // until DrainedFd() is readable. False also when the loop has drained it
    // meanwhile, so no wake-up is missed.
    bool Full();

    // An eventfd, readable once the loop has printed half of the bound after
    // Full returned true. Clear it with TakeDrained before waiting again.
    int DrainedFd() const { return m_drainedFd; }
    void TakeDrained();

    static constexpr size_t kBound = size_t{2} * 1024 * 1024;
    static constexpr size_t kResume = kBound / 2;

  private:
    HandOver();
    int m_drainedFd;
};

// Marks a source's thread at work on events it has read: more lines may be
// on their way. The loop, finding nothing queued meanwhile, waits a moment
// for the next instead of going to sleep only to be woken for it.
class SourceAtWork {
  public:
    SourceAtWork();
    ~SourceAtWork();
    SourceAtWork(const SourceAtWork&) = delete;
    SourceAtWork& operator=(const SourceAtWork&) = delete;
};
bool SourcesAtWork();

// What one posted line is counted as: its paths and what carrying them costs.
size_t HandOverBytes(size_t path1Size, size_t path2Size);

}  // namespace posix

namespace posix {

// What one wait of a change source's thread found.
struct SourceWake {
    bool stop = false;    // asked to stop, or the wait failed
    bool events = false;  // the kernel's queue has events to read
    bool mounts = false;  // the mount table changed
    bool timedOut = false;
};

// Waits on a change source's kernel queue, its wake-up and the mount table
// (a negative descriptor is left out). While the hand-over is full the
// queue is not waited on but the hand-over's draining is, so the kernel's
// queue fills and overflows rather than the process's memory.
SourceWake WaitForSource(int queueFd, int wakeFd, int mountsFd, int timeoutMs);

}  // namespace posix
