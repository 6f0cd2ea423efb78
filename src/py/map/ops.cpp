// map/ops: the operations of ConcurrentMap (contract in ops.h): the reference
// lists of one call, the Python callbacks, the write protocol, and the reads.
#include "py/map/ops.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "base/platform.h"
#include "frame/errors.h"
#include "frame/ref.h"

namespace quorvel::pymap {

using frame::Owned;
using map::ShardLock;

namespace {

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

}  // namespace

MapState::~MapState() {
    for (uint64_t i = 0; i < shards.count(); ++i) release_entries(shards.at(i).table);
}

void set(MapState& st, PyObject* key, PyObject* value) {
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
Entry remove(MapState& st, PyObject* key) {
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
PyObject* get_or_insert(MapState& st, PyObject* key, PyObject* dflt) {
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
bool lookup(MapState& st, PyObject* key, PyObject** out) {
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

uint64_t count(MapState& st) noexcept {
    uint64_t total = 0;
    for (uint64_t i = 0; i < st.shards.count(); ++i) {
        Shard& shard = st.shards.at(i);
        ShardLock lock(shard);
        total += shard.table.entries();
    }
    return total;
}

namespace {

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

}  // namespace

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

void clear(MapState& st) noexcept {
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

}  // namespace quorvel::pymap
