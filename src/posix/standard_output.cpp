#include "standard_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "error_text.h"
#include "thread_queue.h"

namespace posix {
namespace {

// Held text past this size goes out even while more messages are queued, so
// a long batch never makes one large write or a large buffer.
constexpr size_t kBatchLimit = size_t{64} * 1024;

using Clock = std::chrono::steady_clock;

// Whether a write can be told to fail rather than wait (RWF_NOWAIT).
enum StallSight { kNotYetSeen, kSeen, kUnseen };

// Allocated once and never destroyed: the console control thread may write
// through it while the process exits.
struct Output {
    std::mutex lock;  // guards held
    std::string held;
    std::atomic<size_t> heldSize{0};
    std::timed_mutex writer;  // one writer at a time; guards writing
    std::string writing;
    std::atomic<size_t> chunkLimit{0};  // 0 until descriptor 1 was looked at
    std::atomic<int> tryFd{-1};         // see OpenTryingDescriptor
    std::atomic<bool> failureTold{false};
    std::atomic<int> stallSight{kNotYetSeen};
    std::atomic<bool> stalled{false};
    const int stallFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

Output& State() {
    static Output* s_output = new Output;
    return *s_output;
}

thread_local bool s_dispatching = false;

// The pipe behind descriptor 1, opened a second time in non-blocking mode, for
// this process alone: a plain write(2) through it fails rather than wait, as
// pwritev2(RWF_NOWAIT) on descriptor 1 does, and costs less on the way to the
// reader, as it takes the kernel's common write path. Descriptor 1's own
// mode stays as it is, since other processes may share it. -1 where the pipe
// cannot be opened again: it belongs to another user, or /proc is missing.
int OpenTryingDescriptor(const struct stat& out) {
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat again;
    if (fstat(fd, &again) != 0 || again.st_dev != out.st_dev || again.st_ino != out.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// Into a regular file a write never waits for a reader, so the batch goes out
// in one write; anything else is written in pieces that the kernel keeps whole.
size_t ChunkLimit() {
    size_t limit = State().chunkLimit.load();
    if (limit == 0) {
        struct stat info;
        const bool known = fstat(1, &info) == 0;
        const bool file = known && S_ISREG(info.st_mode);
        limit = file ? SIZE_MAX : PIPE_BUF;
        // A file's reader never holds a write back.
        if (file) State().stallSight.store(kSeen);
        if (known && S_ISFIFO(info.st_mode)) State().tryFd.store(OpenTryingDescriptor(info));
        State().chunkLimit.store(limit);
    }
    return limit;
}

// The end of the next piece of text from from: as many whole lines as fit in
// limit, or else the one line that begins there, however long.
size_t ChunkEnd(const std::string& text, size_t from, size_t limit) {
    if (text.size() - from <= limit) return text.size();
    const size_t last = text.rfind('\n', from + limit - 1);
    if (last != std::string::npos && last >= from) return last + 1;
    const size_t next = text.find('\n', from + limit);
    return next == std::string::npos ? text.size() : next + 1;
}

[[noreturn]] void EndForLostReader() {
    static const char kMessage[] = "orvane: standard output was closed by its reader\n";
    if (write(2, kMessage, sizeof kMessage - 1) < 0) {
        // Nothing is left to tell it to.
    }
    _exit(1);
}

void TellFailureOnce(int error) {
    if (State().failureTold.exchange(true)) return;
    fprintf(stderr, "orvane: cannot write to standard output: %s\n", ErrorText(error));
    fflush(stderr);
}

// Milliseconds left before deadline, or -1 (no limit) without one.
int MillisecondsLeft(const Clock::time_point* deadline) {
    if (!deadline) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until descriptor 1 takes text; false once the deadline has passed.
bool WaitWritable(const Clock::time_point* deadline) {
    struct pollfd fd = {1, POLLOUT, 0};
    const int ready = poll(&fd, 1, MillisecondsLeft(deadline));
    return ready > 0 || (ready < 0 && errno == EINTR && MillisecondsLeft(deadline) != 0);
}

// Tells a stall for as long as it lasts: from the write that would have
// waited until the text being written is out, or given up.
class StallTeller {
  public:
    StallTeller() = default;
    StallTeller(const StallTeller&) = delete;
    StallTeller& operator=(const StallTeller&) = delete;
    ~StallTeller() {
        if (!m_telling) return;
        Output& output = State();
        output.stalled.store(false);
        uint64_t count;
        if (read(output.stallFd, &count, sizeof count) < 0) {
            // Nothing was pending.
        }
    }

    // write(2) on descriptor 1. Into a pipe or a socket it first tries not
    // to wait, and a write that would wait is told before it does.
    ssize_t Write(const char* data, size_t size) {
        Output& output = State();
        if (m_telling || output.stallSight.load(std::memory_order_relaxed) == kUnseen ||
            output.chunkLimit.load(std::memory_order_relaxed) == SIZE_MAX) {
            return write(1, data, size);
        }
        const ssize_t written = WriteWithoutWaiting(data, size);
        if (written >= 0) {
            output.stallSight.store(kSeen, std::memory_order_relaxed);
            return written;
        }
        if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) {
            output.stallSight.store(kUnseen);
        } else if (errno == EAGAIN) {
            Tell();
        } else {
            return written;
        }
        return write(1, data, size);
    }

  private:
    static ssize_t WriteWithoutWaiting(const char* data, size_t size) {
        const int tryFd = State().tryFd.load(std::memory_order_relaxed);
        if (tryFd >= 0) return write(tryFd, data, size);
        iovec piece = {const_cast<char*>(data), size};
        return pwritev2(1, &piece, 1, -1, RWF_NOWAIT);
    }

    void Tell() {
        Output& output = State();
        m_telling = true;
        output.stalled.store(true);
        const uint64_t one = 1;
        if (write(output.stallFd, &one, sizeof one) < 0) {
            // The counter is already set: the stall shows either way.
        }
    }

    bool m_telling = false;
};

// False when the deadline passed before all of it went out. Text that cannot
// be written for another reason is dropped, and that is told.
bool WritePiece(const char* data, size_t size, const Clock::time_point* deadline,
                StallTeller* stall) {
    while (size > 0) {
        if (deadline && !WaitWritable(deadline)) return false;
        const ssize_t written = stall->Write(data, size);
        if (written >= 0) {
            data += written;
            size -= static_cast<size_t>(written);
        } else if (errno == EAGAIN) {
            // Standard output was inherited in non-blocking mode.
            if (!WaitWritable(deadline)) return false;
        } else if (errno == EPIPE) {
            EndForLostReader();
        } else if (errno != EINTR) {
            TellFailureOnce(errno);
            return true;
        }
    }
    return true;
}

// The caller holds the writer.
void WriteHeld(const Clock::time_point* deadline) {
    Output& output = State();
    {
        std::lock_guard<std::mutex> hold(output.lock);
        output.writing.swap(output.held);
        output.heldSize.store(0);
    }
    const std::string& text = output.writing;
    const size_t limit = ChunkLimit();
    StallTeller stall;
    for (size_t from = 0; from < text.size();) {
        const size_t end = ChunkEnd(text, from, limit);
        if (!WritePiece(text.data() + from, end - from, deadline, &stall)) break;
        from = end;
    }
    output.writing.clear();
}

void WriteAtExit() {
    WriteHeldOutput();
}

}  // namespace

void HoldOutput(const char* text, size_t size) {
    static const bool s_registered = atexit(WriteAtExit) == 0;
    (void)s_registered;
    Output& output = State();
    std::lock_guard<std::mutex> hold(output.lock);
    output.held.append(text, size);
    output.heldSize.store(output.held.size());
}

void FlushOutput() {
    if (s_dispatching && State().heldSize.load() < kBatchLimit && CurrentQueue()->HasMessages()) {
        return;
    }
    WriteHeldOutput();
}

void WriteHeldOutput() {
    if (State().heldSize.load() == 0) return;
    std::lock_guard<std::timed_mutex> hold(State().writer);
    WriteHeld(nullptr);
}

// The writer is kept once taken: the process is about to end, and no other
// thread may begin a write that it could leave cut.
void WriteHeldOutputWithin(int milliseconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    if (!State().writer.try_lock_until(deadline)) return;
    WriteHeld(&deadline);
}

void SetDispatching(bool dispatching) {
    s_dispatching = dispatching;
}

bool OutputStallsTold() {
    return State().stallSight.load(std::memory_order_relaxed) == kSeen && State().stallFd >= 0;
}

bool OutputStalled() {
    return State().stalled.load();
}

int OutputStallFd() {
    return State().stallFd;
}

}  // namespace posix
