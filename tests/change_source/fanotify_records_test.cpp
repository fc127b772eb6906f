#include "change_source/fanotify_records.h"

#include <string.h>
#include <sys/fanotify.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Builds read buffers as the kernel lays them out.
class Buffer {
  public:
    // An event with the given info records.
    void Event(uint64_t mask, int32_t pid, const std::vector<std::string>& infos) {
        std::string body;
        for (const std::string& info : infos) body += info;
        struct fanotify_event_metadata meta = {};
        meta.event_len = static_cast<uint32_t>(sizeof meta + body.size());
        meta.vers = FANOTIFY_METADATA_VERSION;
        meta.metadata_len = sizeof meta;
        meta.mask = mask;
        meta.fd = FAN_NOFD;
        meta.pid = pid;
        bytes.append(reinterpret_cast<const char*>(&meta), sizeof meta);
        bytes += body;
    }
    std::string bytes;
};

// A fid info record: fsid, a handle of the given bytes, and a name.
std::string Fid(uint8_t type, const std::string& handle, const char* name = nullptr) {
    std::string record(sizeof(struct fanotify_event_info_header), '\0');
    record += std::string(8, 'F');  // fsid
    const uint32_t size = static_cast<uint32_t>(handle.size());
    const int32_t handleType = 1;
    record.append(reinterpret_cast<const char*>(&size), sizeof size);
    record.append(reinterpret_cast<const char*>(&handleType), sizeof handleType);
    record += handle;
    if (name) record.append(name, strlen(name) + 1);
    while (record.size() % 4) record += '\0';
    struct fanotify_event_info_header header = {};
    header.info_type = type;
    header.len = static_cast<uint16_t>(record.size());
    memcpy(&record[0], &header, sizeof header);
    return record;
}

std::string KeyOf(const std::string& handle) {
    std::string key(8, 'F');
    const uint32_t size = static_cast<uint32_t>(handle.size());
    const int32_t handleType = 1;
    key.append(reinterpret_cast<const char*>(&size), sizeof size);
    key.append(reinterpret_cast<const char*>(&handleType), sizeof handleType);
    return key + handle;
}

std::vector<posix::FanotifyRecord> Parse(const std::string& bytes) {
    std::vector<posix::FanotifyRecord> records;
    posix::ParseFanotifyBuffer(bytes.data(), bytes.size(), &records);
    return records;
}

TEST(FanotifyRecordsTest, FolderNameItemAndBothEndsOfARenameAreRead) {
    Buffer buffer;
    buffer.Event(
        FAN_CREATE | FAN_ONDIR, 42,
        {Fid(FAN_EVENT_INFO_TYPE_DFID_NAME, "dir1", "new"), Fid(FAN_EVENT_INFO_TYPE_FID, "item")});
    buffer.Event(FAN_RENAME, 7,
                 {Fid(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, "dirA", "old"),
                  Fid(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, "dirB", "renamed"),
                  Fid(FAN_EVENT_INFO_TYPE_FID, "moved")});
    const std::vector<posix::FanotifyRecord> records = Parse(buffer.bytes);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].mask, FAN_CREATE | FAN_ONDIR);
    EXPECT_EQ(records[0].pid, 42);
    EXPECT_EQ(records[0].dir.key, KeyOf("dir1"));
    EXPECT_EQ(records[0].dir.name, "new");
    EXPECT_EQ(records[0].item.key, KeyOf("item"));
    EXPECT_EQ(records[1].from.key, KeyOf("dirA"));
    EXPECT_EQ(records[1].from.name, "old");
    EXPECT_EQ(records[1].to.key, KeyOf("dirB"));
    EXPECT_EQ(records[1].to.name, "renamed");
    EXPECT_EQ(records[1].item.key, KeyOf("moved"));
    EXPECT_TRUE(records[1].dir.key.empty());
}

TEST(FanotifyRecordsTest, AMalformedRecordEndsTheParseWithoutReadingPastIt) {
    Buffer good;
    good.Event(FAN_DELETE, 1, {Fid(FAN_EVENT_INFO_TYPE_DFID_NAME, "dir", "gone")});
    const std::string whole = good.bytes;
    const size_t meta = sizeof(struct fanotify_event_metadata);
    struct Row {
        const char* name;
        std::string bytes;
        size_t records;
    };
    std::vector<Row> rows;
    rows.push_back({"whole", whole + whole, 2});
    rows.push_back({"cut in the second event", whole + whole.substr(0, whole.size() - 3), 1});
    rows.push_back({"cut in the fixed part", whole + whole.substr(0, meta - 1), 1});
    std::string bigHandle = whole;
    const uint32_t huge = 4000;
    memcpy(&bigHandle[meta + sizeof(struct fanotify_event_info_header) + 8], &huge, sizeof huge);
    rows.push_back({"handle longer than its record", bigHandle, 0});
    std::string noNul = whole;
    for (size_t i = whole.size() - 8; i < whole.size(); ++i) noNul[i] = 'x';
    rows.push_back({"name without its end", noNul, 0});
    std::string shortInfo = whole;
    const uint16_t tiny = 2;
    memcpy(&shortInfo[meta + 2], &tiny, sizeof tiny);
    rows.push_back({"info shorter than its header", shortInfo, 0});
    std::string longEvent = whole;
    const uint32_t tooLong = static_cast<uint32_t>(whole.size() + 1);
    memcpy(&longEvent[0], &tooLong, sizeof tooLong);
    rows.push_back({"event longer than the read", longEvent, 0});
    std::string shortMeta = whole;
    shortMeta[6] = 4;  // metadata_len
    rows.push_back({"fixed part shorter than its struct", shortMeta, 0});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Parse(row.bytes).size(), row.records);
    }
}

}  // namespace
