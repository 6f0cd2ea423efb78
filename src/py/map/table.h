// map/table: the hash table of one ConcurrentMap shard, plain C++.
//
// Open addressing with linear probing over slots keyed by a signed 64-bit hash
// (the key's Python hash). A slot is one bucket: its first entry inline, the
// rest (rare: unequal keys with one hash) in a separately allocated array.
// Removal shifts later slots back instead of leaving tombstones.
// Guarantee: the table only stores and moves `Obj*` pointers. It never
//   dereferences them, compares keys only by identity, and takes or gives no
//   references: callers do that (the map takes a reference for each pointer it
//   stores, and owns what remove() and take_all() hand back).
// Invariants: a bucket holds at least one entry and keeps its entries in
//   insertion order; at most 3/4 of the slots are occupied; a key sits at or
//   after its home slot with no free slot in between.
// Not thread-safe: the shard's mutex guards each table (map/shards.h).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quorvel::map {

template <class Obj>
class Table {
public:
    struct Entry {
        Obj* key;
        Obj* value;  // nullptr in key-only candidate copies (kept by callers)
    };

    // Entries 2..n of a bucket, in order: `cap` entries follow the header in memory.
    struct Overflow {
        size_t size;
        size_t cap;
        Entry* items() noexcept { return reinterpret_cast<Entry*>(this + 1); }
    };
    static_assert(sizeof(Overflow) % alignof(Entry) == 0, "entries follow the header directly");

    struct Slot {
        int64_t hash;
        Entry head;      // head.key == nullptr: the slot is free
        Overflow* rest;  // may be allocated with size 0; freed with the bucket

        size_t size() const noexcept { return 1 + (rest ? rest->size : 0); }
        Entry& at(size_t i) noexcept { return i == 0 ? head : rest->items()[i - 1]; }

        // Index of the entry whose stored key is `key` itself.
        bool index_of(const Obj* key, size_t& index) noexcept {
            const size_t n = size();
            for (size_t i = 0; i < n; ++i) {
                if (at(i).key == key) {
                    index = i;
                    return true;
                }
            }
            return false;
        }

        // Room for one more entry; throws std::bad_alloc with the bucket unchanged.
        void reserve_one() {
            if (rest && rest->size < rest->cap) return;
            const bool fresh = rest == nullptr;
            const size_t cap = fresh ? 2 : rest->cap * 2;
            if (cap > (SIZE_MAX - sizeof(Overflow)) / sizeof(Entry)) throw std::bad_alloc();
            void* grown = std::realloc(rest, sizeof(Overflow) + cap * sizeof(Entry));
            if (!grown) throw std::bad_alloc();
            rest = static_cast<Overflow*>(grown);
            if (fresh) rest->size = 0;
            rest->cap = cap;
        }
        void push(Entry e) noexcept { rest->items()[rest->size++] = e; }  // after reserve_one()

        // Takes entry i out, keeping the order of the others. Returns true when
        // the bucket is now empty (the caller removes it).
        bool remove_at(size_t i, Entry& out) noexcept {
            out = at(i);
            const size_t n = rest ? rest->size : 0;
            if (n == 0) {
                head.key = nullptr;
                return true;
            }
            Entry* items = rest->items();
            if (i == 0) {
                head = items[0];
                i = 1;
            }
            std::memmove(items + i - 1, items + i, (n - i) * sizeof(Entry));
            --rest->size;
            return false;
        }
    };
    static_assert(sizeof(Slot) == 32, "two buckets per cache line");

    Table() noexcept = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table() { free_memory(); }

    void set_keys(uint64_t k0, uint64_t k1) noexcept {
        k0_ = k0;
        k1_ = k1 | 1;
    }

    uint64_t entries() const noexcept { return entries_; }

