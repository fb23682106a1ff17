// The velatro._engine module: the columnar entry points of the engine. It shares the
// PanicException type of velatro._native, so one `except` catches a broken invariant
// from either module.
#include <cstdio>
#include <cstdlib>

#include "python/engine/block_counts_function.hpp"
#include "python/engine/engine_functions.hpp"
#include "python/engine/entities_function.hpp"
#include "python/engine/training_functions.hpp"

namespace velatro::python {
namespace {

PyMethodDef kFunctions[] = {
    {"reconcile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_reconcile)),
     METH_VARARGS | METH_KEYWORDS,
     "reconcile(yaml_str, records, threads=0, profile=False, max_pairs=0, max_block_size=0, "
     "max_result_bytes=0, progress=None)\n--\n\n"
     "Runs the spec over an Arrow stream of canonical records; returns the clusters, pairs\n"
     "and golden-record tables as Arrow stream capsules, the telemetry and the score\n"
     "column names, and with profile=True the engine's own stage timings and counts. A\n"
     "non-zero budget is checked from the block keys before any pair is compared."},
    {"check_spec",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_check_spec)),
     METH_VARARGS | METH_KEYWORDS,
     "check_spec(yaml_str)\n--\n\n"
     "Reads and compiles the spec as a run would; raises ValueError when it cannot."},
    {"block_census",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_block_census)),
     METH_VARARGS | METH_KEYWORDS,
     "block_census(yaml_str, records, largest=10, sample_pairs=2000, max_pairs=0, "
     "max_block_size=0)\n--\n\n"
     "Blocks, pairs per blocking key, the largest blocks and the measured cost of a sample\n"
     "of pairs, before any full comparison; raises ValueError when a non-zero budget breaks."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_explain)),
     METH_VARARGS | METH_KEYWORDS,
     "explain(yaml_str, records)\n--\n\n"
     "The full decision of the pair formed by a two-record Arrow stream, or None when\n"
     "temporal validity keeps the pair from being compared."},
    {"reconcile_entities",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_reconcile_entities)),
     METH_VARARGS | METH_KEYWORDS,
     "reconcile_entities(yaml_str, entities_json, threads=0, progress=None)\n--\n\n"
     "reconcile_local's run on a JSON entity list, interruptible, with progress; returns\n"
     "(reconcile_local's result, the engine's log events with their counts)."},
    {"block_key_counts",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_block_key_counts)),
     METH_VARARGS | METH_KEYWORDS,
     "block_key_counts(yaml_str, records, largest=5)\n--\n\n"
     "The blocks each blocking key forms on an Arrow stream of canonical records, before\n"
     "any pair is compared: per key its blocks, pairs, records and largest blocks; the\n"
     "run's blocks and pair evaluations; records without a key or with a repeated one."},
    {"train", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_train)),
     METH_VARARGS | METH_KEYWORDS,
     "train(yaml_str, records, *, max_random_pairs=-1, max_iterations=-1, seed=0,\n"
     "      convergence_threshold=nan, threads=0, em_blocking=None, labels=None,\n"
     "      set_thresholds=True)\n--\n\n"
     "Learns the spec's Fellegi-Sunter model from an Arrow stream of canonical records;\n"
     "returns the learned spec text and the training report."},
    {"waterfall",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_engine_waterfall)),
     METH_VARARGS | METH_KEYWORDS,
     "waterfall(yaml_str, records, a, b)\n--\n\n"
     "The match weights of the pair of records at positions a and b, under comparison\n"
     "levels, with term frequencies counted over all the records."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    try {
        if (!panic_exception_type) {
            Ref native(PyImport_ImportModule("velatro._native"));
            if (!native) return -1;
            panic_exception_type = PyObject_GetAttrString(native.get(), "PanicException");
            if (!panic_exception_type) return -1;
        }
        return PyModule_AddFunctions(module, kFunctions);
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
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Columnar entry points of the velatro engine.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velatro::python

PyMODINIT_FUNC PyInit__engine(void) {
    return PyModuleDef_Init(&velatro::python::kModule);
}
