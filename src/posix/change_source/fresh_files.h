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
#pragma once

#include <chrono>
#include <cstdint>
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
    // Lets go of what has aged, and of the memory it took.
    void Expire(Time now);
    bool Empty() const { return m_current.log.empty() && m_previous.log.empty(); }

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

    // The records of one span of at most the age, in order; the newest
    // record of a path is the one that counts.
    struct Generation {
        std::vector<Record> log;
        Index index;
        size_t indexed = 0;
        const Record* Find(const Key& key);
    };

    // Starts a new generation, with room for expected creations; the one
    // before the current one is dropped.
    void Turn(Time now, size_t expected);

    Clock::duration m_age;
    // Mutable: a question indexes what was logged since the last one.
    mutable Generation m_current;
    mutable Generation m_previous;
    Time m_currentStart{};
};

}  // namespace posix
