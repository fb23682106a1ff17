#pragma once
// velatro._engine.reconcile_entities: reconcile_local's run on a JSON entity list, with
// Ctrl-C, progress and the engine's log events. The results are reconcile_local's.
#include "python/binding.hpp"

namespace velatro::python {

PyObject* fn_engine_reconcile_entities(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace velatro::python
