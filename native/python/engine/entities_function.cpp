#include "python/engine/entities_function.hpp"

#include <string>
#include <utility>

#include "engine/compiler.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/pipeline.hpp"
#include "python/engine/interruptible_run.hpp"
#include "python/engine/run_log.hpp"
#include "python/object_sink.hpp"
#include "spec/reader.hpp"

namespace velatro::python {
namespace {

template <class T, class Step>
T with_prefix(const char* prefix, Step&& step) {
    try {
        return step();
    } catch (const velatro::Error& e) {
        throw velatro::Error(prefix + std::string(e.what()));
    }
}

// The steps and messages of reconcile_local, in its order: spec, compilation, entities.
PyObject* reconcile_entities(std::string_view yaml, std::string_view entities_json,
                             std::size_t threads, PyObject* progress) {
    const RunLog log;
    const auto spec = with_prefix<spec::IdentitySpec>(
        "Invalid spec YAML: ", [&] { return spec::read_identity_spec(yaml); });
    engine::CompiledExpression expression;
    const auto plan = with_prefix<plan::IdentityPlan>(
        "Compilation error: ", [&] { return engine::SpecCompiler::compile(spec, expression); });
    const auto eng = engine::ReconciliationEngine::from_plan(plan, std::move(expression));
    auto entities = with_prefix<std::vector<engine::NormalizedEntity>>(
        "Invalid entities JSON: ", [&] { return engine::read_entities(entities_json); });

    ObjectSink sink;
    engine::RunOptions options;
    options.threads = threads;
    const engine::OverrideResolver overrides;
    if (!run_interruptible(options, progress, [&](const engine::RunOptions& o) {
            engine::reconcile(eng, plan.survivorship, std::move(entities), overrides, o, sink);
        }))
        return nullptr;
    Ref result(sink.result());
    if (!result) return nullptr;
    Ref events(log.to_py());
    if (!events) return nullptr;
    return Py_BuildValue("(OO)", result.get(), events.get());
}

}  // namespace

PyObject* fn_engine_reconcile_entities(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str", "entities_json", "threads", "progress", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    const char* json = nullptr;
    Py_ssize_t json_len = 0;
    Py_ssize_t threads = 0;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#s#|nO:reconcile_entities",
                                     const_cast<char**>(kNames), &yaml, &yaml_len, &json, &json_len,
                                     &threads, &progress))
        return nullptr;
    if (threads < 0 || (progress != Py_None && !PyCallable_Check(progress))) {
        PyErr_SetString(PyExc_ValueError, "threads must be 0 or more and progress callable");
        return nullptr;
    }
    return guarded([&] {
        return reconcile_entities(std::string_view(yaml, static_cast<std::size_t>(yaml_len)),
                                  std::string_view(json, static_cast<std::size_t>(json_len)),
                                  static_cast<std::size_t>(threads), progress);
    });
}

}  // namespace velatro::python
