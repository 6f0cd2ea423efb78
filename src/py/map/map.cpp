// ConcurrentMap: a hash map from hashable Python keys to Python values, split
// into a fixed number of shards, each guarded by its own byte mutex.
//
// Guarantee: no Python code runs while a shard lock is held. Hashing, equality
// tests, truth values and every release of a reference (replaced values,
// removed entries, candidate copies, the compared list, what clear() takes
// out) happen with no shard lock held. Writers copy the candidates (entries
// with the key's Python hash) under the lock, compare them unlocked, and make
// their one change under the lock only after re-checking that every stored key
// with that hash has been compared during the call.
// Invariants: a key lives in shard (uint64)hash % N, in the bucket of its
//   Python hash; a bucket keeps its entries in insertion order and is removed
//   when its last entry goes, so no empty bucket outlives an operation; the map
//   owns one reference to every stored key and value.
// Locks: a thread holds at most one shard lock, for table work and reference
//   increments only, and waits for it attached (holds are short).
// Not a dict: reads see a bucket as it was when copied; len/keys/values/items/
//   clear visit the shards one after another (weakly consistent). Not tracked
//   by the cyclic collector: a cycle through a map's entries is never freed.
// Files: map/table.h (one shard's hash table) and map/shards.h (the shard
//   array) are plain C++ that only store pointers; this file takes and
//   releases the references, runs the Python callbacks and holds the write
//   protocol (write_protocol) and the class.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "py/classes.h"
#include "frame/access.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/ref.h"
#include "frame/types.h"
#include "py/map/shards.h"
#include "py/map/table.h"
#include "base/platform.h"

namespace quorvel {
namespace {

using frame::Bound;
using frame::Owned;
using frame::Params;

using Table = map::Table<PyObject>;
using Entry = Table::Entry;
using Slot = Table::Slot;
using Shards = map::Shards<PyObject>;
using Shard = Shards::Shard;
using map::ShardLock;

// Releases the references of every entry of `table` and empties it. Must run
// attached, with no shard lock held: finalizers may run.
void release_entries(Table& table) noexcept {
    Table taken;
    table.take_all(taken);
    taken.for_each([](Entry& e) {
        Py_DECREF(e.key);
        Py_DECREF(e.value);
    });
}

// Stores (key, value) in a new bucket or at the end of `bucket`, taking a
// reference to each once stored. Under the shard lock; throws std::bad_alloc
// with nothing stored.
void insert_new(Table& table, int64_t hash, PyObject* key, PyObject* value) {
    table.insert_bucket(hash, key, value);
    Py_INCREF(key);
    Py_INCREF(value);
}
void append_new(Table& table, Slot& bucket, PyObject* key, PyObject* value) {
    table.append(bucket, key, value);
    Py_INCREF(key);
    Py_INCREF(value);
}

// ---------------------------------------------------------------------------
// Reference lists that live on the stack of one call. Filled under a shard
// lock (reserve may allocate; push never does), released after it: declare
// them before the ShardLock so that they outlive it.

// Copied (key, value) or key-only candidates, in bucket order.
class Candidates {
public:
    Candidates() noexcept = default;
    Candidates(const Candidates&) = delete;
    Candidates& operator=(const Candidates&) = delete;
    ~Candidates() {
        clear();
        if (data_ != inline_) std::free(data_);
    }

    size_t size() const noexcept { return size_; }
    Entry& operator[](size_t i) noexcept { return data_[i]; }

