#include "fanotify_records.h"

#include <string.h>
#include <sys/fanotify.h>

namespace posix {
namespace {

// A fid info record: its header, the fsid, then a struct file_handle
// (handle_bytes, handle_type, the bytes) and, for the named kinds, a name
// ended by NUL. Returns false when any part runs past the record.
bool ParseFid(const char* info, size_t length, bool named, FanotifyName* out) {
    const size_t fixed = sizeof(struct fanotify_event_info_header) + kFsidSize;
    const size_t handleHeader = sizeof(uint32_t) + sizeof(int32_t);
    if (length < fixed + handleHeader) return false;
    uint32_t handleBytes;
    memcpy(&handleBytes, info + fixed, sizeof handleBytes);
    if (handleBytes > length - fixed - handleHeader) return false;
    const size_t keyEnd = fixed + handleHeader + handleBytes;
    out->key = std::string_view(info + sizeof(struct fanotify_event_info_header),
                                keyEnd - sizeof(struct fanotify_event_info_header));
    if (!named) return true;
    const char* name = info + keyEnd;
    const void* end = memchr(name, '\0', length - keyEnd);
    if (!end) return false;
    out->name = std::string_view(name, static_cast<size_t>(static_cast<const char*>(end) - name));
    return true;
}

// Fills the record from its info records; false when one is malformed.
bool ParseInfos(const char* info, size_t size, FanotifyRecord* record) {
    while (size > 0) {
        struct fanotify_event_info_header header;
        if (size < sizeof header) return false;
        memcpy(&header, info, sizeof header);
        if (header.len < sizeof header || header.len > size) return false;
        bool ok = true;
        switch (header.info_type) {
            case FAN_EVENT_INFO_TYPE_FID:
                ok = ParseFid(info, header.len, false, &record->item);
                break;
            case FAN_EVENT_INFO_TYPE_DFID:
                ok = ParseFid(info, header.len, false, &record->dir);
                break;
            case FAN_EVENT_INFO_TYPE_DFID_NAME:
                ok = ParseFid(info, header.len, true, &record->dir);
                break;
            case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
                ok = ParseFid(info, header.len, true, &record->from);
                break;
            case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
                ok = ParseFid(info, header.len, true, &record->to);
                break;
            default:
                break;  // kinds this group does not ask for
        }
        if (!ok) return false;
        info += header.len;
        size -= header.len;
    }
    return true;
}

}  // namespace

void ParseFanotifyBuffer(const char* buffer, size_t size, std::vector<FanotifyRecord>* records) {
    while (size >= sizeof(struct fanotify_event_metadata)) {
        struct fanotify_event_metadata meta;
        memcpy(&meta, buffer, sizeof meta);
        if (meta.event_len > size || meta.metadata_len < sizeof meta ||
            meta.metadata_len > meta.event_len || meta.vers != FANOTIFY_METADATA_VERSION) {
            return;
        }
        FanotifyRecord record;
        record.mask = meta.mask;
        record.pid = meta.pid;
        record.fd = meta.fd;
        if (!ParseInfos(buffer + meta.metadata_len, meta.event_len - meta.metadata_len, &record)) {
            return;
        }
        records->push_back(record);
        buffer += meta.event_len;
        size -= meta.event_len;
    }
}

}  // namespace posix
