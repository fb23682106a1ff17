#pragma once
// Argument binding and the call guard shared by every module function.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <string_view>

namespace velatro::python {

// Owned reference that is released on scope exit.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}
    ~Ref() { Py_XDECREF(o_); }
    Ref(Ref&& r) noexcept : o_(r.release()) {}
    Ref& operator=(Ref&& r) noexcept {
        if (this != &r) {
            Py_XDECREF(o_);
            o_ = r.release();
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    [[nodiscard]] PyObject* get() const { return o_; }
    PyObject* release() {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    explicit operator bool() const { return o_ != nullptr; }

  private:
    PyObject* o_ = nullptr;
};

// The PanicException type, created when the module executes.
extern PyObject* panic_exception_type;

// Binds N required positional-or-keyword str parameters, as a Python function
// would: missing, surplus, doubled and unknown arguments get the interpreter's own
// wording, naming the function (the text after ':' in `format`, e.g. "OO:diff").
// A non-str gets "argument '{}': ...", lone surrogates the interpreter's
// UnicodeEncodeError. Returns false with a Python exception set.
bool bind_str_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                   std::string_view* out, std::size_t count);

template <std::size_t N>
bool bind_str_args(PyObject* args, PyObject* kwargs, const char* format,
                   const std::array<const char*, N + 1>& names,
                   std::array<std::string_view, N>& out) {
    return bind_str_args(args, kwargs, format, names.data(), out.data(), N);
}

// Thrown by code that called into Python and found an error set (a result sink called
// by the engine, a stream read for it): the guard passes that error on untouched.
struct PythonError {};

// Holds the interpreter lock for its lifetime, on a thread that released it.
class HoldLock {
  public:
    HoldLock() : state_(PyGILState_Ensure()) {}
    ~HoldLock() { PyGILState_Release(state_); }
    HoldLock(const HoldLock&) = delete;
    HoldLock& operator=(const HoldLock&) = delete;

  private:
    PyGILState_STATE state_;
};

// Raises the pending C++ failure as its Python exception: velatro::Error as
// ValueError, bad_alloc as MemoryError, PythonError as the exception already set,
// anything else as PanicException. Call from inside a catch block.
PyObject* raise_current_exception() noexcept;

// Runs body (which returns a new reference, or nullptr with a Python error set)
// so that no C++ exception crosses into the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return raise_current_exception();
    }
}

}  // namespace velatro::python
