// AtomicInteger and AtomicBoolean: lock-free cells updated by one hardware
// atomic instruction per call, with a selectable memory ordering.
//
// Each cell sits at the start of a 64-byte block of its own inside the object
// (aligned at run time, since object memory is only 16-byte aligned), so no
// other field of any object shares its cache line. Every method takes shared
// access only, so calls never refuse each other, and nothing here blocks:
// the access word is only checked, never counted (frame/access.h).
//
// Order of checks in every method: binding, shared access, value conversions
// in parameter order, the `ordering` text, its parsing, then the operation.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "py/classes.h"
#include "frame/access.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/types.h"

namespace quorvel {
namespace {

using frame::Bound;
using frame::Params;
using frame::SharedAccess;

// ---------------------------------------------------------------------------
// Memory ordering selector.

enum class MemoryOrdering : uint8_t { Relaxed = 0, Release = 1, Acquire = 2, AcqRel = 3, SeqCst = 4 };

// `ordering` argument: absent or None is SeqCst; otherwise a str naming one of
// the five orderings in either of its two accepted spellings.
MemoryOrdering parse_ordering(PyObject* arg) {
    if (frame::is_absent_or_none(arg)) return MemoryOrdering::SeqCst;
    const std::string_view name = frame::arg_text(arg, "ordering");
    if (name == "SeqCst" || name == "seq_cst") return MemoryOrdering::SeqCst;
    if (name == "Relaxed" || name == "relaxed") return MemoryOrdering::Relaxed;
    if (name == "Acquire" || name == "acquire") return MemoryOrdering::Acquire;
    if (name == "Release" || name == "release") return MemoryOrdering::Release;
    if (name == "AcqRel" || name == "acq_rel") return MemoryOrdering::AcqRel;
    frame::raise_error(PyExc_ValueError, "Unsupported memory ordering: " + std::string(name));
}

std::memory_order to_std(MemoryOrdering o) noexcept {
    switch (o) {
        case MemoryOrdering::Relaxed: return std::memory_order_relaxed;
        case MemoryOrdering::Release: return std::memory_order_release;
        case MemoryOrdering::Acquire: return std::memory_order_acquire;
        case MemoryOrdering::AcqRel: return std::memory_order_acq_rel;
        case MemoryOrdering::SeqCst: return std::memory_order_seq_cst;
    }
    return std::memory_order_seq_cst;  // unreachable: the enum has five values
}

std::memory_order load_order(MemoryOrdering o) {
    if (o == MemoryOrdering::Release) panic("there is no such thing as a release load");
    if (o == MemoryOrdering::AcqRel) panic("there is no such thing as an acquire-release load");
    return to_std(o);
}

std::memory_order store_order(MemoryOrdering o) {
    if (o == MemoryOrdering::Acquire) panic("there is no such thing as an acquire store");
    if (o == MemoryOrdering::AcqRel) panic("there is no such thing as an acquire-release store");
    return to_std(o);
}

// A failed compare-and-exchange is a load: keep the requested ordering minus
// its release part, which is valid for every accepted ordering.
std::memory_order cas_failure_order(MemoryOrdering o) noexcept {
    if (o == MemoryOrdering::Release) return std::memory_order_relaxed;
    if (o == MemoryOrdering::AcqRel) return std::memory_order_acquire;
    return to_std(o);
}

// A cell alone on its 64-byte cache line, placed inside the object.
template <class T>
class CacheLineCell {
public:
    explicit CacheLineCell(T initial) noexcept { new (slot()) std::atomic<T>(initial); }
    ~CacheLineCell() { cell().~atomic<T>(); }
    std::atomic<T>& cell() noexcept { return *static_cast<std::atomic<T>*>(slot()); }

private:
    void* slot() noexcept {
        return reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(storage_) + 63) & ~uintptr_t(63));
    }
    alignas(8) unsigned char storage_[64 + 63];
};

PyObject* bool_result(bool v) noexcept { return Py_NewRef(v ? Py_True : Py_False); }

