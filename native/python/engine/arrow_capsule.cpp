#include "python/engine/arrow_capsule.hpp"

namespace velatro::python {
namespace {

void release_stream_capsule(PyObject* capsule) {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, columnar::kStreamCapsuleName));
    if (!stream) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    // A consumer that took the stream left it released.
    if (stream->release) stream->release(stream);
    delete stream;
}

}  // namespace

bool take_stream(PyObject* obj, ArrowArrayStream* out) {
    Ref capsule;
    if (PyCapsule_IsValid(obj, columnar::kStreamCapsuleName)) {
        Py_INCREF(obj);
        capsule = Ref(obj);
    } else {
        Ref method(PyObject_GetAttrString(obj, "__arrow_c_stream__"));
        if (!method) {
            PyErr_Format(PyExc_TypeError,
                         "expected an object with __arrow_c_stream__ (an Arrow table or "
                         "stream), got %s",
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        capsule = Ref(PyObject_CallNoArgs(method.get()));
        if (!capsule) return false;
    }
    auto* stream = static_cast<ArrowArrayStream*>(
        PyCapsule_GetPointer(capsule.get(), columnar::kStreamCapsuleName));
    if (!stream) return false;
    if (!stream->release) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream was already consumed");
        return false;
    }
    *out = *stream;
    stream->release = nullptr;  // ours now; the capsule's destructor leaves it alone
    return true;
}

PyObject* stream_capsule(columnar::Table&& table) {
    auto* stream = new ArrowArrayStream{};
    std::move(table).export_stream(stream);
    PyObject* capsule = PyCapsule_New(stream, columnar::kStreamCapsuleName, release_stream_capsule);
    if (!capsule) {
        stream->release(stream);
        delete stream;
    }
    return capsule;
}

}  // namespace velatro::python
