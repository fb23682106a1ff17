#pragma once
// The functions of the velatro._engine module.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_engine_reconcile(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_engine_check_spec(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_engine_block_census(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_engine_explain(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
