#pragma once
// The module's functions, one per entry point. Each binds its str arguments,
// calls the core inside the guard and converts the result.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_validate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_validate_strict(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_validate_schema(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_validate_semantics(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_parse(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_hash(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_compile_ir(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_diff(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_plan(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_reconcile_local(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
