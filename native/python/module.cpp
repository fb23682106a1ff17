// The velatro._native module: multi-phase initialisation with one execution step
// that creates PanicException and adds the functions in their fixed order.
#include <cstdio>
#include <cstdlib>

#include "python/functions.hpp"

namespace velatro::python {
namespace {

// clang-format off
#define VELATRO_FN(name, sig)                                                           \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_##name)),     \
     METH_VARARGS | METH_KEYWORDS, #name sig "\n--\n\n"}
// clang-format on

// Registration order is part of the interface: validate, validate_strict,
// validate_schema, validate_semantics, parse, compile_ir, diff, hash, plan,
// reconcile_local. The docstring is only the text signature.
PyMethodDef kFunctions[] = {
    VELATRO_FN(validate, "(yaml_str)"),
    VELATRO_FN(validate_strict, "(yaml_str)"),
    VELATRO_FN(validate_schema, "(yaml_str)"),
    VELATRO_FN(validate_semantics, "(yaml_str)"),
    VELATRO_FN(parse, "(yaml_str)"),
    VELATRO_FN(compile_ir, "(yaml_str)"),
    VELATRO_FN(diff, "(yaml_a, yaml_b)"),
    VELATRO_FN(hash, "(yaml_str)"),
    VELATRO_FN(plan, "(yaml_str)"),
    VELATRO_FN(reconcile_local, "(yaml_str, entities_json)"),
    {nullptr, nullptr, 0, nullptr},
};

#undef VELATRO_FN

int exec_module(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "expected a module object");
            return -1;
        }
        if (!panic_exception_type) {
            // Derived directly from BaseException so that `except Exception` does
            // not swallow a broken invariant.
            panic_exception_type =
                PyErr_NewExceptionWithDoc("velatro._native.PanicException",
                                          "An internal invariant of the native core was broken.",
                                          PyExc_BaseException, nullptr);
            if (!panic_exception_type) return -1;
        }
        Py_INCREF(panic_exception_type);
        if (PyModule_AddObject(module, "PanicException", panic_exception_type) < 0) {
            Py_DECREF(panic_exception_type);
            return -1;
        }
        Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef* def = kFunctions; def->ml_name; ++def) {
            PyObject* fn = PyCFunction_NewEx(def, nullptr, module_name.get());
            if (!fn) return -1;
            if (PyModule_AddObject(module, def->ml_name, fn) < 0) {
                Py_DECREF(fn);
                return -1;
            }
        }
        return 0;
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velatro::python

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&velatro::python::kModule);
}