// ---------------------------------------------------------------------------
// AtomicInteger

struct IntState {
    frame::CheckedAccessWord access;  // no exclusive path
    CacheLineCell<int64_t> value;
    explicit IntState(int64_t v) noexcept : value(v) {}
};

inline IntState& int_state(PyObject* self) { return frame::state_of<IntState>(self); }

// Two's-complement arithmetic that wraps modulo 2**64.
inline int64_t wrap_add(int64_t a, int64_t b) noexcept { return int64_t(uint64_t(a) + uint64_t(b)); }
inline int64_t wrap_sub(int64_t a, int64_t b) noexcept { return int64_t(uint64_t(a) - uint64_t(b)); }

constexpr Params<1> kIntNew{"AtomicInteger", "__new__", {"value"}, 0};

PyObject* int_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kIntNew, args, kwargs);
        const int64_t v = a[0] ? frame::arg_i64(a[0], "value") : 0;
        return frame::new_instance<IntState>(type, v);
    });
}

constexpr Params<1> kIntGet{"AtomicInteger", "get", {"ordering"}, 0};
PyObject* int_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kIntGet, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        const std::memory_order order = load_order(parse_ordering(a[0]));
        return PyLong_FromLongLong(st.value.cell().load(order));
    });
}

constexpr Params<2> kIntSet{"AtomicInteger", "set", {"value", "ordering"}, 1};
PyObject* int_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kIntSet, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        const int64_t v = frame::arg_i64(a[0], "value");
        const std::memory_order order = store_order(parse_ordering(a[1]));
        st.value.cell().store(v, order);
        Py_RETURN_NONE;
    });
}

// The read-modify-write methods share one shape: an optional integer operand,
// an optional ordering, one fetch-and-op, and a result computed from the value
// that instruction returned (never from a second read).
enum class Rmw { FetchAdd, AddAndGet, FetchSub, SubAndGet, Increment, Decrement, GetAndSet };

template <Rmw op>
inline int64_t apply(std::atomic<int64_t>& cell, int64_t operand, std::memory_order order) noexcept {
    if constexpr (op == Rmw::FetchAdd) return cell.fetch_add(operand, order);
    if constexpr (op == Rmw::AddAndGet) return wrap_add(cell.fetch_add(operand, order), operand);
    if constexpr (op == Rmw::FetchSub) return cell.fetch_sub(operand, order);
    if constexpr (op == Rmw::SubAndGet) return wrap_sub(cell.fetch_sub(operand, order), operand);
    if constexpr (op == Rmw::Increment) return wrap_add(cell.fetch_add(1, order), 1);
    if constexpr (op == Rmw::Decrement) return wrap_sub(cell.fetch_sub(1, order), 1);
    if constexpr (op == Rmw::GetAndSet) return cell.exchange(operand, order);
}

// Operand plus ordering: fetch_add, add_and_get, fetch_sub, sub_and_get, get_and_set.
template <Rmw op, const Params<2>& params>
PyObject* int_rmw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(params, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        const int64_t operand = frame::arg_i64(a[0], params.names[0]);
        const std::memory_order order = to_std(parse_ordering(a[1]));
        return PyLong_FromLongLong(apply<op>(st.value.cell(), operand, order));
    });
}

// Operand, relaxed: the *_relaxed shortcuts skip the ordering entirely.
template <Rmw op, const Params<1>& params>
PyObject* int_rmw_relaxed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(params, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        const int64_t operand = frame::arg_i64(a[0], "delta");
        return PyLong_FromLongLong(apply<op>(st.value.cell(), operand, std::memory_order_relaxed));
    });
}

// Ordering only: increment, decrement.
template <Rmw op, const Params<1>& params>
PyObject* int_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(params, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        const std::memory_order order = to_std(parse_ordering(a[0]));
        return PyLong_FromLongLong(apply<op>(st.value.cell(), 0, order));
    });
}

