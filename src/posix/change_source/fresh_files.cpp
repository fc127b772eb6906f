#include "fresh_files.h"

#include <cstring>
#include <functional>
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
// is that old, nothing in the one before it can still be fresh.
void FreshFiles::Turn(Time now, size_t expected) {
    m_previous = std::move(m_current);
    m_current = Generation();
    m_current.log.reserve(expected);
    m_currentStart = now;
}

// A burst that fills one generation is likely to fill the next as much.
void FreshFiles::Created(std::string_view path, Time now) {
    if (now - m_currentStart >= m_age) Turn(now, m_current.log.size());
    m_current.log.push_back({KeyOf(path), now.time_since_epoch().count()});
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
    m_current.log.push_back({KeyOf(path), kForgotten});
}

void FreshFiles::Expire(Time now) {
    if (Empty()) return;
    if (now - m_currentStart >= 2 * m_age) {
        m_current = Generation();
        m_previous = Generation();
    } else if (now - m_currentStart >= m_age) {
        Turn(now, 0);
    }
}

const FreshFiles::Record* FreshFiles::Generation::Find(const Key& key) {
    for (; indexed < log.size(); ++indexed) index.Put(log[indexed]);
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
