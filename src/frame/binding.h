// frame/binding: matching positional and keyword arguments to named parameters.
//
// Each callable is described by a Signature: class name (nullptr for module
// functions), function name, ordered parameter names, and how many leading
// parameters are required. Binding fills a table of borrowed pointers, one per
// parameter, nullptr where an optional parameter was not given. Failures raise
// TypeError with the interpreter's familiar wording:
//   "{name} takes {n} positional arguments but {given} {verb} given"
//   "{name} takes from {required} to {n} positional arguments but {given} {verb} given"
//   "{name} got multiple values for argument '{param}'"
//   "{name} got an unexpected keyword argument '{keyword}'"
//   "{name} missing {m} required positional {noun}: 'a', 'b', and 'c'"
// where {name} is "Class.func()" or "func()".
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "frame/errors.h"
#include "frame/python.h"

namespace quorvel::frame {

struct Signature {
    const char* cls;    // class name, or nullptr for a module-level function
    const char* func;   // function name ("__new__" for constructors)
    const char* const* names;
    std::size_t count;
    std::size_t required;
};

template <std::size_t N>
struct Params {
    const char* cls;
    const char* func;
    std::array<const char*, N> names;
    std::size_t required;

    Signature signature() const noexcept { return {cls, func, names.data(), N, required}; }
};

template <std::size_t N>
using Bound = std::array<PyObject*, N>;

// The message texts, kept free of Python so they can be checked directly.
std::string callable_name(const char* cls, const char* func);
std::string too_many_positional_message(const Signature& sig, std::size_t given);
std::string multiple_values_message(const Signature& sig, std::string_view param);
std::string unexpected_keyword_message(const Signature& sig, std::string_view keyword);
std::string missing_arguments_message(const Signature& sig, const std::vector<std::string_view>& missing);

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). Throws PyErrorSet.
void bind_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

template <std::size_t N>
inline Bound<N> bind(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> out{};
    const std::size_t given = std::size_t(PyVectorcall_NARGS(nargs));
    if (kwnames == nullptr && given >= params.required && given <= N) {
        for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
        return out;
    }
    bind_slow(params.signature(), args, Py_ssize_t(given), kwnames, out.data());
    return out;
}

// Tuple-and-dict form (constructors). Throws PyErrorSet.
void bind_tuple_slow(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
inline Bound<N> bind(const Params<N>& params, PyObject* args, PyObject* kwargs) {
    Bound<N> out{};
    bind_tuple_slow(params.signature(), args, kwargs, out.data());
    return out;
}

// Form with extra arguments (`f(func, *args, **kwargs)`): positional
// arguments beyond the parameters go to `extra_args` (a new tuple), keywords
// that name no parameter to `extra_kwargs` (a new dict, or nullptr when there
// are none). Throws PyErrorSet.
void bind_varargs_slow(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
                       PyObject** extra_args, PyObject** extra_kwargs);

template <std::size_t N>
struct BoundVarargs {
    Bound<N> params{};
    PyObject* extra_args = nullptr;    // new reference
    PyObject* extra_kwargs = nullptr;  // new reference or nullptr
    BoundVarargs() = default;
    BoundVarargs(const BoundVarargs&) = delete;
    BoundVarargs& operator=(const BoundVarargs&) = delete;
    ~BoundVarargs() {
        Py_XDECREF(extra_args);
        Py_XDECREF(extra_kwargs);
    }
};

template <std::size_t N>
inline void bind_varargs(const Params<N>& params, PyObject* args, PyObject* kwargs, BoundVarargs<N>& out) {
    bind_varargs_slow(params.signature(), args, kwargs, out.params.data(), &out.extra_args, &out.extra_kwargs);
}

// An optional parameter that defaults to None: absent and None are alike.
inline bool is_absent_or_none(PyObject* arg) noexcept { return arg == nullptr || arg == Py_None; }

}  // namespace quorvel::frame