// No arguments at all: increment_relaxed, decrement_relaxed.
template <Rmw op>
PyObject* int_step_relaxed(PyObject* self, PyObject*) noexcept {
    return frame::call([&] {
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        return PyLong_FromLongLong(apply<op>(st.value.cell(), 0, std::memory_order_relaxed));
    });
}

constexpr Params<2> kFetchAdd{"AtomicInteger", "fetch_add", {"delta", "ordering"}, 1};
constexpr Params<1> kFetchAddRelaxed{"AtomicInteger", "fetch_add_relaxed", {"delta"}, 1};
constexpr Params<2> kAddAndGet{"AtomicInteger", "add_and_get", {"delta", "ordering"}, 1};
constexpr Params<1> kAddAndGetRelaxed{"AtomicInteger", "add_and_get_relaxed", {"delta"}, 1};
constexpr Params<2> kFetchSub{"AtomicInteger", "fetch_sub", {"delta", "ordering"}, 1};
constexpr Params<1> kFetchSubRelaxed{"AtomicInteger", "fetch_sub_relaxed", {"delta"}, 1};
constexpr Params<2> kSubAndGet{"AtomicInteger", "sub_and_get", {"delta", "ordering"}, 1};
constexpr Params<1> kSubAndGetRelaxed{"AtomicInteger", "sub_and_get_relaxed", {"delta"}, 1};
constexpr Params<1> kIncrement{"AtomicInteger", "increment", {"ordering"}, 0};
constexpr Params<1> kDecrement{"AtomicInteger", "decrement", {"ordering"}, 0};
constexpr Params<2> kIntGetAndSet{"AtomicInteger", "get_and_set", {"new_value", "ordering"}, 1};

constexpr Params<3> kIntCas{"AtomicInteger", "compare_and_set", {"expected", "new_value", "ordering"}, 2};
PyObject* int_compare_and_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<3> a = frame::bind(kIntCas, args, nargs, kwnames);
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        int64_t expected = frame::arg_i64(a[0], "expected");
        const int64_t desired = frame::arg_i64(a[1], "new_value");
        const MemoryOrdering o = parse_ordering(a[2]);
        return bool_result(
            st.value.cell().compare_exchange_strong(expected, desired, to_std(o), cas_failure_order(o)));
    });
}

PyObject* int_repr(PyObject* self) noexcept {
    return frame::call([&] {
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        return PyUnicode_FromFormat("AtomicInteger(%lld)", (long long)st.value.cell().load());
    });
}

PyObject* int_str(PyObject* self) noexcept {
    return frame::call([&] {
        IntState& st = int_state(self);
        SharedAccess access(st.access);
        return PyUnicode_FromFormat("%lld", (long long)st.value.cell().load());
    });
}

