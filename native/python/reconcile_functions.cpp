// reconcile_local: read and compile the identity spec, read the records, and run the
// pipeline with the interpreter lock released into a sink of Python objects.
#include <exception>

#include "engine/compiler.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/pipeline.hpp"
#include "python/functions.hpp"
#include "python/object_sink.hpp"
#include "spec/reader.hpp"

namespace velatro::python {
namespace {

// Runs work with the interpreter lock released; a failure is carried across the lock
// boundary and rethrown once the lock is held again.
template <class Work>
void without_lock(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
}

template <class T, class Step>
T with_prefix(const char* prefix, Step&& step) {
    try {
        return step();
    } catch (const velatro::Error& e) {
        throw velatro::Error(prefix + std::string(e.what()));
    }
}

PyObject* reconcile(std::string_view yaml, std::string_view entities_json) {
    const auto spec = with_prefix<spec::IdentitySpec>(
        "Invalid spec YAML: ", [&] { return spec::read_identity_spec(yaml); });
    engine::CompiledExpression expression;
    const auto plan = with_prefix<plan::IdentityPlan>(
        "Compilation error: ", [&] { return engine::SpecCompiler::compile(spec, expression); });
    const auto eng = engine::ReconciliationEngine::from_plan(plan, std::move(expression));
    auto entities = with_prefix<std::vector<engine::NormalizedEntity>>(
        "Invalid entities JSON: ", [&] { return engine::read_entities(entities_json); });

    // The run touches only what this call owns; the sink takes the lock back whenever it
    // creates Python objects.
    ObjectSink sink;
    const engine::OverrideResolver overrides;
    without_lock([&] {
        engine::reconcile(eng, plan.survivorship, std::move(entities), overrides, {}, sink);
    });
    return sink.result();
}

}  // namespace

PyObject* fn_reconcile_local(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kNames{"yaml_str", "entities_json", nullptr};
    std::array<std::string_view, 2> in;
    if (!bind_str_args<2>(args, kwargs, "OO:reconcile_local", kNames, in)) return nullptr;
    return guarded([&] { return reconcile(in[0], in[1]); });
}

}  // namespace velatro::python
