#include "python/result_writer.hpp"

#include <cmath>
#include <cstring>

#include "python/convert.hpp"

namespace velatro::python {

namespace {
constexpr const char* kKeyTexts[] = {
    "blocking_key",
    "confidence",
    "decision",
    "entity_a_id",
    "entity_b_id",
    "matched_on",
    "posterior_probability",
    "rule_results",
    "temporal_adjustment",
    "explanation",
    "matched",
    "rule_name",
    "score",
    "weight",
};

// Sets an item and drops the value's reference; false with a Python error set.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}
}  // namespace

ResultWriter::ResultWriter() {
    static_assert(sizeof(kKeyTexts) / sizeof(kKeyTexts[0]) == kKeyCount);
    for (int k = 0; k < kKeyCount; ++k) {
        keys_[k] = PyUnicode_InternFromString(kKeyTexts[k]);
        if (!keys_[k]) throw std::bad_alloc();
    }
}

ResultWriter::~ResultWriter() {
    for (PyObject* k : keys_) Py_XDECREF(k);
    for (auto& [text, obj] : shared_) Py_DECREF(obj);
    for (auto& [bits, obj] : numbers_) Py_DECREF(obj);
}

PyObject* ResultWriter::shared_number(double v) {
    if (!std::isfinite(v)) Py_RETURN_NONE;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    auto it = numbers_.find(bits);
    if (it == numbers_.end()) {
        PyObject* f = PyFloat_FromDouble(v);
        if (!f) return nullptr;
        it = numbers_.emplace(bits, f).first;
    }
    return Py_NewRef(it->second);
}

PyObject* ResultWriter::shared(const std::string& text) {
    auto it = shared_.find(text);
    if (it != shared_.end()) return it->second;
    PyObject* s = str_to_py(text);
    if (!s) return nullptr;
    shared_.emplace(text, s);
    return s;
}

PyObject* ResultWriter::number(double v) {
    if (!std::isfinite(v)) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

PyObject* ResultWriter::uuid(const engine::Uuid& id) {
    std::string text;
    text.reserve(36);
    id.append_to(text);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* ResultWriter::rule_result(const engine::RuleResult& r) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    PyObject* name = shared(r.rule_name);
    if (!name) return nullptr;
    Py_INCREF(name);
    // Explanations take few distinct texts per rule (fixed wording, two-decimal scores),
    // so they are shared like names.
    PyObject* explanation = shared(r.explanation);
    if (!explanation) return nullptr;
    Py_INCREF(explanation);
    PyObject* score = r.score == 0.0 || r.score == 1.0 ? shared_number(r.score) : number(r.score);
    if (!put(d.get(), keys_[kExplanation], explanation) ||
        !put(d.get(), keys_[kMatched], PyBool_FromLong(r.matched)) ||
        !put(d.get(), keys_[kRuleName], name) || !put(d.get(), keys_[kScore], score) ||
        !put(d.get(), keys_[kWeight], shared_number(r.weight)))
        return nullptr;
    return d.release();
}

PyObject* ResultWriter::decision(const engine::MatchDecision& m) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    PyObject* blocking = Py_None;
    if (m.blocking_key) {
        blocking = shared(*m.blocking_key);
        if (!blocking) return nullptr;
    }
    Py_INCREF(blocking);
    if (!put(d.get(), keys_[kBlockingKey], blocking) ||
        !put(d.get(), keys_[kConfidence], number(m.confidence)))
        return nullptr;
    PyObject* decision_name = shared(std::string(engine::decision_json_name(m.decision)));
    if (!decision_name) return nullptr;
    Py_INCREF(decision_name);
    if (!put(d.get(), keys_[kDecision], decision_name) ||
        !put(d.get(), keys_[kEntityA], uuid(m.entity_a_id)) ||
        !put(d.get(), keys_[kEntityB], uuid(m.entity_b_id)))
        return nullptr;
    Ref matched(PyList_New(static_cast<Py_ssize_t>(m.matched_on.size())));
    if (!matched) return nullptr;
    for (std::size_t i = 0; i < m.matched_on.size(); ++i) {
        PyObject* s = shared(m.matched_on[i]);
        if (!s) return nullptr;
        Py_INCREF(s);
        PyList_SET_ITEM(matched.get(), static_cast<Py_ssize_t>(i), s);
    }
    if (!put(d.get(), keys_[kMatchedOn], matched.release())) return nullptr;
    if (m.posterior_probability &&
        !put(d.get(), keys_[kPosterior], number(*m.posterior_probability)))
        return nullptr;
    Ref results(PyList_New(static_cast<Py_ssize_t>(m.rule_results.size())));
    if (!results) return nullptr;
    for (std::size_t i = 0; i < m.rule_results.size(); ++i) {
        PyObject* r = rule_result(m.rule_results[i]);
        if (!r) return nullptr;
        PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), r);
    }
    if (!put(d.get(), keys_[kRuleResults], results.release())) return nullptr;
    PyObject* temporal =
        m.temporal_adjustment ? number(*m.temporal_adjustment) : Py_NewRef(Py_None);
    if (!put(d.get(), keys_[kTemporal], temporal)) return nullptr;
    return d.release();
}

PyObject* ResultWriter::clusters(const std::vector<engine::Cluster>& clusters) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(clusters.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        const auto& c = clusters[i];
        PyObject* ids = PyList_New(static_cast<Py_ssize_t>(c.size()));
        if (!ids) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), ids);
        for (std::size_t j = 0; j < c.size(); ++j) {
            PyObject* s = uuid(c[j]);
            if (!s) return nullptr;
            PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(j), s);
        }
    }
    return list.release();
}

PyObject* ResultWriter::golden_record(const engine::GoldenRecord& record) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const auto& [field, value] : record) {
        PyObject* key = shared(field);
        if (!key) return nullptr;
        Ref v(str_to_py(value));
        if (!v || PyDict_SetItem(d.get(), key, v.get()) < 0) return nullptr;
    }
    return d.release();
}

}  // namespace velatro::python
