#include "inotify_buffer.h"

#include <sys/inotify.h>

#include <cstring>

namespace posix {

bool ParseInotifyBuffer(const char* data, size_t size, std::vector<InotifyEvent>* out) {
    size_t offset = 0;
    while (offset < size) {
        struct inotify_event header;
        if (size - offset < sizeof header) return false;
        memcpy(&header, data + offset, sizeof header);
        offset += sizeof header;
        if (header.len > size - offset) return false;
        // The name is padded with NULs to an aligned length.
        const char* name = data + offset;
        out->push_back({header.wd, header.mask, header.cookie,
                        std::string_view(name, strnlen(name, header.len))});
        offset += header.len;
    }
    return true;
}

}  // namespace posix
