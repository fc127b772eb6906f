// Feeds arbitrary bytes, as one read of a fanotify descriptor, through the
// record parser and the folder map, the way the fanotify source uses them:
// every key and name read must lie inside the buffer, and every path the map
// gives must be absolute.
#include <stddef.h>
#include <stdint.h>
#include <sys/fanotify.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "change_source/fanotify_mapping.h"
#include "change_source/fanotify_records.h"
#include "change_source/folder_map.h"

namespace {

void CheckInside(std::string_view part, const uint8_t* data, size_t size) {
    if (part.empty()) return;
    const auto* begin = reinterpret_cast<const char*>(data);
    if (part.data() < begin || part.data() + part.size() > begin + size) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<posix::FanotifyRecord> records;
    posix::ParseFanotifyBuffer(reinterpret_cast<const char*>(data), size, &records);
    posix::FolderMap map;
    map.AnchorMountRoot(std::string(posix::kFsidSize, '\0'), "/");
    for (const posix::FanotifyRecord& record : records) {
        for (const posix::FanotifyName* name :
             {&record.dir, &record.from, &record.to, &record.item}) {
            CheckInside(name->key, data, size);
            CheckInside(name->name, data, size);
        }
        posix::ShellEventFromFanotifyMask(record.mask);
        const bool dir = record.mask & FAN_ONDIR;
        if (dir && (record.mask & FAN_CREATE))
            map.Place(record.item.key, record.dir.key, record.dir.name);
        if (dir && (record.mask & FAN_RENAME))
            map.Place(record.item.key, record.to.key, record.to.name);
        if (dir && (record.mask & FAN_DELETE)) map.Forget(record.item.key);
        std::string missing;
        for (std::string_view key : {record.dir.key, record.item.key}) {
            auto path = map.PathOf(std::string(key), &missing);
            if (path && (path->empty() || (*path)[0] != '/')) abort();
        }
    }
    return 0;
}
