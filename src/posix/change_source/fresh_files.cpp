#include "fresh_files.h"

#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <new>
#include <utility>

namespace posix {

namespace {

// A multiply-and-fold hash over eight bytes at a time, unrelated to
// std::hash, so that together the two make one 128-bit key.
uint64_t FoldHash(std::string_view text) {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    uint64_t hash = text.size() * kMultiplier;
    size_t at = 0;
    for (; at + sizeof(uint64_t) <= text.size(); at += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + at, text.size() - at);
    hash = (hash ^ tail) * kMultiplier;
    return hash ^ (hash >> 32);
}

}  // namespace

FreshFiles::Key FreshFiles::KeyOf(std::string_view path) {
    return Key{std::hash<std::string_view>()(path), FoldHash(path)};
}

// A generation holds creations of at most the age, so once the current one
// is that old, nothing in the one before it can still be fresh. A burst that
// filled that one is likely to fill the next as much, so its blocks are kept
// as spares.
void FreshFiles::Turn(Time now) {
    m_previous.log.GiveBack(m_spare);
    m_previous = std::move(m_current);
    m_current = Generation();
    m_currentStart = now;
}

void FreshFiles::Created(std::string_view path, Time now) {
    if (now - m_currentStart >= m_age) Turn(now);
    Append({KeyOf(path), now.time_since_epoch().count()});
}

bool FreshFiles::IsFresh(std::string_view path, Time now) const {
    if (Empty()) return false;
    const Key key = KeyOf(path);
    const Record* record = m_current.Find(key);
    if (!record) record = m_previous.Find(key);
    if (!record || record->created == kForgotten) return false;
    return now - Time(Time::duration(record->created)) < m_age;
}

// Logged as the path's newest record, which hides the ones before it.
void FreshFiles::Forget(std::string_view path) {
    if (Empty()) return;
    Append({KeyOf(path), kForgotten});
}

void FreshFiles::Expire(Time now) {
    if (Empty()) return;
    if (now - m_currentStart >= 2 * m_age) {
        m_current.log.GiveBack(m_spare);
        m_previous.log.GiveBack(m_spare);
        m_current = Generation();
        m_previous = Generation();
        KeepOneSpare();
    } else if (now - m_currentStart >= m_age) {
        Turn(now);
        if (Empty()) KeepOneSpare();
    }
}

void FreshFiles::KeepOneSpare() {
    if (m_spare.size() > 1) m_spare.resize(1);
}

size_t FreshFiles::BytesHeld() const {
    const size_t blocks = m_current.log.BlockCount() + m_previous.log.BlockCount() + m_spare.size();
    return blocks * Block::kBytes;
}

size_t FreshFiles::BlockBytes() {
    return Block::kBytes;
}

FreshFiles::Block::Block() {
    void* memory = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    m_records = static_cast<Record*>(memory);
}

FreshFiles::Block::~Block() {
    munmap(m_records, kBytes);
}

void FreshFiles::Block::Put(size_t i, const Record& record) {
    new (&m_records[i]) Record(record);
}

void FreshFiles::Log::Append(const Record& record, Blocks& spare) {
    if (m_size == m_blocks.size() * kBlockRecords) {
        if (spare.empty()) {
            m_blocks.push_back(std::make_unique<Block>());
        } else {
            m_blocks.push_back(std::move(spare.back()));
            spare.pop_back();
        }
    }
    m_blocks.back()->Put(m_size % kBlockRecords, record);
    ++m_size;
}

void FreshFiles::Log::GiveBack(Blocks& spare) {
    for (auto& block : m_blocks) spare.push_back(std::move(block));
    m_blocks.clear();
    m_size = 0;
}

const FreshFiles::Record* FreshFiles::Generation::Find(const Key& key) {
    for (; indexed < log.Size(); ++indexed) index.Put(log[indexed]);
    return index.Find(key);
}

size_t FreshFiles::Index::Probe(const Key& key) const {
    const size_t mask = m_slots.size() - 1;
    size_t i = key.first & mask;
    while (m_slots[i].created != kUnused && !(m_slots[i].key == key)) i = (i + 1) & mask;
    return i;
}

void FreshFiles::Index::Grow() {
    std::vector<Record> old(m_slots.empty() ? 64 : 2 * m_slots.size());
    old.swap(m_slots);
    for (const Record& record : old) {
        if (record.created != kUnused) m_slots[Probe(record.key)] = record;
    }
}

void FreshFiles::Index::Put(const Record& record) {
    if (2 * (m_count + 1) > m_slots.size()) Grow();
    Record& slot = m_slots[Probe(record.key)];
    if (slot.created == kUnused) ++m_count;
    slot = record;
}

const FreshFiles::Record* FreshFiles::Index::Find(const Key& key) const {
    if (m_slots.empty()) return nullptr;
    const Record& slot = m_slots[Probe(key)];
    return slot.created != kUnused ? &slot : nullptr;
}

}  // namespace posix
