// The columnar entry points: records in as Arrow batches, results out as Arrow tables.
// Everything heavy (reading records, the run, clustering, golden records, building the
// tables) runs without the interpreter lock; only the hand-over of capsules needs it.
#include "python/engine/engine_functions.hpp"

#include <tbb/task_arena.h>

#include "columnar/result_tables.hpp"
#include "engine/block_census.hpp"
#include "engine/run/pipeline.hpp"
#include "engine/temporal.hpp"
#include "engine/training/training_report.hpp"
#include "python/convert.hpp"
#include "python/engine/arrow_capsule.hpp"
#include "python/engine/interruptible_run.hpp"
#include "python/engine/run_log.hpp"
#include "python/engine/spec_engine.hpp"

namespace velatro::python {
namespace {

columnar::ResultTables run_tables(const CompiledSpec& compiled,
                                  std::vector<engine::NormalizedEntity> entities,
                                  const engine::RunOptions& options,
                                  const engine::RunBudget& budget) {
    columnar::TableSink sink(compiled.engine);
    // The sink builds its tables on the threads of this arena.
    tbb::task_arena arena(options.threads ? static_cast<int>(options.threads)
                                          : tbb::task_arena::automatic);
    arena.execute([&] {
        // Key counts (and, only for a run that might outgrow memory, a timed sample):
        // no pair is judged for the result before the budget is known to hold.
        engine::check_run_budget(compiled.engine, entities, budget);
        const engine::OverrideResolver overrides;
        engine::reconcile(compiled.engine, compiled.plan.survivorship, std::move(entities),
                          overrides, options, sink);
    });
    return std::move(sink).take();
}

PyObject* reconcile(std::string_view yaml, PyObject* records, std::size_t threads, bool profile,
                    const engine::RunBudget& budget, PyObject* progress) {
    const RunLog log;  // the compiler's events too
    const CompiledSpec compiled = compile_spec(yaml);
    std::vector<engine::NormalizedEntity> entities = read_records_arg(records);
    columnar::ResultTables tables;
    engine::RunOptions options;
    options.threads = threads;
    options.profile = profile;
    if (!run_interruptible(options, progress, [&](const engine::RunOptions& o) {
            tables = run_tables(compiled, std::move(entities), o, budget);
        }))
        return nullptr;

    Ref result(PyDict_New());
    if (!result) return nullptr;
    auto put = [&](const char* key, PyObject* value) {
        if (!value) return false;
        const int rc = PyDict_SetItemString(result.get(), key, value);
        Py_DECREF(value);
        return rc == 0;
    };
    if (!put("clusters", stream_capsule(std::move(tables.clusters))) ||
        !put("pairs", stream_capsule(std::move(tables.pairs))) ||
        !put("golden_records", stream_capsule(std::move(tables.golden))) ||
        !put("telemetry", json_value_to_py(engine::to_value(tables.telemetry))) ||
        !put("score_columns", string_list_to_py(columnar::score_column_names(compiled.engine))) ||
        !put("score_distribution",
             tables.telemetry.score_distribution
                 ? json_value_to_py(engine::training::to_value(*tables.telemetry.score_distribution))
                 : Py_NewRef(Py_None)))
        return nullptr;
    if (tables.profile && !put("profile", json_value_to_py(engine::to_value(*tables.profile))))
        return nullptr;
    if (!put("log", log.to_py())) return nullptr;
    return result.release();
}

// The full decision of one pair, explanations included, exactly as the run would
// judge it; the pair need not have been kept.
PyObject* explain(std::string_view yaml, PyObject* records) {
    const CompiledSpec compiled = compile_spec(yaml);
    const std::vector<engine::NormalizedEntity> entities = read_records_arg(records);
    if (entities.size() != 2) throw velatro::Error("explain takes exactly two records");
    const engine::NormalizedEntity& a = entities[0];
    const engine::NormalizedEntity& b = entities[1];
    const engine::TemporalResult t = compiled.engine.temporal_matcher().evaluate(a, b);
    if (t.outcome == engine::TemporalOutcome::Invalid && t.factor == 0.0) Py_RETURN_NONE;
    const engine::OverrideResolver overrides;
    const engine::MatchDecision d = compiled.engine.evaluate_pair(a, b, overrides, t.factor);
    return json_value_to_py(engine::to_value(d));
}

}  // namespace

PyObject* fn_engine_reconcile(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str",         "records",   "threads",
                                   "profile",          "max_pairs", "max_block_size",
                                   "max_result_bytes", "progress",  nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    PyObject* records = nullptr;
    Py_ssize_t threads = 0;
    int profile = 0;
    unsigned long long max_pairs = 0, max_block_size = 0, max_result_bytes = 0;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#O|npKKKO:reconcile",
                                     const_cast<char**>(kNames), &yaml, &yaml_len, &records,
                                     &threads, &profile, &max_pairs, &max_block_size,
                                     &max_result_bytes, &progress))
        return nullptr;
    if (progress != Py_None && !PyCallable_Check(progress)) {
        PyErr_SetString(PyExc_TypeError, "progress must be a callable or None");
        return nullptr;
    }
    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be 0 (all processors) or more");
        return nullptr;
    }
    return guarded([&] {
        return reconcile(std::string_view(yaml, static_cast<std::size_t>(yaml_len)), records,
                         static_cast<std::size_t>(threads), profile != 0,
                         engine::RunBudget{max_pairs, max_block_size, max_result_bytes}, progress);
    });
}

PyObject* fn_engine_check_spec(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#:check_spec", const_cast<char**>(kNames),
                                     &yaml, &yaml_len))
        return nullptr;
    return guarded([&]() -> PyObject* {
        compile_spec(std::string_view(yaml, static_cast<std::size_t>(yaml_len)));
        Py_RETURN_NONE;
    });
}

PyObject* fn_engine_explain(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str", "records", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    PyObject* records = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#O:explain", const_cast<char**>(kNames), &yaml,
                                     &yaml_len, &records))
        return nullptr;
    return guarded([&] {
        return explain(std::string_view(yaml, static_cast<std::size_t>(yaml_len)), records);
    });
}

}  // namespace velatro::python
