#include "python/binding.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "document/error.hpp"

namespace velatro::python {

PyObject* panic_exception_type = nullptr;

bool bind_str_args(PyObject* args, PyObject* kwargs, const char* format,
                   const char* const* names, std::string_view* out, std::size_t count) {
    PyObject* objs[4] = {nullptr, nullptr, nullptr, nullptr};
    auto* kwlist = const_cast<char**>(names);
    bool ok = count == 1 ? PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist, &objs[0])
                         : PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist, &objs[0],
                                                       &objs[1]);
    if (!ok) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!PyUnicode_Check(objs[i])) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %.200s", names[i],
                         Py_TYPE(objs[i])->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(objs[i], &size);
        if (!data) return false;
        out[i] = std::string_view(data, static_cast<std::size_t>(size));
    }
    return true;
}

PyObject* raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const velatro::Error& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(panic_exception_type ? panic_exception_type : PyExc_SystemError,
                            e.what());
        } catch (...) {
            PyErr_SetString(panic_exception_type ? panic_exception_type : PyExc_SystemError,
                            "internal error");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    return nullptr;
}

}  // namespace velatro::python
