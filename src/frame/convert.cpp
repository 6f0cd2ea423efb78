#include "frame/convert.h"

#include <cstring>
#include <string>

#include "frame/ref.h"

namespace quorvel::frame {

int64_t to_i64(PyObject* obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return int64_t(v);
}

uint64_t to_u64(PyObject* obj) {
    Owned index = Owned::steal(check(PyNumber_Index(obj)));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return uint64_t(v);
}

namespace {

// The qualified name of obj's type as a str, or "<failed to extract type
// name>". Messages take it whole (%U), so a name holding NUL or a lone
// surrogate is quoted as it is.
Owned type_name_of(PyObject* obj) {
    Owned qualname = Owned::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (qualname && PyUnicode_Check(qualname.get())) return qualname;
    PyErr_Clear();
    return Owned::steal(check(PyUnicode_FromString("<failed to extract type name>")));
}

// A numpy boolean: its type is named bool_ or bool and its module is numpy.
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Owned name = Owned::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    Owned module = Owned::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

void raise_type_mismatch(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        const Owned name = type_name_of(obj);
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    }
    throw_error_set();
}

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
        auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(obj), Py_nb_bool));
        if (!truth) {
            const Owned name = type_name_of(obj);
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                         name.get());
            throw_error_set();
        }
        const int v = truth(obj);
        if (v < 0) throw_error_set();
        return v != 0;
    }
    raise_type_mismatch(obj, "bool");
}

std::string_view to_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_type_mismatch(obj, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!text) throw_error_set();
    return std::string_view(text, std::size_t(len));
}

}  // namespace quorvel::frame
