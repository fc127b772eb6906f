// Splits what one read() of an inotify descriptor returned into events.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <vector>

namespace posix {

struct InotifyEvent {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string_view name;  // empty for events on the watched item itself
};

// Appends the events in data to out. The buffer is trusted no further than
// its size: a record whose name runs past the end, or a truncated header,
// ends the parse and makes it return false; what came before is kept.
bool ParseInotifyBuffer(const char* data, size_t size, std::vector<InotifyEvent>* out);

}  // namespace posix
