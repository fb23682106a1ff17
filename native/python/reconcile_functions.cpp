// reconcile_local: read and compile the identity spec, read the records, run the
// engine with the interpreter lock released, cluster, build golden records.
#include <exception>

#include "engine/compiler.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run.hpp"
#include "engine/survivorship.hpp"
#include "python/convert.hpp"
#include "python/functions.hpp"
#include "spec/reader.hpp"

namespace velatro::python {
namespace {

document::Value reconcile(std::string_view yaml, std::string_view entities_json) {
    spec::IdentitySpec spec;
    try {
        spec = spec::read_identity_spec(yaml);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Invalid spec YAML: ") + e.what());
    }
    plan::IdentityPlan plan;
    try {
        plan = engine::SpecCompiler::compile(spec);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Compilation error: ") + e.what());
    }
    const engine::ReconciliationEngine eng = engine::ReconciliationEngine::from_plan(plan);

    std::vector<engine::NormalizedEntity> entities;
    try {
        entities = engine::read_entities(entities_json);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Invalid entities JSON: ") + e.what());
    }

    // The long part runs without the interpreter lock; it touches only what this
    // call owns. Any failure is carried across the lock boundary and rethrown.
    const engine::OverrideResolver overrides;
    engine::RunResult run;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        run = engine::reconcile_with_telemetry(eng, entities, overrides);
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);

    engine::Clustering clustering = engine::cluster_decisions(entities, run.decisions);

    document::Array clusters;
    document::Array golden;
    clusters.reserve(clustering.clusters.size());
    golden.reserve(clustering.clusters.size());
    for (std::size_t k = 0; k < clustering.clusters.size(); ++k) {
        document::Array ids;
        for (const auto& id : clustering.clusters[k]) ids.emplace_back(id.to_string());
        clusters.emplace_back(std::move(ids));
        // Built from the very records clustering placed in the cluster, so two records
        // sharing an id each keep their own data.
        golden.push_back(engine::golden_record_to_value(
            engine::golden_record(entities, clustering.members[k], plan.survivorship)));
    }
    document::Array decisions;
    decisions.reserve(run.decisions.size());
    for (const auto& d : run.decisions) decisions.push_back(engine::to_value(d));

    document::Object result;
    result.emplace("clusters", std::move(clusters));
    result.emplace("decisions", std::move(decisions));
    result.emplace("golden_records", std::move(golden));
    result.emplace("telemetry", engine::to_value(run.telemetry));
    return document::Value(std::move(result));
}

}  // namespace

PyObject* fn_reconcile_local(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kNames{"yaml_str", "entities_json", nullptr};
    std::array<std::string_view, 2> in;
    if (!bind_str_args<2>(args, kwargs, "OO:reconcile_local", kNames, in)) return nullptr;
    return guarded([&] { return json_value_to_py(reconcile(in[0], in[1])); });
}

}  // namespace velatro::python
