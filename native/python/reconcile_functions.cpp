// reconcile_local: read and compile the identity spec, read the records, run the
// engine with the interpreter lock released, cluster, build golden records.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <exception>

#include "engine/compiler.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run.hpp"
#include "engine/survivorship.hpp"
#include "python/convert.hpp"
#include "python/functions.hpp"
#include "python/result_writer.hpp"
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

// Results are finished in chunks: the C++ side of a chunk (decision texts, golden
// records) is built in parallel without the lock, then turned into Python objects
// with it. Chunks keep the intermediate records few.
constexpr std::size_t kChunk = 16384;

template <class Build, class Convert>
bool in_chunks(std::size_t count, Build&& build, Convert&& convert) {
    for (std::size_t begin = 0; begin < count; begin += kChunk) {
        const std::size_t end = std::min(count, begin + kChunk);
        without_lock([&] {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, 256), [&](const auto& r) {
                for (std::size_t i = r.begin(); i < r.end(); ++i) build(i);
            });
        });
        for (std::size_t i = begin; i < end; ++i)
            if (!convert(i)) return false;
    }
    return true;
}

PyObject* reconcile(std::string_view yaml, std::string_view entities_json) {
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
    engine::CompactRun run;
    without_lock([&] { run = engine::reconcile_compact(eng, entities, overrides); });

    engine::Clustering clustering = engine::cluster_decisions(entities, run);

    // Millions of new containers would otherwise trigger collections that find nothing
    // to collect; the collector's previous state is restored on every exit path.
    struct GcPause {
        int was_enabled = PyGC_Disable();
        ~GcPause() {
            if (was_enabled) PyGC_Enable();
        }
    } gc_pause;

    ResultWriter writer;
    Ref result(PyDict_New());
    if (!result) return nullptr;
    auto put = [&](const char* key, PyObject* value) {
        if (!value) return false;
        int rc = PyDict_SetItemString(result.get(), key, value);
        Py_DECREF(value);
        return rc == 0;
    };
    Ref clusters(writer.clusters(clustering.clusters));
    if (!clusters) return nullptr;

    Ref golden(PyList_New(static_cast<Py_ssize_t>(clustering.clusters.size())));
    if (!golden) return nullptr;
    {
        std::vector<engine::GoldenRecord> records(std::min(kChunk, clustering.clusters.size()));
        const bool ok = in_chunks(
            clustering.clusters.size(),
            [&](std::size_t k) {
                // Built from the very records clustering placed in the cluster, so two
                // records sharing an id each keep their own data.
                records[k % kChunk] =
                    engine::golden_record(entities, clustering.members[k], plan.survivorship);
            },
            [&](std::size_t k) {
                PyObject* record = writer.golden_record(records[k % kChunk]);
                if (record) PyList_SET_ITEM(golden.get(), static_cast<Py_ssize_t>(k), record);
                return record != nullptr;
            });
        if (!ok) return nullptr;
    }
    clustering = {};

    // Decisions need nothing of the records but their ids: let the records' data go
    // before the largest part of the result is built.
    {
        std::vector<engine::NormalizedEntity> ids(entities.size());
        for (std::size_t i = 0; i < entities.size(); ++i) ids[i].id = entities[i].id;
        entities = std::move(ids);
    }
#if defined(__GLIBC__)
    // The Python objects come from the interpreter's own arenas, which cannot reuse
    // the heap the records freed; hand it back to the system instead.
    malloc_trim(0);
#endif
    Ref decisions(PyList_New(static_cast<Py_ssize_t>(run.pairs.size())));
    if (!decisions) return nullptr;
    {
        std::vector<engine::MatchDecision> chunk(std::min(kChunk, run.pairs.size()));
        const bool ok = in_chunks(
            run.pairs.size(),
            [&](std::size_t i) {
                chunk[i % kChunk] = engine::expand(eng, entities, run, run.pairs[i]);
            },
            [&](std::size_t i) {
                PyObject* d = writer.decision(chunk[i % kChunk]);
                if (d) PyList_SET_ITEM(decisions.get(), static_cast<Py_ssize_t>(i), d);
                return d != nullptr;
            });
        if (!ok) return nullptr;
    }

    // Keys in ascending order: clusters, decisions, golden_records, telemetry.
    if (!put("clusters", clusters.release()) || !put("decisions", decisions.release()) ||
        !put("golden_records", golden.release()) ||
        !put("telemetry", json_value_to_py(engine::to_value(run.telemetry))))
        return nullptr;
    return result.release();
}

}  // namespace

PyObject* fn_reconcile_local(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kNames{"yaml_str", "entities_json", nullptr};
    std::array<std::string_view, 2> in;
    if (!bind_str_args<2>(args, kwargs, "OO:reconcile_local", kNames, in)) return nullptr;
    return guarded([&] { return reconcile(in[0], in[1]); });
}

}  // namespace velatro::python
