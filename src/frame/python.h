// frame/python: the one place that includes the interpreter's headers.
// Engine code (src/engine, src/sync) never includes this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_GIL_DISABLED)
#error "_quorvel targets the free-threaded interpreter (Py_GIL_DISABLED)"
#endif
