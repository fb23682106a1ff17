#pragma once
// The training entry points of velatro._engine: learning a spec's Fellegi-Sunter model
// from records, and the match-weight waterfall of one pair.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_engine_train(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_engine_waterfall(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
