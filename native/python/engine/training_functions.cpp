// Training runs on the records without the interpreter lock; only reading the arguments
// and building the result dictionaries need it.
#include "python/engine/training_functions.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "engine/model/term_frequencies.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/training/learned_spec.hpp"
#include "engine/training/trainer.hpp"
#include "engine/training/training_report.hpp"
#include "python/convert.hpp"
#include "python/engine/spec_engine.hpp"
#include "spec/reader.hpp"

namespace velatro::python {
namespace {

namespace tr = engine::training;

spec::IdentitySpec read_spec(std::string_view yaml) {
    try {
        return spec::read_identity_spec(yaml);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Invalid spec YAML: ") + e.what());
    }
}

std::string text_of(PyObject* item, const char* what) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: expected str", what);
        throw PythonError();
    }
    return std::string(text, static_cast<std::size_t>(size));
}

// A list of lists of field names.
std::vector<std::vector<std::string>> key_lists(PyObject* keys) {
    std::vector<std::vector<std::string>> out;
    if (keys == Py_None) return out;
    Ref outer(PySequence_Fast(keys, "em_blocking: expected a list of lists of field names"));
    if (!outer) throw PythonError();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(outer.get()); ++i) {
        Ref inner(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), i),
                                  "em_blocking: expected a list of lists of field names"));
        if (!inner) throw PythonError();
        std::vector<std::string> fields;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(inner.get()); ++j)
            fields.push_back(text_of(PySequence_Fast_GET_ITEM(inner.get(), j), "em_blocking"));
        out.push_back(std::move(fields));
    }
    return out;
}

// A list of (record position, record position, is a match).
std::vector<tr::LabelledPair> labelled_pairs(PyObject* labels) {
    std::vector<tr::LabelledPair> out;
    if (labels == Py_None) return out;
    Ref list(PySequence_Fast(labels, "labels: expected a list of (row, row, match)"));
    if (!list) throw PythonError();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i) {
        Py_ssize_t a = 0, b = 0;
        int match = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(list.get(), i), "nnp", &a, &b, &match))
            throw PythonError();
        if (a < 0 || b < 0) throw velatro::Error("labels: record positions are not negative");
        out.push_back({static_cast<std::size_t>(a), static_cast<std::size_t>(b), match != 0});
    }
    return out;
}

struct TrainArgs {
    std::string_view yaml;
    PyObject* records = nullptr;
    long long max_random_pairs = -1, max_iterations = -1, seed = 0;
    double convergence_threshold = NAN;
    Py_ssize_t threads = 0;
    PyObject* em_blocking = Py_None;
    PyObject* labels = Py_None;
    int set_thresholds = 1;
};

tr::TrainingOptions options_of(const spec::IdentitySpec& spec, const TrainArgs& a) {
    tr::TrainingOptions options = tr::options_from(spec);
    if (a.max_random_pairs >= 0)
        options.max_random_pairs = static_cast<std::uint64_t>(a.max_random_pairs);
    if (a.max_iterations >= 0)
        options.max_iterations = static_cast<std::uint64_t>(a.max_iterations);
    if (!std::isnan(a.convergence_threshold))
        options.convergence_threshold = a.convergence_threshold;
    options.seed = static_cast<std::uint64_t>(a.seed);
    options.threads = static_cast<std::size_t>(a.threads);
    options.em_blocking = key_lists(a.em_blocking);
    options.labelled_pairs = labelled_pairs(a.labels);
    return options;
}

PyObject* train(const TrainArgs& a) {
    const spec::IdentitySpec spec = read_spec(a.yaml);
    const tr::TrainingOptions options = options_of(spec, a);
    const std::vector<engine::NormalizedEntity> entities = read_records_arg(a.records);
    tr::TrainingResult result;
    std::string learned;
    without_lock([&] {
        result = tr::train(spec, entities, options);
        learned = tr::learned_spec(a.yaml, result, a.set_thresholds != 0);
    });
    Ref out(PyDict_New());
    Ref yaml(PyUnicode_FromStringAndSize(learned.data(), static_cast<Py_ssize_t>(learned.size())));
    Ref report(json_value_to_py(tr::to_value(result)));
    if (!out || !yaml || !report || PyDict_SetItemString(out.get(), "spec_yaml", yaml.get()) != 0 ||
        PyDict_SetItemString(out.get(), "report", report.get()) != 0)
        return nullptr;
    return out.release();
}

PyObject* waterfall(std::string_view yaml, PyObject* records, Py_ssize_t a, Py_ssize_t b) {
    const CompiledSpec compiled = compile_spec(yaml);
    const engine::ReconciliationEngine& engine = compiled.engine;
    const engine::LevelModel* model = engine.level_model();
    if (!model) throw velatro::Error("the spec does not score by comparison levels");
    const std::vector<engine::NormalizedEntity> entities = read_records_arg(records);
    const auto n = static_cast<Py_ssize_t>(entities.size());
    if (a < 0 || b < 0 || a >= n || b >= n) throw velatro::Error("record position out of range");
    document::Value value;
    without_lock([&] {
        // Frequencies over all the records, as the run counts them.
        engine::TermFrequencies tf;
        if (model->needs_term_frequencies()) tf = engine::TermFrequencies::count(*model, entities);
        const auto w = engine.waterfall(entities[static_cast<std::size_t>(a)],
                                        entities[static_cast<std::size_t>(b)], &tf);
        value = tr::to_value(w, *model);
    });
    return json_value_to_py(value);
}

}  // namespace

PyObject* fn_engine_train(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str",       "records",     "max_random_pairs",
                                   "max_iterations", "seed",        "convergence_threshold",
                                   "threads",        "em_blocking", "labels",
                                   "set_thresholds", nullptr};
    TrainArgs a;
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "s#O|$LLLdnOOp:train", const_cast<char**>(kNames), &yaml, &yaml_len,
            &a.records, &a.max_random_pairs, &a.max_iterations, &a.seed, &a.convergence_threshold,
            &a.threads, &a.em_blocking, &a.labels, &a.set_thresholds))
        return nullptr;
    if (a.threads < 0) {
        PyErr_SetString(PyExc_ValueError, "threads must be 0 (all processors) or more");
        return nullptr;
    }
    a.yaml = std::string_view(yaml, static_cast<std::size_t>(yaml_len));
    return guarded([&] { return train(a); });
}

PyObject* fn_engine_waterfall(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str", "records", "a", "b", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0, a = 0, b = 0;
    PyObject* records = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#Onn:waterfall", const_cast<char**>(kNames),
                                     &yaml, &yaml_len, &records, &a, &b))
        return nullptr;
    return guarded([&] {
        return waterfall(std::string_view(yaml, static_cast<std::size_t>(yaml_len)), records, a, b);
    });
}

}  // namespace velatro::python
