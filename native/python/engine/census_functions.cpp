// block_census: the cost of a run, from the block index and a timed sample of its pairs,
// before any full comparison starts.
#include "engine/block_census.hpp"
#include "python/convert.hpp"
#include "python/engine/engine_functions.hpp"
#include "python/engine/spec_engine.hpp"

namespace velatro::python {
namespace {

// Builds a dict from (key, new reference) pairs; nullptr with the error set on failure.
class DictBuilder {
  public:
    DictBuilder() : dict_(PyDict_New()) {}
    DictBuilder& put(const char* key, PyObject* value) {
        if (dict_ && (!value || PyDict_SetItemString(dict_.get(), key, value) < 0)) dict_ = Ref();
        Py_XDECREF(value);
        return *this;
    }
    PyObject* release() { return dict_.release(); }

  private:
    Ref dict_;
};

PyObject* count(std::uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}

PyObject* definitions_to_py(const engine::BlockCensus& c) {
    Ref list(PyList_New(0));
    for (const auto& d : c.definitions) {
        PyObject* item = DictBuilder()
                             .put("key", str_to_py(d.label))
                             .put("repeats", count(d.repeats))
                             .put("records", count(d.records))
                             .put("entries", count(d.entries))
                             .put("blocks", count(d.blocks))
                             .put("pairs", count(d.pairs))
                             .put("largest_block", count(d.largest_block))
                             .release();
        if (!item || PyList_Append(list.get(), item) < 0) {
            Py_XDECREF(item);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list.release();
}

PyObject* largest_to_py(const engine::BlockCensus& c) {
    Ref list(PyList_New(0));
    for (const auto& b : c.largest) {
        std::vector<std::string> labels;
        for (std::size_t d : b.definitions) labels.push_back(c.definitions[d].label);
        PyObject* item = DictBuilder()
                             .put("block", str_to_py(b.key))
                             .put("size", count(b.size))
                             .put("pairs", count(b.pairs))
                             .put("keys", string_list_to_py(labels))
                             .release();
        if (!item || PyList_Append(list.get(), item) < 0) {
            Py_XDECREF(item);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list.release();
}

PyObject* census(std::string_view yaml, PyObject* records, engine::CensusOptions options,
                 const engine::RunBudget& budget) {
    const CompiledSpec compiled = compile_spec(yaml);
    const std::vector<engine::NormalizedEntity> entities = read_records_arg(records);
    engine::BlockCensus c;
    without_lock([&] {
        c = engine::take_census(compiled.engine, entities, options);
        engine::check_budget(c, budget);
    });
    return DictBuilder()
        .put("records", count(c.records))
        .put("records_blocked", count(c.records_blocked))
        .put("blocks", count(c.blocks))
        .put("candidate_pairs", count(c.candidate_pairs))
        .put("evaluated_pairs", count(c.evaluated_pairs))
        .put("evaluated_exact", PyBool_FromLong(c.evaluated_exact))
        .put("keys", definitions_to_py(c))
        .put("largest_blocks", largest_to_py(c))
        .put("sampled_pairs", count(c.sampled_pairs))
        .put("seconds_per_pair", PyFloat_FromDouble(c.seconds_per_pair))
        .put("seconds_per_record", PyFloat_FromDouble(c.seconds_per_record))
        .put("kept_fraction", PyFloat_FromDouble(c.kept_fraction))
        .put("rules", PyLong_FromSize_t(compiled.engine.rules().size()))
        .release();
}

}  // namespace

PyObject* fn_engine_block_census(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str",  "records",        "largest", "sample_pairs",
                                   "max_pairs", "max_block_size", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    PyObject* records = nullptr;
    Py_ssize_t largest = 10, sample = 2000;
    unsigned long long max_pairs = 0, max_block_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#O|nnKK:block_census",
                                     const_cast<char**>(kNames), &yaml, &yaml_len, &records,
                                     &largest, &sample, &max_pairs, &max_block_size))
        return nullptr;
    if (largest < 1 || sample < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "largest must be 1 or more and sample_pairs not negative");
        return nullptr;
    }
    engine::CensusOptions options;
    options.largest = static_cast<std::size_t>(largest);
    options.sample_pairs = static_cast<std::size_t>(sample);
    if (sample == 0) options.exact_limit = 0;  // counts only: no pair is looked at
    return guarded([&] {
        return census(std::string_view(yaml, static_cast<std::size_t>(yaml_len)), records, options,
                      engine::RunBudget{max_pairs, max_block_size});
    });
}

}  // namespace velatro::python
