// frame/call: the boundary between the interpreter and an entry's body.
//
// Every function the interpreter calls is noexcept and runs its body through
// one of these wrappers, which open a CallScope (attach depth, deferred
// releases) and map the outcome: a result is returned; PyErrorSet means an
// exception is already set; quorvel::Panic becomes PanicException with its
// message; std::bad_alloc becomes MemoryError. No C++ exception crosses into
// the interpreter.
//
// Deallocation has its own boundary, frame::dealloc: the same call scope, no
// outcome to map, and an instance whose state was never constructed is freed
// without its state being touched.
//
// The shape of every entry and deallocation of a class:
//   PyObject* thing_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//                       PyObject* kwnames) noexcept {
//       return frame::call([&] {
//           const Bound<1> a = frame::bind(kThingGet, args, nargs, kwnames);
//           ThingState& st = frame::state_of<ThingState>(self);  // TypeError if never built
//           frame::SharedAccess access(st.access);  // counted or checked: the word's type says
//           ...
//       });
//   }
//   {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<ThingState>)}
//   or, with a step of its own, a function calling frame::dealloc_with.
#pragma once

#include <new>

#include "frame/attach.h"
#include "frame/errors.h"
#include "frame/types.h"

namespace quorvel::frame {

// Runs `body` inside a call frame; `failed` is the entry's error indicator
// (nullptr for object results, -1 for int and Py_ssize_t slots).
template <class R, class F>
inline R guarded(R failed, F&& body) noexcept {
    CallScope scope;
    try {
        return body();
    } catch (const PyErrorSet&) {
        return failed;
    } catch (const Panic& p) {
        set_panic(p.message());
        return failed;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failed;
    } catch (const std::exception& e) {
        set_panic(e.what());
        return failed;
    } catch (...) {
        set_panic("unknown native failure");
        return failed;
    }
}

template <class F>
inline PyObject* call(F&& body) noexcept {
    return guarded<PyObject*>(nullptr, static_cast<F&&>(body));
}

// What a class's deallocation step did with the instance.
enum class Disposal {
    Destroy,  // destroy the state and free the object
    Leak,     // free the object, leaving the state's resources as they are
    Done,     // the step disposed of the object itself (freed it, or queued it)
};

// The tp_dealloc of a class whose instances are Instance<State>, with a
// class-specific `step(self, state)` (noexcept, returns a Disposal) run first
// on an initialized instance. Runs in a call scope, so references the state
// drops are released at once. An instance that was never initialized is only
// freed: no step, no destructor.
template <class State, class Step>
inline void dealloc_with(PyObject* self, Step&& step) noexcept {
    CallScope scope;
    if (!is_initialized<State>(self)) {
        destroy_instance<State>(self);
        return;
    }
    switch (step(self, reinterpret_cast<Instance<State>*>(self)->state)) {
        case Disposal::Destroy: destroy_instance<State>(self); return;
        case Disposal::Leak: destroy_instance<State>(self, /*leak=*/true); return;
        case Disposal::Done: return;
    }
}

// The tp_dealloc of a class with no deallocation step of its own:
//   {Py_tp_dealloc, reinterpret_cast<void*>(frame::dealloc<IntState>)}
template <class State>
void dealloc(PyObject* self) noexcept {
    dealloc_with<State>(self, [](PyObject*, State&) noexcept { return Disposal::Destroy; });
}

}  // namespace quorvel::frame