    void reserve(size_t n) {
        if (n <= cap_) return;
        auto* grown = static_cast<Entry*>(std::malloc(n * sizeof(Entry)));
        if (!grown) throw std::bad_alloc();
        std::memcpy(grown, data_, size_ * sizeof(Entry));
        if (data_ != inline_) std::free(data_);
        data_ = grown;
        cap_ = n;
    }
    void push(PyObject* key, PyObject* value) noexcept {
        data_[size_++] = Entry{Py_NewRef(key), Py_XNewRef(value)};
    }
    // Releases what is left (taken fields are nullptr). Not under a lock.
    void clear() noexcept {
        for (size_t i = 0; i < size_; ++i) {
            Py_XDECREF(data_[i].key);
            Py_XDECREF(data_[i].value);
        }
        size_ = 0;
    }

private:
    static constexpr size_t kInline = 4;
    Entry inline_[kInline];
    Entry* data_ = inline_;
    size_t size_ = 0;
    size_t cap_ = kInline;
};

// Stored keys already compared with the probe during one call, held strongly
// so that no compared address can be reused by another object meanwhile.
// Identity lookups run under the shard lock; for the long lists of a bucket
// full of colliding keys, index() sorts the list by address beforehand (with
// no lock held) so that they cost a binary search instead of a scan.
class Compared {
public:
    Compared() noexcept = default;
    Compared(const Compared&) = delete;
    Compared& operator=(const Compared&) = delete;
    ~Compared() {
        for (size_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
        if (data_ != inline_) std::free(data_);
    }

    bool contains(PyObject* key) const noexcept {
        if (sorted_ == size_ && size_ > kScan) return std::binary_search(data_, data_ + size_, key, std::less<PyObject*>());
        for (size_t i = 0; i < size_; ++i) {
            if (data_[i] == key) return true;
        }
        return false;
    }
    // Call before locking: makes later lookups fast when the list is long.
    void index() noexcept {
        if (size_ > kScan && sorted_ != size_) {
            std::sort(data_, data_ + size_, std::less<PyObject*>());
            sorted_ = size_;
        }
    }
    // True when every stored key of `bucket` has been compared.
    bool covers(Slot& bucket) const noexcept {
        const size_t n = bucket.size();
        for (size_t i = 0; i < n; ++i) {
            if (!contains(bucket.at(i).key)) return false;
        }
        return true;
    }
    // Takes over `key` (a strong reference); releases it if memory runs out.
    void adopt(PyObject* key) {
        if (size_ == cap_) {
            auto* grown = static_cast<PyObject**>(std::malloc(cap_ * 2 * sizeof(PyObject*)));
            if (!grown) {
                Py_DECREF(key);
                throw std::bad_alloc();
            }
            std::memcpy(grown, data_, size_ * sizeof(PyObject*));
            if (data_ != inline_) std::free(data_);
            data_ = grown;
            cap_ *= 2;
        }
        data_[size_++] = key;
    }

private:
    static constexpr size_t kInline = 4;
    static constexpr size_t kScan = 16;  // up to this many, a scan beats sorting
    PyObject* inline_[kInline];
    PyObject** data_ = inline_;
    size_t size_ = 0;
    size_t cap_ = kInline;
    size_t sorted_ = 0;  // equal to size_ when data_ is sorted by address
};

// Copies the entries of `bucket` not yet compared: keys only, or (key, value)
// pairs when `with_values`. Under the shard lock.
void copy_candidates(Slot& bucket, const Compared& compared, Candidates& out, bool with_values) {
    const size_t n = bucket.size();
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        Entry& e = bucket.at(i);
        if (!compared.contains(e.key)) out.push(e.key, with_values ? e.value : nullptr);
    }
}

// ---------------------------------------------------------------------------
// Python callbacks: only ever called with no shard lock held.

int64_t hash_of(PyObject* key) {
    const Py_hash_t h = PyObject_Hash(key);
    if (h == -1) frame::throw_error_set();
    return int64_t(h);
}

// The equality test: `stored == probe` (stored key on the left), then the
// truth of the result. No identity shortcut.
bool keys_equal(PyObject* stored, PyObject* probe) {
    PyObject* result = PyObject_RichCompare(stored, probe, Py_EQ);
    if (!result) frame::throw_error_set();
    int truth;
    if (result == Py_True) {
        truth = 1;
    } else if (result == Py_False) {
        truth = 0;
    } else {
        truth = PyObject_IsTrue(result);
    }
    Py_DECREF(result);
    if (truth < 0) frame::throw_error_set();
    return truth != 0;
}

// ---------------------------------------------------------------------------
// The map's operations.

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
    ~MapState() {
        for (uint64_t i = 0; i < shards.count(); ++i) release_entries(shards.at(i).table);
    }
};

// The write protocol of set, delete and pop_val; every change they make to a
// stored entry goes through here. Each round:
//   1. Lock the shard. On the first round, a stored key that is `key` itself
//      is the match: `on_match(bucket, index)`. When the hash has no bucket,
//      or every key stored with it has been compared during this call,
//      `on_commit(bucket or nullptr)` decides. Otherwise copy the keys not
//      yet compared (new references) and unlock.
//   2. Unlocked, compare each copy with `key` (Python code runs); each joins
//      `compared`, which holds it so that its address cannot be reused.
//   3. On the first equal copy, lock again and re-check that this very key is
//      still stored: if so, `on_match(bucket, index)`; if it went meanwhile,
//      start the next round. When no copy is equal, start the next round.
// Both callbacks run under the shard lock and must not release references;
// whatever they take out is released by the caller after this returns.
template <class OnMatch, class OnCommit>
void write_protocol(Shard& shard, int64_t hash, PyObject* key, OnMatch&& on_match, OnCommit&& on_commit) {
    Compared compared;
    Candidates cands;
    for (bool first = true;; first = false) {
        {
            ShardLock lock(shard);
            Slot* bucket = shard.table.find(hash);
            size_t index;
            if (first && bucket && bucket->index_of(key, index)) {
                on_match(*bucket, index);
                return;
            }
            if (!bucket || compared.covers(*bucket)) {
                on_commit(bucket);
                return;
            }
            copy_candidates(*bucket, compared, cands, false);
        }
        for (size_t i = 0; i < cands.size(); ++i) {
            PyObject* k = cands[i].key;
            const bool equal = keys_equal(k, key);
            cands[i].key = nullptr;
            compared.adopt(k);
            if (!equal) continue;
            ShardLock lock(shard);
            Slot* bucket = shard.table.find(hash);
            size_t index;
            if (bucket && bucket->index_of(k, index)) {
                on_match(*bucket, index);
                return;
            }
            break;  // k went away meanwhile: the rest is left uncompared
        }
        cands.clear();
        compared.index();
    }
}

void map_set(MapState& st, PyObject* key, PyObject* value) {
    const int64_t hash = hash_of(key);
    Shard& shard = st.shards.of(hash);
    Owned replaced;  // released after the lock
    auto replace = [&](Slot& bucket, size_t index) {
        Entry& e = bucket.at(index);
        replaced = Owned::steal(std::exchange(e.value, Py_NewRef(value)));
    };
    write_protocol(shard, hash, key, replace, [&](Slot* bucket) {
        size_t index;
        if (!bucket) {
            insert_new(shard.table, hash, key, value);
        } else if (bucket->index_of(key, index)) {
            replace(*bucket, index);
        } else {
            append_new(shard.table, *bucket, key, value);
        }
    });
}

// delete and pop_val: the removed entry's references, or nothing.
Entry map_remove(MapState& st, PyObject* key) {
    const int64_t hash = hash_of(key);
    Shard& shard = st.shards.of(hash);
    Entry removed{nullptr, nullptr};
    auto take = [&](Slot& bucket, size_t index) { removed = shard.table.remove(bucket, index); };
    write_protocol(shard, hash, key, take, [&](Slot* bucket) {
        size_t index;
        if (bucket && bucket->index_of(key, index)) take(*bucket, index);
    });
    return removed;
}

// get_or_insert: the write protocol's rounds without its identity shortcut
// and without step 3's re-check: the first equal copy's value (copied with
// it) is the answer, even if that entry went meanwhile.
PyObject* map_get_or_insert(MapState& st, PyObject* key, PyObject* dflt) {
    const int64_t hash = hash_of(key);
    Shard& shard = st.shards.of(hash);
    Compared compared;
    Candidates cands;
    for (;;) {
        compared.index();
        {
            ShardLock lock(shard);
            Slot* bucket = shard.table.find(hash);
            if (!bucket) {
                insert_new(shard.table, hash, key, dflt);
                return Py_NewRef(dflt);
            }
            if (compared.covers(*bucket)) {
                size_t index;
                if (bucket->index_of(key, index)) return Py_NewRef(bucket->at(index).value);
                append_new(shard.table, *bucket, key, dflt);
                return Py_NewRef(dflt);
            }
            copy_candidates(*bucket, compared, cands, true);
        }
        for (size_t i = 0; i < cands.size(); ++i) {
            PyObject* k = cands[i].key;
            if (keys_equal(k, key)) return std::exchange(cands[i].value, nullptr);
            cands[i].key = nullptr;
            compared.adopt(k);
        }
        cands.clear();
    }
}

// The read operations: the first candidate equal to `key`, copied as of the
// lock hold, or false. `out` receives its value (a new reference) if wanted.
bool map_lookup(MapState& st, PyObject* key, PyObject** out) {
    const int64_t hash = hash_of(key);
    Shard& shard = st.shards.of(hash);
    Candidates cands;
    {
        ShardLock lock(shard);
        Slot* bucket = shard.table.find(hash);
        if (!bucket) return false;
        const size_t n = bucket->size();
        cands.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            Entry& e = bucket->at(i);
            cands.push(e.key, out ? e.value : nullptr);
        }
    }
    for (size_t i = 0; i < cands.size(); ++i) {
        if (keys_equal(cands[i].key, key)) {
            if (out) *out = std::exchange(cands[i].value, nullptr);
            return true;
        }
    }
    return false;
}

