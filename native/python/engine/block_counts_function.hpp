#pragma once
// velatro._engine.block_key_counts: block sizes and pair counts before a run.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_engine_block_key_counts(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
