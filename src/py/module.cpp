// Module entry: PyInit__quorvel hands the interpreter a static multi-phase
// definition; the execution step adds the classes (created once per process)
// and the module-level functions, appending each name to __all__ in
// registration order.
//
// The class objects are process-wide, so the module refuses to load in a
// second interpreter of the same process instead of sharing them across
// interpreters (ImportError).
#include <atomic>
#include <cstdint>

#include "py/classes.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/ref.h"

namespace quorvel {
namespace {

using frame::Owned;

// The interpreter that first executed the module; -1 until then.
std::atomic<int64_t> g_owner_interpreter{-1};

void claim_interpreter() {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) frame::throw_error_set();
    int64_t expected = -1;
    if (g_owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return;
    frame::raise_error(PyExc_ImportError,
                       "_quorvel cannot be loaded in more than one interpreter per process");
}

// Appends `name` to the module's __all__ (creating the list if needed) and
// binds it to `obj`.
void add_name(PyObject* module, const char* name, PyObject* obj) {
    Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) frame::throw_error_set();
        PyErr_Clear();
        all = Owned::steal(frame::check(PyList_New(0)));
        frame::check(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) frame::raise_type_mismatch(all.get(), "list");
    Owned text = Owned::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        panic("could not append __name__ to __all__");
    }
    frame::check(PyObject_SetAttrString(module, name, obj));
}

frame::ClassSlot* const kClasses[] = {
    &channel_class,
    &recv_op_class,
    &send_op_class,
    &concurrent_map_class,
    &thread_pool_class,
    &atomic_integer_class,
    &atomic_boolean_class,
    &rwlock_class,
    &rwlock_read_guard_class,
    &rwlock_write_guard_class,
};

int exec_module(PyObject* module) noexcept {
    return frame::guarded(-1, [&] {
        if (!PyModule_Check(module)) frame::raise_type_mismatch(module, "module");
        claim_interpreter();
        for (frame::ClassSlot* slot : kClasses) {
            PyTypeObject* type = slot->get();
            add_name(module, slot->name(), reinterpret_cast<PyObject*>(type));
        }
        Owned module_name = Owned::steal(frame::check(PyModule_GetNameObject(module)));
        Owned select = Owned::steal(frame::check(PyCFunction_NewEx(&select_def, module, module_name.get())));
        add_name(module, select_def.ml_name, select.get());
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quorvel",
    "The entry point of the compiled native extension module `_quorvel`.\n"
    "It registers all core concurrency primitives so that they are visible from Python.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvel

PyMODINIT_FUNC PyInit__quorvel(void) { return PyModuleDef_Init(&quorvel::module_def); }
