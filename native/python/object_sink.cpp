#include "python/object_sink.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "python/convert.hpp"

namespace velatro::python {
namespace {

void check(bool ok) {
    if (!ok) throw PythonError{};
}

Ref new_list(std::size_t size) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(size)));
    check(static_cast<bool>(list));
    return list;
}

}  // namespace

ObjectSink::ObjectSink() : gc_was_enabled_(PyGC_Disable()) {}

ObjectSink::~ObjectSink() {
    if (gc_was_enabled_) PyGC_Enable();
}

void ObjectSink::clusters(const engine::Clustering& clustering,
                          const std::vector<engine::NormalizedEntity>&) {
    HoldLock lock;
    clusters_ = Ref(writer_.clusters(clustering.clusters));
    check(static_cast<bool>(clusters_));
    golden_records_ = new_list(clustering.clusters.size());
}

void ObjectSink::golden_records(std::size_t first, std::span<engine::GoldenRecord> records) {
    HoldLock lock;
    for (std::size_t k = 0; k < records.size(); ++k) {
        PyObject* record = writer_.golden_record(records[k]);
        check(record != nullptr);
        PyList_SET_ITEM(golden_records_.get(), static_cast<Py_ssize_t>(first + k), record);
    }
}

void ObjectSink::begin_decisions(std::size_t count) {
#if defined(__GLIBC__)
    // The run has just released the records' data. The Python objects come from the
    // interpreter's own arenas, which cannot reuse that heap; hand it back instead.
    malloc_trim(0);
#endif
    HoldLock lock;
    decisions_ = new_list(count);
}

void ObjectSink::decisions(const engine::DecisionBatch& batch) {
    // The texts are built on the run's threads without the lock, then converted with it.
    chunk_.resize(batch.pairs.size());
    batch.results.expand(batch.pairs, chunk_);
    HoldLock lock;
    for (std::size_t i = 0; i < chunk_.size(); ++i) {
        PyObject* d = writer_.decision(chunk_[i]);
        check(d != nullptr);
        PyList_SET_ITEM(decisions_.get(), static_cast<Py_ssize_t>(batch.first + i), d);
    }
}

void ObjectSink::telemetry(const engine::ReconciliationTelemetry& telemetry,
                           const engine::RunProfile*) {
    HoldLock lock;
    telemetry_ = Ref(json_value_to_py(engine::to_value(telemetry)));
    check(static_cast<bool>(telemetry_));
}

PyObject* ObjectSink::result() {
    Ref result(PyDict_New());
    if (!result) return nullptr;
    // Keys in ascending order.
    const std::pair<const char*, Ref*> items[] = {{"clusters", &clusters_},
                                                  {"decisions", &decisions_},
                                                  {"golden_records", &golden_records_},
                                                  {"telemetry", &telemetry_}};
    for (const auto& [key, value] : items) {
        if (PyDict_SetItemString(result.get(), key, value->get()) < 0) return nullptr;
        *value = Ref();
    }
    return result.release();
}

}  // namespace velatro::python
