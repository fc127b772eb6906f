// queue_cost: the least that the Linux layer's parts cost per line, each
// alone on one thread with warm caches: a message posted to the thread's own
// queue, taken and claimed; the same message carrying a block that is
// allocated when posted and freed when released, as a line's item lists are;
// and a line printed and flushed through the runtime's printf and fflush
// while more messages wait, as the tool's window procedure does in a drain.
// Prints the best of many rounds, in nanoseconds per line. Standard output
// takes the printed lines, so point it at /dev/null; the figures go to
// standard error.
//
//   cmake --build build/linux --target queue_cost
//   build/linux/queue_cost > /dev/null
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "standard_output.h"
#include "thread_queue.h"

namespace {

constexpr int kLines = 1000;
constexpr int kRounds = 300;
constexpr UINT kMessage = 0x8000;

double ThreadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void FreeBlock(WPARAM wParam) {
    free(reinterpret_cast<void*>(wParam));
}

// Posts kLines messages, then takes and claims them, releasing each payload.
void PostAndTake(posix::ThreadQueue& queue, bool withBlocks) {
    constexpr size_t kBlockSize = 96;
    for (int i = 0; i < kLines; ++i) {
        posix::QueuedMessage message{};
        message.msg.message = kMessage;
        message.msg.wParam =
            withBlocks ? reinterpret_cast<WPARAM>(malloc(kBlockSize)) : static_cast<WPARAM>(i);
        message.owned = true;
        message.release = withBlocks ? FreeBlock : nullptr;
        message.tag = 1;
        queue.Post(message);
    }
    std::vector<posix::QueuedMessage> unclaimed;
    for (int i = 0; i < kLines; ++i) {
        MSG taken;
        queue.Take(&taken, &unclaimed);
        posix::QueuedMessage claimed{};
        bool dropped = false;
        if (queue.ClaimTaken(taken, &claimed, &dropped) && claimed.release) {
            claimed.release(claimed.msg.wParam);
        }
    }
}

// One message stays queued, so every fflush holds its line as it does
// while the loop has more to dispatch; the held lines go out at the end.
void PrintLines(posix::ThreadQueue& queue) {
    posix::QueuedMessage waiting{};
    waiting.msg.message = kMessage;
    queue.Post(waiting);
    posix::SetDispatching(true);
    for (int i = 0; i < kLines; ++i) {
        printf("SHCNE_CREATE('%s', '%s')\n", "/tmp/drain.abcdef/f000123456", "");
        fflush(stdout);
    }
    posix::SetDispatching(false);
    posix::WriteHeldOutput();
    MSG taken;
    std::vector<posix::QueuedMessage> unclaimed;
    queue.Take(&taken, &unclaimed);
}

template <typename Work>
double BestNanosecondsPerLine(Work work) {
    double best = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        const double start = ThreadSeconds();
        work();
        best = std::min(best, (ThreadSeconds() - start) / kLines);
    }
    return best * 1e9;
}

void Tell(const char* what, double nanoseconds) {
    const std::string line = std::string(what) + ": " + std::to_string(nanoseconds) + " ns\n";
    if (write(2, line.data(), line.size()) < 0) {
        // Nowhere else to tell it.
    }
}

}  // namespace

int main() {
    posix::ThreadQueue& queue = *posix::CurrentQueue();
    Tell("message posted, taken and claimed",
         BestNanosecondsPerLine([&] { PostAndTake(queue, false); }));
    Tell("the same, with a block allocated and freed",
         BestNanosecondsPerLine([&] { PostAndTake(queue, true); }));
    Tell("line printed and flushed through the runtime",
         BestNanosecondsPerLine([&] { PrintLines(queue); }));
    return 0;
}
