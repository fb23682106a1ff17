// block_key_counts(yaml_str, records, largest=5): the blocks each blocking key forms on
// the records, computed by the engine's own blocking so the texts are exactly a run's.
#include "python/engine/block_counts_function.hpp"

#include <exception>
#include <string>
#include <utility>

#include "columnar/record_reader.hpp"
#include "engine/blocking/block_counts.hpp"
#include "engine/compiler.hpp"
#include "engine/reconciliation_engine.hpp"
#include "python/engine/arrow_capsule.hpp"
#include "spec/reader.hpp"

namespace velatro::python {
namespace {

engine::BlockCounts count(std::string_view yaml, PyObject* records, std::size_t largest) {
    const plan::IdentityPlan plan = engine::SpecCompiler::compile(spec::read_identity_spec(yaml));
    const engine::ReconciliationEngine eng = engine::ReconciliationEngine::from_plan(plan);
    ArrowArrayStream stream{};
    if (!take_stream(records, &stream)) throw PythonError();
    const std::vector<engine::NormalizedEntity> entities = columnar::read_records(&stream);
    engine::BlockCounts out;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { out = engine::count_blocks(eng, entities, largest); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
    return out;
}

// Sets key to a new reference; false (with an error set) when value is null or fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* key_to_py(const engine::KeyBlockCounts& key) {
    Ref largest(PyList_New(0));
    if (!largest) return nullptr;
    for (const auto& block : key.largest) {
        Ref item(Py_BuildValue("(s#K)", block.key.data(), static_cast<Py_ssize_t>(block.key.size()),
                               static_cast<unsigned long long>(block.records)));
        if (!item || PyList_Append(largest.get(), item.get()) < 0) return nullptr;
    }
    Ref out(PyDict_New());
    if (!out || !put(out.get(), "key_index", PyLong_FromLongLong(key.key_index)) ||
        !put(out.get(), "blocks", PyLong_FromUnsignedLongLong(key.blocks)) ||
        !put(out.get(), "pairs", PyLong_FromUnsignedLongLong(key.pairs)) ||
        !put(out.get(), "records", PyLong_FromUnsignedLongLong(key.records)) ||
        !put(out.get(), "largest", largest.release()))
        return nullptr;
    return out.release();
}

PyObject* counts_to_py(const engine::BlockCounts& counts) {
    Ref keys(PyList_New(0));
    if (!keys) return nullptr;
    for (const auto& key : counts.keys) {
        Ref item(key_to_py(key));
        if (!item || PyList_Append(keys.get(), item.get()) < 0) return nullptr;
    }
    Ref out(PyDict_New());
    if (!out || !put(out.get(), "keys", keys.release()) ||
        !put(out.get(), "blocks", PyLong_FromUnsignedLongLong(counts.blocks)) ||
        !put(out.get(), "pairs", PyLong_FromUnsignedLongLong(counts.pairs)) ||
        !put(out.get(), "records_without_key",
             PyLong_FromUnsignedLongLong(counts.records_without_key)) ||
        !put(out.get(), "records_with_repeated_key",
             PyLong_FromUnsignedLongLong(counts.records_with_repeated_key)))
        return nullptr;
    return out.release();
}

}  // namespace

PyObject* fn_engine_block_key_counts(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kNames[] = {"yaml_str", "records", "largest", nullptr};
    const char* yaml = nullptr;
    Py_ssize_t yaml_len = 0;
    PyObject* records = nullptr;
    Py_ssize_t largest = 5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#O|n:block_key_counts",
                                     const_cast<char**>(kNames), &yaml, &yaml_len, &records,
                                     &largest))
        return nullptr;
    if (largest < 0) {
        PyErr_SetString(PyExc_ValueError, "largest: expected a non-negative integer");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const auto counts = count(std::string_view(yaml, static_cast<std::size_t>(yaml_len)),
                                  records, static_cast<std::size_t>(largest));
        return counts_to_py(counts);
    });
}

}  // namespace velatro::python
