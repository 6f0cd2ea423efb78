// frame/types: class objects and instance layout.
//
// Every class is a heap type built from a PyType_Spec named "builtins.<Name>",
// created at most once per process and kept in a process-wide slot for good.
// Instances are `Instance<State>`: the object header, an `initialized` flag,
// then a C++ state constructed in place after allocation and destroyed in
// deallocation.
//
// Invariant: `initialized` is true exactly when `state` has been constructed
// (new_instance sets it). The classes are mutable heap types, so a user can
// replace `__new__` with one that calls `object.__new__`; that instance's
// memory is only zeroed, its flag false, and its state never built. The one
// way to reach a state, state_of(), refuses such an instance with TypeError
// "{Name} object is not initialized", and deallocation (frame::dealloc in
// frame/call.h) frees it without touching the missing state.
#pragma once

#include <atomic>
#include <new>
#include <utility>

#include "frame/errors.h"
#include "frame/python.h"

namespace quorvel::frame {

template <class State>
struct Instance {
    PyObject ob_base;
    // Written once by new_instance before the object is handed out, so every
    // thread that holds a reference reads it without ordering of its own.
    bool initialized;
    State state;
};

namespace detail {
// TypeError "{Name} object is not initialized", {Name} being the type's name.
[[noreturn]] void raise_not_initialized(PyObject* self);
}  // namespace detail

template <class State>
inline bool is_initialized(PyObject* self) noexcept {
    return reinterpret_cast<Instance<State>*>(self)->initialized;
}

// The state of `self`, or TypeError when it was never constructed. Every
// method, slot and property reaches its state through here.
template <class State>
inline State& state_of(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<State>*>(self);
    if (!instance->initialized) [[unlikely]] detail::raise_not_initialized(self);
    return instance->state;
}

// Allocates an instance of `type` and constructs its state from `args`.
// Returns a new reference; throws PyErrorSet if allocation fails. If the
// state's constructor throws, the half-made object is freed.
template <class State, class... Args>
inline PyObject* new_instance(PyTypeObject* type, Args&&... args) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw_error_set();
    auto* instance = reinterpret_cast<Instance<State>*>(self);
    try {
        new (&instance->state) State(std::forward<Args>(args)...);
    } catch (...) {
        type->tp_free(self);
        Py_DECREF(type);  // tp_alloc took a reference for the instance
        throw;
    }
    instance->initialized = true;
    return self;
}

// End of a deallocation: destroy the state (unless `leak`, or unless it was
// never constructed), free the memory, and drop the instance's reference to
// its heap type. Classes deallocate through frame::dealloc (frame/call.h);
// this is its last step, also usable for instances whose destruction was
// deferred.
template <class State>
inline void destroy_instance(PyObject* self, bool leak = false) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* instance = reinterpret_cast<Instance<State>*>(self);
    if (!leak && instance->initialized) instance->state.~State();
    type->tp_free(self);
    Py_DECREF(type);
}

// Method-table entries: the binding flags travel with the function, e.g.
//   {"get", FRAME_FASTCALL(int_get), "get($self, ordering=None)\n--\n\n..."}
template <class F>
inline PyCFunction as_cfunction(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}
#define FRAME_FASTCALL(fn) ::quorvel::frame::as_cfunction(fn), METH_FASTCALL | METH_KEYWORDS
#define FRAME_NOARGS(fn) ::quorvel::frame::as_cfunction(fn), METH_NOARGS

// The process-wide slot of one class. get() returns the class, creating it on
// first use; when several threads race, all end up with the one stored object.
// Failure raises RuntimeError "An error occurred while initializing class
// <Name>" with the creation error as __cause__, and leaves the slot empty.
class ClassSlot {
public:
    constexpr ClassSlot(const char* name, PyType_Spec* spec) noexcept : name_(name), spec_(spec) {}
    PyTypeObject* get();
    const char* name() const noexcept { return name_; }
    PyTypeObject* get_if_created() const noexcept { return type_.load(std::memory_order_acquire); }

private:
    const char* name_;
    PyType_Spec* spec_;
    std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace quorvel::frame
