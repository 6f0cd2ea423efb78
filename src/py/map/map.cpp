// ConcurrentMap: the Python class over map/ops (a hash map from hashable
// Python keys to Python values, split into a fixed number of shards, each
// guarded by its own byte mutex; contract in map/ops.h).
//
// Every method takes shared access through a word that is only checked (no
// method takes exclusive access). Deallocation nests at most
// kMaxDeallocNesting deep per thread and defers deeper maps. Not tracked by
// the cyclic collector: a cycle through a map's entries is never freed.
#include <cstdint>
#include <utility>

#include "py/classes.h"
#include "frame/access.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/ref.h"
#include "frame/types.h"
#include "py/map/ops.h"

namespace quorvel {
namespace {

using frame::Bound;
using frame::Owned;
using frame::Params;
using pymap::Entry;
using pymap::MapState;
using pymap::Shards;

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
        uint64_t count = pymap::default_shard_count();
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
        return pymap::lookup(st, a[0], &value) ? value : Py_NewRef(Py_None);
    });
}

constexpr Params<1> kGetVal{"ConcurrentMap", "get_val", {"key"}, 1};
PyObject* map_get_val(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kGetVal, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        PyObject* value = nullptr;
        const bool found = pymap::lookup(st, a[0], &value);
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
        return pymap::get_or_insert(st, a[0], a[1]);
    });
}

constexpr Params<2> kSet{"ConcurrentMap", "set", {"key", "value"}, 2};
PyObject* map_set_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kSet, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        pymap::set(st, a[0], a[1]);
        Py_RETURN_NONE;
    });
}

constexpr Params<1> kDelete{"ConcurrentMap", "delete", {"key"}, 1};
PyObject* map_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kDelete, args, nargs, kwnames);
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        const Entry removed = pymap::remove(st, a[0]);
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
        const Entry removed = pymap::remove(st, a[0]);
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
        return bool_result(pymap::lookup(st, a[0], nullptr));
    });
}

PyObject* map_len(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return PyLong_FromUnsignedLongLong(pymap::count(st));
    });
}

Py_ssize_t map_length_slot(PyObject* self) noexcept {
    return frame::guarded(Py_ssize_t(-1), [&]() -> Py_ssize_t {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        const uint64_t n = pymap::count(st);
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
        pymap::clear(st);
        Py_RETURN_NONE;
    });
}

template <bool keys, bool values>
PyObject* map_snapshot(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        MapState& st = map_state(self);
        frame::SharedAccess access(st.access);
        return pymap::snapshot_list(st, keys, values);
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
