// Files created lately, so that the attribute change that belongs to making
// a file (touch sets the times of the file it has just created) is not told
// as a change of its own.
//
// A burst of creations puts every file here, so a creation must be cheap: it
// appends two 64-bit hashes of its path and the time to a log, with no
// allocation of its own and no lookup. The log is indexed only when asked
// about a file, which only an attribute change does, and it expires by
// generation, never file by file. Two paths are taken for one only when
// both hashes agree, about once in 2^128 pairs.
//
// The log grows by blocks that never move, and the blocks of a dropped
// generation are kept for the next one while creations go on: memory that
// is new to the process costs a page fault per page on first touch, which
// on a virtual machine is several times the rest of a creation's cost. A
// new block comes from the kernel with its pages already in place, which
// costs a fraction of faulting them in one by one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace posix {

class FreshFiles {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    explicit FreshFiles(Clock::duration age) : m_age(age) {}

    void Created(std::string_view path, Time now);
    // True when path was created less than the age ago and not since let go.
    bool IsFresh(std::string_view path, Time now) const;
    // Path is no longer fresh (closed, or gone).
    void Forget(std::string_view path);
    // Lets go of what has aged, and of the memory it took but one block.
    void Expire(Time now);
    bool Empty() const { return m_current.log.Empty() && m_previous.log.Empty(); }
    // Bytes of the logs' blocks, those kept for reuse included. Once nothing
    // is fresh, one block is kept, so that the first file made after a quiet
    // spell waits for no memory to be mapped.
    size_t BytesHeld() const;
    static size_t BlockBytes();

  private:
    struct Key {
        uint64_t first;
        uint64_t second;
        bool operator==(const Key& other) const {
            return first == other.first && second == other.second;
        }
    };
    static Key KeyOf(std::string_view path);

    static constexpr Time::rep kForgotten = INT64_MIN;
    static constexpr Time::rep kUnused = INT64_MAX;
    struct Record {
        Key key{};
        Time::rep created = kUnused;  // kForgotten once let go
    };

    // Open addressing with linear probing, at most half full; a path's
    // newest record replaces the one before it.
    class Index {
      public:
        void Put(const Record& record);
        const Record* Find(const Key& key) const;

      private:
        void Grow();
        size_t Probe(const Key& key) const;
        std::vector<Record> m_slots;
        size_t m_count = 0;
    };

    static constexpr size_t kBlockRecords = 4096;

    // Room for kBlockRecords records, mapped with its pages populated.
    class Block {
      public:
        Block();
        ~Block();
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        void Put(size_t i, const Record& record);
        const Record& operator[](size_t i) const { return m_records[i]; }
        static constexpr size_t kBytes = kBlockRecords * sizeof(Record);

      private:
        Record* m_records;
    };
    using Blocks = std::vector<std::unique_ptr<Block>>;

    // Records in order, in blocks taken from and given back to a pool of
    // spare ones.
    class Log {
      public:
        void Append(const Record& record, Blocks& spare);
        void GiveBack(Blocks& spare);
        size_t Size() const { return m_size; }
        bool Empty() const { return m_size == 0; }
        size_t BlockCount() const { return m_blocks.size(); }
        const Record& operator[](size_t i) const {
            return (*m_blocks[i / kBlockRecords])[i % kBlockRecords];
        }

      private:
        Blocks m_blocks;
        size_t m_size = 0;
    };

    // The records of one span of at most the age, in order; the newest
    // record of a path is the one that counts.
    struct Generation {
        Log log;
        Index index;
        size_t indexed = 0;
        const Record* Find(const Key& key);
    };

    // Starts a new generation; the one before the current one is dropped,
    // its blocks kept as spares.
    void Turn(Time now);
    void Append(const Record& record) { m_current.log.Append(record, m_spare); }
    void KeepOneSpare();

    Clock::duration m_age;
    // Mutable: a question indexes what was logged since the last one.
    mutable Generation m_current;
    mutable Generation m_previous;
    Blocks m_spare;
    Time m_currentStart{};
};

}  // namespace posix