uint64_t map_count(MapState& st) noexcept {
    uint64_t total = 0;
    for (uint64_t i = 0; i < st.shards.count(); ++i) {
        Shard& shard = st.shards.at(i);
        ShardLock lock(shard);
        total += shard.table.entries();
    }
    return total;
}

// A shard-by-shard snapshot of strong references, released if not handed on.
class Snapshot {
public:
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() {
        for (PyObject* obj : refs_) Py_XDECREF(obj);
    }

    // `per_entry` references per entry: the key, the value, or both.
    template <class Pick>
    void collect(MapState& st, size_t per_entry, Pick&& pick) {
        for (uint64_t i = 0; i < st.shards.count(); ++i) {
            Shard& shard = st.shards.at(i);
            ShardLock lock(shard);
            refs_.reserve(refs_.size() + size_t(shard.table.entries()) * per_entry);
            shard.table.for_each([&](Entry& e) { pick(e, refs_); });
        }
    }
    size_t size() const noexcept { return refs_.size(); }
    PyObject* take(size_t i) noexcept { return std::exchange(refs_[i], nullptr); }

private:
    std::vector<PyObject*> refs_;
};

PyObject* snapshot_list(MapState& st, bool keys, bool values) {
    Snapshot snap;
    snap.collect(st, size_t(keys) + size_t(values), [&](Entry& e, std::vector<PyObject*>& refs) {
        if (keys) refs.push_back(Py_NewRef(e.key));
        if (values) refs.push_back(Py_NewRef(e.value));
    });
    if (!(keys && values)) {
        const size_t n = snap.size();
        Owned list = Owned::steal(frame::check(PyList_New(Py_ssize_t(n))));
        for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), snap.take(i));
        return list.release();
    }
    const size_t n = snap.size() / 2;
    Owned list = Owned::steal(frame::check(PyList_New(Py_ssize_t(n))));
    for (size_t i = 0; i < n; ++i) {
        PyObject* pair = frame::check(PyTuple_New(2));
        PyTuple_SET_ITEM(pair, 0, snap.take(2 * i));
        PyTuple_SET_ITEM(pair, 1, snap.take(2 * i + 1));
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
    }
    return list.release();
}

