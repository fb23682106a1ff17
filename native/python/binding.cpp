#include "python/binding.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "document/error.hpp"

namespace velatro::python {

PyObject* panic_exception_type = nullptr;

namespace {

// Binds like a Python function with positional-or-keyword parameters, with the
// interpreter's own wording for each mistake.
bool bind_objects(PyObject* args, PyObject* kwargs, const char* fname, const char* const* names,
                  PyObject** objs, std::size_t count) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > static_cast<Py_ssize_t>(count)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     fname, count, count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) objs[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t slot = count;
            if (PyUnicode_Check(key)) {
                for (std::size_t i = 0; i < count; ++i)
                    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
            }
            if (slot == count) {
                if (PyUnicode_Check(key))
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 fname, key);
                else
                    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
                return false;
            }
            if (objs[slot]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                             names[slot]);
                return false;
            }
            objs[slot] = value;
        }
    }
    std::string missing;
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (!objs[i]) ++n_missing;
    if (n_missing) {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (objs[i]) continue;
            ++seen;
            if (seen > 1)
                missing += seen == n_missing ? (n_missing > 2 ? ", and " : " and ") : ", ";
            missing += std::string("'") + names[i] + "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fname,
                     n_missing, n_missing == 1 ? "" : "s", missing.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool bind_str_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                   std::string_view* out, std::size_t count) {
    PyObject* objs[4] = {nullptr, nullptr, nullptr, nullptr};
    const char* colon = std::strchr(format, ':');
    const char* fname = colon ? colon + 1 : format;
    if (!bind_objects(args, kwargs, fname, names, objs, count)) return false;
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
        } catch (const PythonError&) {
            // The Python error that made the call fail is already set.
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