    Slot* find(int64_t hash) noexcept {
        if (!slots_) return nullptr;
        for (uint64_t i = home(hash);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.head.key) return nullptr;
            if (s.hash == hash) return &s;
        }
    }

    // New bucket holding (key, value). The hash must have no bucket. Throws
    // std::bad_alloc with the table unchanged.
    void insert_bucket(int64_t hash, Obj* key, Obj* value) {
        if ((buckets_ + 1) * 4 > (mask_ + 1) * 3 || !slots_) grow();
        uint64_t i = home(hash);
        while (slots_[i].head.key) i = (i + 1) & mask_;
        slots_[i] = Slot{hash, Entry{key, value}, nullptr};
        ++buckets_;
        ++entries_;
    }

    // Appends (key, value) to an existing bucket. Throws std::bad_alloc with
    // the table unchanged.
    void append(Slot& bucket, Obj* key, Obj* value) {
        bucket.reserve_one();
        bucket.push(Entry{key, value});
        ++entries_;
    }

    // Takes entry i of `bucket` out (handing it to the caller) and removes the
    // bucket if that emptied it.
    Entry remove(Slot& bucket, size_t i) noexcept {
        Entry out;
        if (bucket.remove_at(i, out)) erase(uint64_t(&bucket - slots_));
        --entries_;
        return out;
    }

    // Moves every bucket into `into` (which must be empty), leaving this
    // table empty with its hashing keys.
    void take_all(Table& into) noexcept {
        std::swap(slots_, into.slots_);
        std::swap(mask_, into.mask_);
        std::swap(shift_, into.shift_);
        std::swap(buckets_, into.buckets_);
        std::swap(entries_, into.entries_);
    }

    // Calls f(entry) for every entry, buckets in table order and entries in
    // bucket order.
    template <class F>
    void for_each(F&& f) noexcept {
        if (!slots_) return;
        for (uint64_t i = 0; i <= mask_; ++i) {
            Slot& s = slots_[i];
            if (!s.head.key) continue;
            const size_t n = s.size();
            for (size_t j = 0; j < n; ++j) f(s.at(j));
        }
    }

private:
    // Slot index of a hash: the hash keyed with this table's random keys,
    // mixed, and its top bits taken. The mixing matters: the keys of one shard
    // all share hash % N, which would otherwise crowd a few slots.
    uint64_t home(int64_t hash) const noexcept {
        uint64_t x = uint64_t(hash) ^ k0_;
        x ^= x >> 32;
        x *= k1_;
        x ^= x >> 29;
        x *= 0xbf58476d1ce4e5b9ULL;
        return x >> shift_;
    }

    void grow() {
        const uint64_t cap = slots_ ? (mask_ + 1) * 2 : 8;
        if (cap > SIZE_MAX / sizeof(Slot)) throw std::bad_alloc();
        // calloc: an all-zero slot is a free one.
        auto* fresh = static_cast<Slot*>(std::calloc(size_t(cap), sizeof(Slot)));
        if (!fresh) throw std::bad_alloc();
        Slot* old = std::exchange(slots_, fresh);
        const uint64_t old_cap = old ? mask_ + 1 : 0;
        mask_ = cap - 1;
        shift_ = unsigned(64 - std::countr_zero(cap));
        for (uint64_t j = 0; j < old_cap; ++j) {
            if (!old[j].head.key) continue;
            uint64_t i = home(old[j].hash);
            while (slots_[i].head.key) i = (i + 1) & mask_;
            slots_[i] = old[j];
        }
        std::free(old);
    }

    // Removes the (now empty) bucket at index `hole`, shifting back the slots
    // after it that may move closer to their home.
    void erase(uint64_t hole) noexcept {
        std::free(slots_[hole].rest);
        for (uint64_t j = (hole + 1) & mask_; slots_[j].head.key; j = (j + 1) & mask_) {
            const uint64_t from_home = (j - home(slots_[j].hash)) & mask_;
            if (from_home >= ((j - hole) & mask_)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Slot{0, Entry{nullptr, nullptr}, nullptr};
        --buckets_;
    }

    void free_memory() noexcept {
        if (!slots_) return;
        for (uint64_t i = 0; i <= mask_; ++i) {
            if (slots_[i].head.key) std::free(slots_[i].rest);
        }
        std::free(slots_);
        slots_ = nullptr;
    }

    Slot* slots_ = nullptr;
    uint64_t mask_ = 0;      // capacity - 1 (capacity a power of two, at least 8)
    unsigned shift_ = 64;    // 64 - log2(capacity)
    uint64_t buckets_ = 0;   // occupied slots; at most 3/4 of the capacity
    uint64_t entries_ = 0;   // entries over all buckets
    uint64_t k0_ = 0, k1_ = 1;
};

}  // namespace quorvel::map