PyMethodDef int_methods[] = {
    {"get", FRAME_FASTCALL(int_get), "get($self, ordering=None)\n--\n\nLoad the current value atomically."},
    {"set", FRAME_FASTCALL(int_set), "set($self, value, ordering=None)\n--\n\nStore a new value atomically."},
    {"fetch_add", FRAME_FASTCALL((int_rmw<Rmw::FetchAdd, kFetchAdd>)),
     "fetch_add($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the OLD value."},
    {"fetch_add_relaxed", FRAME_FASTCALL((int_rmw_relaxed<Rmw::FetchAdd, kFetchAddRelaxed>)),
     "fetch_add_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_add."},
    {"add_and_get", FRAME_FASTCALL((int_rmw<Rmw::AddAndGet, kAddAndGet>)),
     "add_and_get($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the NEW value."},
    {"add_and_get_relaxed", FRAME_FASTCALL((int_rmw_relaxed<Rmw::AddAndGet, kAddAndGetRelaxed>)),
     "add_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed add_and_get."},
    {"fetch_sub", FRAME_FASTCALL((int_rmw<Rmw::FetchSub, kFetchSub>)),
     "fetch_sub($self, delta, ordering=None)\n--\n\n"
     "Atomically subtract delta from the value and return the OLD value."},
    {"fetch_sub_relaxed", FRAME_FASTCALL((int_rmw_relaxed<Rmw::FetchSub, kFetchSubRelaxed>)),
     "fetch_sub_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_sub."},
    {"sub_and_get", FRAME_FASTCALL((int_rmw<Rmw::SubAndGet, kSubAndGet>)),
     "sub_and_get($self, delta, ordering=None)\n--\n\n"
     "Atomically subtract delta from the value and return the NEW value."},
    {"sub_and_get_relaxed", FRAME_FASTCALL((int_rmw_relaxed<Rmw::SubAndGet, kSubAndGetRelaxed>)),
     "sub_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed sub_and_get."},
    {"increment", FRAME_FASTCALL((int_step<Rmw::Increment, kIncrement>)),
     "increment($self, ordering=None)\n--\n\nAtomically increment the value by 1 and return the NEW value."},
    {"increment_relaxed", FRAME_NOARGS(int_step_relaxed<Rmw::Increment>),
     "increment_relaxed($self)\n--\n\nFast-path relaxed increment."},
    {"decrement", FRAME_FASTCALL((int_step<Rmw::Decrement, kDecrement>)),
     "decrement($self, ordering=None)\n--\n\nAtomically decrement the value by 1 and return the NEW value."},
    {"decrement_relaxed", FRAME_NOARGS(int_step_relaxed<Rmw::Decrement>),
     "decrement_relaxed($self)\n--\n\nFast-path relaxed decrement."},
    {"get_and_set", FRAME_FASTCALL((int_rmw<Rmw::GetAndSet, kIntGetAndSet>)),
     "get_and_set($self, new_value, ordering=None)\n--\n\n"
     "Atomically swap the value with a new one and return the OLD value."},
    {"compare_and_set", FRAME_FASTCALL(int_compare_and_set),
     "compare_and_set($self, expected, new_value, ordering=None)\n--\n\n"
     "Atomically compare the current value to expected, and if equal, swap with new_value.\n"
     "Returns True if the swap succeeded, otherwise False."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kIntDoc[] =
    "AtomicInteger(value=0)\n--\n\n"
    "A thread-safe, lock-free 64-bit signed integer using CPU atomic operations.\n"
    "All methods default to sequentially consistent ordering (SeqCst).\n"
    "Pass a relaxed ordering, or use the `*_relaxed` shortcut methods such as\n"
    "`increment_relaxed()`, for the best performance on ARM64.";

PyType_Slot int_slots[] = {
    {Py_tp_doc, const_cast<char*>(kIntDoc)},
    {Py_tp_new, reinterpret_cast<void*>(int_new)},
    {Py_tp_repr, reinterpret_cast<void*>(int_repr)},
    {Py_tp_str, reinterpret_cast<void*>(int_str)},
    {Py_tp_methods, int_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<IntState>)},
    {0, nullptr},
};

PyType_Spec int_spec = {
    "builtins.AtomicInteger",
    int(sizeof(frame::Instance<IntState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    int_slots,
};

// ---------------------------------------------------------------------------
// AtomicBoolean

struct BoolState {
    frame::CheckedAccessWord access;  // no exclusive path
    CacheLineCell<uint8_t> value;  // 0 false, 1 true
    explicit BoolState(bool v) noexcept : value(v ? 1 : 0) {}
};

inline BoolState& bool_state(PyObject* self) { return frame::state_of<BoolState>(self); }

constexpr Params<1> kBoolNew{"AtomicBoolean", "__new__", {"value"}, 0};
PyObject* bool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kBoolNew, args, kwargs);
        const bool v = a[0] ? frame::arg_bool(a[0], "value") : false;
        return frame::new_instance<BoolState>(type, v);
    });
}

constexpr Params<1> kBoolGet{"AtomicBoolean", "get", {"ordering"}, 0};
PyObject* bool_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<1> a = frame::bind(kBoolGet, args, nargs, kwnames);
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        const std::memory_order order = load_order(parse_ordering(a[0]));
        return bool_result(st.value.cell().load(order) != 0);
    });
}

