// The records that one read of a fanotify group returns, for a group that
// reports file handles (FAN_REPORT_DFID_NAME with FAN_REPORT_TARGET_FID):
// each event's fixed part, then info records naming the folder and the item.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <vector>

namespace posix {

// A file handle with the file system it belongs to (fsid, handle type and
// handle bytes, as one key), and the name that goes with it, if any.
struct FanotifyName {
    std::string_view key;  // empty when the record did not carry it
    std::string_view name;
};

struct FanotifyRecord {
    uint64_t mask = 0;
    int32_t pid = 0;
    int fd = -1;        // FAN_NOFD in a group that reports handles
    FanotifyName dir;   // the folder and the item's name in it
    FanotifyName from;  // a rename's old folder and name
    FanotifyName to;    // a rename's new folder and name
    FanotifyName item;  // the item's own handle (the target of a dirent event)
};

// Parses a read buffer. A record or info record that does not fit, or is
// shorter than its fixed part, ends the parse there: nothing beyond it can be
// trusted. Keys and names point into buffer.
void ParseFanotifyBuffer(const char* buffer, size_t size, std::vector<FanotifyRecord>* records);

// The size of a key's handle part, that open_by_handle_at wants as a struct
// file_handle, starts after the fsid.
constexpr size_t kFsidSize = 8;

}  // namespace posix
