// map/shards: the fixed array of shards of one ConcurrentMap, plain C++.
//
// Guarantee: a key of hash h lives in shard (uint64)h % N for the map's whole
//   life; shard addresses never move; each shard's table has its own random
//   hashing keys (from the system's randomness, or the clock when there is
//   none, which costs only unpredictability).
// Locks: each shard's byte mutex guards its table; ShardLock holds it for a
//   scope. The caller holds at most one at a time and does only table work
//   and reference increments under it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "base/platform.h"
#include "py/map/table.h"
#include "sync/mutex.h"

namespace quorvel::map {

// Own cache line each, so threads working in different shards do not slow
// each other down.
template <class Obj>
struct alignas(64) Shard {
    sync::RawMutex mu;  // guards `table`; held only for table work
    Table<Obj> table;   // guarded by mu
};

class ShardLock {
public:
    template <class Obj>
    explicit ShardLock(Shard<Obj>& shard) noexcept : mu_(shard.mu) { mu_.lock(); }
    ~ShardLock() { mu_.unlock(); }
    ShardLock(const ShardLock&) = delete;
    ShardLock& operator=(const ShardLock&) = delete;

private:
    sync::RawMutex& mu_;
};

// The fixed array of shards. It is never reallocated, so shard addresses stay
// put for the life of the map.
template <class Obj>
class Shards {
public:
    using Shard = map::Shard<Obj>;

    // Throws std::bad_alloc when the array cannot be allocated.
    explicit Shards(uint64_t count) : count_(count) {
        if (count > SIZE_MAX / sizeof(Shard)) throw std::bad_alloc();
        shards_ = new Shard[size_t(count)];
        mask_ = std::has_single_bit(count) ? count - 1 : 0;
        uint64_t seed[2];
        if (!platform::random_bytes(seed, sizeof(seed))) {
            // Without the system's randomness the keys only lose their
            // unpredictability, never correctness.
            seed[0] = platform::Instant::now().ns;
            seed[1] = reinterpret_cast<uintptr_t>(shards_);
        }
        for (uint64_t i = 0; i < count; ++i) {
            shards_[i].table.set_keys(splitmix(seed[0] + i), splitmix(seed[1] ^ (i * 0x9e3779b97f4a7c15ULL)));
        }
    }
    Shards(Shards&& other) noexcept
        : shards_(std::exchange(other.shards_, nullptr)),
          count_(std::exchange(other.count_, 0)),
          mask_(other.mask_) {}
    Shards& operator=(Shards&&) = delete;
    Shards(const Shards&) = delete;
    Shards& operator=(const Shards&) = delete;
    // Frees the tables; what their entries point to is the owner's business
    // (the map releases its references first).
    ~Shards() { delete[] shards_; }

    uint64_t count() const noexcept { return count_; }
    Shard& at(uint64_t i) noexcept { return shards_[i]; }

    // The shard of a hash: the hash as unsigned modulo N.
    Shard& of(int64_t hash) noexcept {
        const uint64_t h = uint64_t(hash);
        return shards_[mask_ ? h & mask_ : h % count_];
    }

private:
    static uint64_t splitmix(uint64_t x) noexcept {
        x += 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    }

    Shard* shards_ = nullptr;
    uint64_t count_;
    uint64_t mask_ = 0;  // count - 1 when count is a power of two (count 1 uses %)
};

}  // namespace quorvel::map
