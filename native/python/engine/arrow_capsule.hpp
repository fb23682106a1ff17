#pragma once
// The Arrow PyCapsule protocol on the module side: taking a stream from any object that
// offers __arrow_c_stream__ (or from such a capsule), and handing streams back.
#include "columnar/arrow_abi.hpp"
#include "columnar/batch_builder.hpp"
#include "python/binding.hpp"

namespace velatro::python {

// Moves the stream of obj into out (out then owns it). False with a Python error set
// when obj is neither a stream capsule nor an object exporting one.
bool take_stream(PyObject* obj, ArrowArrayStream* out);

// A new "arrow_array_stream" capsule that owns the table's batches, or nullptr with a
// Python error set.
PyObject* stream_capsule(columnar::Table&& table);

}  // namespace velatro::python