void map_clear(MapState& st) noexcept {
    for (uint64_t i = 0; i < st.shards.count(); ++i) {
        Shard& shard = st.shards.at(i);
        Table taken;
        {
            ShardLock lock(shard);
            shard.table.take_all(taken);
        }
        release_entries(taken);
    }
}

// Default shard count: the hardware threads rounded up to a power of two, at
// least 16; 16 when the count is unknown or below 2.
uint64_t default_shard_count() noexcept {
    const unsigned threads = platform::available_parallelism();
    if (threads < 2) return 16;
    return std::max<uint64_t>(16, std::bit_ceil(uint64_t(threads)));
}

// ---------------------------------------------------------------------------
// Python entry points.

inline MapState& map_state(PyObject* self) { return frame::state_of<MapState>(self); }

PyObject* bool_result(bool v) noexcept { return Py_NewRef(v ? Py_True : Py_False); }

PyObject* found_pair(bool found, PyObject* value) {
    Owned owned = Owned::steal(value);  // a new reference, or nullptr
    return frame::check(PyTuple_Pack(2, found ? Py_True : Py_False, found ? owned.get() : Py_None));
}

constexpr Params<1> kMapNew{"ConcurrentMap", "__new__", {"shard_count"}, 0};

PyObject* map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kMapNew, args, kwargs);
        uint64_t count = default_shard_count();
        if (!frame::is_absent_or_none(a[0])) {
            count = frame::arg_u64(a[0], "shard_count");
            if (count == 0) frame::raise_error(PyExc_ValueError, "shard_count must be greater than zero");
        }
        // The shards first: the instance is allocated only once they exist.
        Shards shards(count);
        return frame::new_instance<MapState>(type, std::move(shards));
    });
}