constexpr Params<2> kBoolSet{"AtomicBoolean", "set", {"value", "ordering"}, 1};
PyObject* bool_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kBoolSet, args, nargs, kwnames);
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        const bool v = frame::arg_bool(a[0], "value");
        const std::memory_order order = store_order(parse_ordering(a[1]));
        st.value.cell().store(v ? 1 : 0, order);
        Py_RETURN_NONE;
    });
}

constexpr Params<2> kBoolGetAndSet{"AtomicBoolean", "get_and_set", {"new_value", "ordering"}, 1};
PyObject* bool_get_and_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<2> a = frame::bind(kBoolGetAndSet, args, nargs, kwnames);
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        const bool v = frame::arg_bool(a[0], "new_value");
        const std::memory_order order = to_std(parse_ordering(a[1]));
        return bool_result(st.value.cell().exchange(v ? 1 : 0, order) != 0);
    });
}

constexpr Params<3> kBoolCas{"AtomicBoolean", "compare_and_set", {"expected", "new_value", "ordering"}, 2};
PyObject* bool_compare_and_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return frame::call([&] {
        const Bound<3> a = frame::bind(kBoolCas, args, nargs, kwnames);
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        uint8_t expected = frame::arg_bool(a[0], "expected") ? 1 : 0;
        const uint8_t desired = frame::arg_bool(a[1], "new_value") ? 1 : 0;
        const MemoryOrdering o = parse_ordering(a[2]);
        return bool_result(
            st.value.cell().compare_exchange_strong(expected, desired, to_std(o), cas_failure_order(o)));
    });
}

PyObject* bool_repr(PyObject* self) noexcept {
    return frame::call([&] {
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        return PyUnicode_FromString(st.value.cell().load() ? "AtomicBoolean(True)" : "AtomicBoolean(False)");
    });
}

PyObject* bool_str(PyObject* self) noexcept {
    return frame::call([&] {
        BoolState& st = bool_state(self);
        SharedAccess access(st.access);
        return PyUnicode_FromString(st.value.cell().load() ? "True" : "False");
    });
}

PyMethodDef bool_methods[] = {
    {"get", FRAME_FASTCALL(bool_get), "get($self, ordering=None)\n--\n\nLoad the current boolean value atomically."},
    {"set", FRAME_FASTCALL(bool_set), "set($self, value, ordering=None)\n--\n\nStore a new boolean value atomically."},
    {"get_and_set", FRAME_FASTCALL(bool_get_and_set),
     "get_and_set($self, new_value, ordering=None)\n--\n\n"
     "Atomically swap the value with a new one and return the OLD value."},
    {"compare_and_set", FRAME_FASTCALL(bool_compare_and_set),
     "compare_and_set($self, expected, new_value, ordering=None)\n--\n\n"
     "Atomically compare the current value to expected, and if equal, swap with new_value."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kBoolDoc[] =
    "AtomicBoolean(value=False)\n--\n\nA thread-safe, lock-free boolean variable using CPU atomic operations.";

PyType_Slot bool_slots[] = {
    {Py_tp_doc, const_cast<char*>(kBoolDoc)},
    {Py_tp_new, reinterpret_cast<void*>(bool_new)},
    {Py_tp_repr, reinterpret_cast<void*>(bool_repr)},
    {Py_tp_str, reinterpret_cast<void*>(bool_str)},
    {Py_tp_methods, bool_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<BoolState>)},
    {0, nullptr},
};

PyType_Spec bool_spec = {
    "builtins.AtomicBoolean",
    int(sizeof(frame::Instance<BoolState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    bool_slots,
};

}  // namespace

frame::ClassSlot atomic_integer_class{"AtomicInteger", &int_spec};
frame::ClassSlot atomic_boolean_class{"AtomicBoolean", &bool_spec};

}  // namespace quorvel
