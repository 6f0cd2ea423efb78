#include "frame/binding.h"

#include <cstring>

#include "frame/ref.h"

namespace quorvel::frame {

std::string callable_name(const char* cls, const char* func) {
    std::string name;
    if (cls) {
        name += cls;
        name += '.';
    }
    name += func;
    name += "()";
    return name;
}

std::string too_many_positional_message(const Signature& sig, std::size_t given) {
    std::string msg = callable_name(sig.cls, sig.func);
    msg += " takes ";
    if (sig.required < sig.count) {
        msg += "from " + std::to_string(sig.required) + " to ";
    }
    msg += std::to_string(sig.count) + " positional arguments but " + std::to_string(given);
    msg += given == 1 ? " was given" : " were given";
    return msg;
}

std::string multiple_values_message(const Signature& sig, std::string_view param) {
    std::string msg = callable_name(sig.cls, sig.func);
    msg += " got multiple values for argument '";
    msg += param;
    msg += '\'';
    return msg;
}

std::string unexpected_keyword_message(const Signature& sig, std::string_view keyword) {
    std::string msg = callable_name(sig.cls, sig.func);
    msg += " got an unexpected keyword argument '";
    msg += keyword;
    msg += '\'';
    return msg;
}

std::string missing_arguments_message(const Signature& sig, const std::vector<std::string_view>& missing) {
    const std::size_t m = missing.size();
    std::string msg = callable_name(sig.cls, sig.func);
    msg += " missing " + std::to_string(m) + " required positional ";
    msg += m == 1 ? "argument: " : "arguments: ";
    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0) {
            if (m > 2) msg += ',';
            msg += ' ';
            if (i == m - 1) msg += "and ";
        }
        msg += '\'';
        msg += missing[i];
        msg += '\'';
    }
    return msg;
}

namespace {

// Sized: the message may quote a keyword that holds NUL characters.
[[noreturn]] void raise_type_error(const std::string& msg) { raise_error(PyExc_TypeError, msg); }

// Fills the parameter named by `key` with `value`, or raises.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) raise_type_error(callable_name(sig.cls, sig.func) + " keywords must be strings");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) {
        // Lone surrogates: no parameter has such a name. The message quotes
        // the keyword as it is; raise_error decodes the surrogates back.
        PyErr_Clear();
        Owned raw = Owned::steal(check(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass")));
        raise_type_error(unexpected_keyword_message(
            sig, std::string_view(PyBytes_AS_STRING(raw.get()), std::size_t(PyBytes_GET_SIZE(raw.get())))));
    }
    const std::string_view keyword(text, std::size_t(len));
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (keyword == sig.names[i]) {
            if (out[i]) raise_type_error(multiple_values_message(sig, keyword));
            out[i] = value;
            return;
        }
    }
    raise_type_error(unexpected_keyword_message(sig, keyword));
}

void check_required(const Signature& sig, PyObject** out) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) missing.emplace_back(sig.names[i]);
    }
    if (!missing.empty()) raise_type_error(missing_arguments_message(sig, missing));
}

void bind_positional(const Signature& sig, PyObject* const* args, std::size_t given, PyObject** out) {
    if (given > sig.count) raise_type_error(too_many_positional_message(sig, given));
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
}

}  // namespace

void bind_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    bind_positional(sig, args, std::size_t(nargs), out);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_required(sig, out);
}

void bind_tuple_slow(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t given = args ? std::size_t(PyTuple_GET_SIZE(args)) : 0;
    bind_positional(sig, given ? &PyTuple_GET_ITEM(args, 0) : nullptr, given, out);
    if (kwargs) {
        // The dictionary belongs to this call; iterating it runs no Python code
        // because its keys are strings.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
    }
    check_required(sig, out);
}

void bind_varargs_slow(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                       PyObject** extra_args, PyObject** extra_kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const Py_ssize_t own = given < Py_ssize_t(sig.count) ? given : Py_ssize_t(sig.count);
    for (Py_ssize_t i = 0; i < own; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    *extra_args = check(PyTuple_GetSlice(args, own, given));
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            bool named = false;
            for (std::size_t i = 0; i < sig.count && !named; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                    if (out[i]) raise_type_error(multiple_values_message(sig, sig.names[i]));
                    out[i] = value;
                    named = true;
                }
            }
            if (named) continue;
            if (!*extra_kwargs) *extra_kwargs = check(PyDict_New());
            check(PyDict_SetItem(*extra_kwargs, key, value));
        }
    }
    check_required(sig, out);
}

}  // namespace quorvel::frame
