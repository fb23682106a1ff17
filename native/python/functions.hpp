#pragma once
// The module's functions, one per entry point. Each binds its str arguments,
// calls the core inside the guard and converts the result.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_parse(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_hash(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