// Deallocation nesting, as CPython's containers bound it with their trashcan:
// releasing a map's entries may free further maps, which free further maps...
// Up to kMaxDeallocNesting map deallocations nest on one thread, freeing at
// once what they hold; a map whose deallocation would nest deeper is put on
// this thread's deferred list instead, and the outermost deallocation frees
// the list's maps one by one after its own. A long chain of maps (each the
// value of the previous one) is thus freed without overflowing the stack,
// while ordinary nesting (a finalizer dropping a map) frees at once.
constexpr int kMaxDeallocNesting = 50;
__thread int t_dealloc_depth __attribute__((tls_model("initial-exec"))) = 0;
__thread PyObject* t_deferred __attribute__((tls_model("initial-exec"))) = nullptr;

// Destroys one initialized map (its entries released, finalizers run) one
// nesting level deeper.
void destroy_nested(PyObject* map) noexcept {
    ++t_dealloc_depth;
    frame::destroy_instance<MapState>(map);
    --t_dealloc_depth;
}

// Also the base deallocation of Python subclasses: CPython's subtype_dealloc
// has cleared their __dict__ and untracked them before calling this, does not
// touch the object after it, and the type's own tp_free (GC-aware for
// subclasses) frees the memory.
void map_dealloc(PyObject* self) noexcept {
    frame::dealloc_with<MapState>(self, [](PyObject* map, MapState& st) noexcept {
        if (t_dealloc_depth >= kMaxDeallocNesting) {
            st.next_dying = std::exchange(t_deferred, map);
            return frame::Disposal::Done;
        }
        destroy_nested(map);
        if (t_dealloc_depth == 0) {
            while (PyObject* next = t_deferred) {
                // Only initialized maps are ever deferred.
                t_deferred = reinterpret_cast<frame::Instance<MapState>*>(next)->state.next_dying;
                destroy_nested(next);  // may defer more maps
            }
        }
        return frame::Disposal::Done;
    });
}

constexpr Params<1> kGet{"ConcurrentMap", "get", {"key"}, 1};
PyObject* map_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kGet, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        PyObject* value = nullptr;
        return map_lookup(st, a[0], &value) ? value : Py_NewRef(Py_None);
    });
}

constexpr Params<1> kGetVal{"ConcurrentMap", "get_val", {"key"}, 1};
PyObject* map_get_val(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kGetVal, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        PyObject* value = nullptr;
        const bool found = map_lookup(st, a[0], &value);
        return found_pair(found, value);
    });
}

constexpr Params<2> kGetOrInsert{"ConcurrentMap", "get_or_insert", {"key", "default"}, 2};
PyObject* map_get_or_insert_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kGetOrInsert, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return map_get_or_insert(st, a[0], a[1]);
    });
}

constexpr Params<2> kSet{"ConcurrentMap", "set", {"key", "value"}, 2};
PyObject* map_set_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kSet, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        map_set(st, a[0], a[1]);
        Py_RETURN_NONE;
    });
}

constexpr Params<1> kDelete{"ConcurrentMap", "delete", {"key"}, 1};
PyObject* map_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kDelete, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        const Entry removed = map_remove(st, a[0]);
        Py_XDECREF(removed.key);
        Py_XDECREF(removed.value);
        return bool_result(removed.key != nullptr);
    });
}

constexpr Params<1> kPopVal{"ConcurrentMap", "pop_val", {"key"}, 1};
PyObject* map_pop_val(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kPopVal, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        const Entry removed = map_remove(st, a[0]);
        Py_XDECREF(removed.key);
        return found_pair(removed.key != nullptr, removed.value);
    });
}

constexpr Params<1> kContainsKey{"ConcurrentMap", "contains_key", {"key"}, 1};
PyObject* map_contains_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kContainsKey, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return bool_result(map_lookup(st, a[0], nullptr));
    });
}

PyObject* map_len(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return PyLong_FromUnsignedLongLong(map_count(st));
    });
}

