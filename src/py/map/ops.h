// map/ops: ConcurrentMap's operations on its shards, with Python keys and
// values; the class (map/map.cpp) binds arguments and admits calls first.
//
// Guarantee: no Python code runs while a shard lock is held. Hashing, equality
// tests, truth values and every release of a reference (replaced values,
// removed entries, candidate copies, the compared list, what clear() takes
// out) happen with no shard lock held. Writers follow one protocol
// (write_protocol in ops.cpp): copy the candidates (entries with the key's
// Python hash) under the lock, compare them unlocked, and make their one
// change under the lock only after re-checking that the compared key is still
// stored, or that every stored key with that hash has been compared.
// Invariants: a key lives in shard (uint64)hash % N, in the bucket of its
//   Python hash; a bucket keeps its entries in insertion order and is removed
//   when its last entry goes, so no empty bucket outlives an operation; the map
//   owns one reference to every stored key and value (the table and shard
//   array, map/table.h and map/shards.h, only store the pointers).
// Locks: a thread holds at most one shard lock, for table work and reference
//   increments only, and waits for it attached (holds are short).
// Not a dict: reads see a bucket as it was when copied; len/keys/values/items/
//   clear visit the shards one after another (weakly consistent).
#pragma once

#include <cstdint>

#include "frame/access.h"
#include "frame/python.h"
#include "py/map/shards.h"
#include "py/map/table.h"

namespace quorvel::pymap {

using Table = map::Table<PyObject>;
using Entry = Table::Entry;
using Slot = Table::Slot;
using Shards = map::Shards<PyObject>;
using Shard = Shards::Shard;

// The fields every call reads sit on cache lines of their own: the object
// header before them takes a refcount update from every thread that loads the
// map, and 48 bytes keep that line apart whatever the object's 16-byte
// alignment.
struct MapState {
    char header_gap[48];
    // Only checked: no map method takes exclusive access, and a counted word
    // would make every call, on every thread, write the one line all threads
    // share, slowing down threads that work on disjoint keys.
    frame::CheckedAccessWord access;
    Shards shards;  // fixed at construction
    PyObject* next_dying = nullptr;  // link in this thread's deferred deallocations
    explicit MapState(Shards&& s) noexcept : header_gap{}, shards(std::move(s)) {}
    MapState(const MapState&) = delete;
    MapState& operator=(const MapState&) = delete;
    // Releases every entry: runs attached, with no shard lock held.
    ~MapState();
};

// Each operation runs attached, holds no shard lock when it returns, and
// throws PyErrorSet when Python code it ran (hash, equality, truth) failed,
// std::bad_alloc when memory ran out; the map is unchanged then.

// set: store value for key, replacing the value of an equal stored key.
void set(MapState& st, PyObject* key, PyObject* value);
// delete and pop_val: the removed entry (the caller owns its references), or
// {nullptr, nullptr}.
Entry remove(MapState& st, PyObject* key);
// The stored value for key, or dflt after storing it (a new reference).
PyObject* get_or_insert(MapState& st, PyObject* key, PyObject* dflt);
// Whether an equal key is stored; its value (a new reference) in *out if
// `out` is not nullptr.
bool lookup(MapState& st, PyObject* key, PyObject** out);
uint64_t count(MapState& st) noexcept;
// A new list of keys, values, or (key, value) tuples, shard by shard.
PyObject* snapshot_list(MapState& st, bool keys, bool values);
void clear(MapState& st) noexcept;
// The hardware threads rounded up to a power of two, at least 16.
uint64_t default_shard_count() noexcept;

}  // namespace quorvel::pymap