Py_ssize_t map_length_slot(PyObject* self) noexcept {
    return frame::guarded(Py_ssize_t(-1), [&]() -> Py_ssize_t {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        const uint64_t n = map_count(st);
        if (n > uint64_t(INT64_MAX)) {
            frame::raise_error(PyExc_OverflowError, "map length does not fit in a signed 64-bit integer");
        }
        return Py_ssize_t(n);
    });
}

PyObject* map_clear_entry(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        map_clear(st);
        Py_RETURN_NONE;
    });
}

template <bool keys, bool values>
PyObject* map_snapshot(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return snapshot_list(st, keys, values);
    });
}

PyObject* map_shard_count(PyObject* self, void*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return PyLong_FromUnsignedLongLong(st.shards.count());
    });
}

PyMethodDef map_methods[] = {
    {"get", FRAME_FASTCALL(map_get), "get($self, key)\n--\n\nRetrieve the value associated with the key."},
    {"get_val", FRAME_FASTCALL(map_get_val),
     "get_val($self, key)\n--\n\nRetrieve the value associated with the key as a tuple (found, value)."},
    {"get_or_insert", FRAME_FASTCALL(map_get_or_insert_entry),
     "get_or_insert($self, key, default)\n--\n\n"
     "Atomically get the existing value for key, or insert default and return default if absent."},
    {"set", FRAME_FASTCALL(map_set_entry), "set($self, key, value)\n--\n\nSet the value for the key."},
    {"delete", FRAME_FASTCALL(map_delete),
     "delete($self, key)\n--\n\n"
     "Delete the key from the map. Returns True if the key was present, otherwise False."},
    {"pop_val", FRAME_FASTCALL(map_pop_val),
     "pop_val($self, key)\n--\n\n"
     "Atomically remove and return the key's value.\n"
     "Returns `(true, value)` if found, or `(false, None)` if absent."},
    {"contains_key", FRAME_FASTCALL(map_contains_key),
     "contains_key($self, key)\n--\n\nCheck if the key exists in the map."},
    {"len", FRAME_NOARGS(map_len),
     "len($self)\n--\n\n"
     "Return the total number of elements across all shards.\n"
     "Note: Under concurrent modifications, this represents a weakly-consistent\n"
     "snapshot and may return an approximate value rather than a global atomic freeze."},
    {"clear", FRAME_NOARGS(map_clear_entry), "clear($self)\n--\n\nClear all elements from the map."},
    {"keys", FRAME_NOARGS((map_snapshot<true, false>)),
     "keys($self)\n--\n\n"
     "Retrieve all keys in the map.\n"
     "Note: Returns a weakly-consistent snapshot collected shard-by-shard."},
    {"values", FRAME_NOARGS((map_snapshot<false, true>)),
     "values($self)\n--\n\n"
     "Retrieve all values in the map.\n"
     "Note: Returns a weakly-consistent snapshot collected shard-by-shard."},
    {"items", FRAME_NOARGS((map_snapshot<true, true>)),
     "items($self)\n--\n\n"
     "Retrieve all key-value tuples in the map.\n"
     "Note: Returns a weakly-consistent snapshot collected shard-by-shard."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef map_getset[] = {
    {"shard_count", map_shard_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kMapDoc[] =
    "ConcurrentMap(shard_count=None)\n--\n\n"
    "A highly concurrent, thread-safe hash map with dynamically configurable shard count.\n"
    "Each shard is protected by a Mutex. Python callbacks (like `__eq__` and `__hash__`)\n"
    "are executed entirely OUTSIDE the shard locks, preventing any lock-ordering\n"
    "or recursive deadlocks in multi-threaded GIL-free environments.";

PyType_Slot map_slots[] = {
    {Py_tp_doc, const_cast<char*>(kMapDoc)},
    {Py_tp_new, reinterpret_cast<void*>(map_new)},
    {Py_mp_length, reinterpret_cast<void*>(map_length_slot)},
    {Py_tp_methods, map_methods},
    {Py_tp_getset, map_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(map_dealloc)},
    {0, nullptr},
};

PyType_Spec map_spec = {
    "builtins.ConcurrentMap",
    int(sizeof(frame::Instance<MapState>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    map_slots,
};

}  // namespace

frame::ClassSlot concurrent_map_class{"ConcurrentMap", &map_spec};

}  // namespace quorvel
