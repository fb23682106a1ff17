#pragma once
// Direct conversion of a reconciliation result into Python objects. It produces
// exactly what converting the records' document trees would (sorted keys, absent
// posterior left out, non-finite floats as None) without building the trees first:
// a large run returns millions of objects, and the repeated keys, rule names and
// decision names are shared instead of created per record.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/entity.hpp"
#include "engine/survivorship.hpp"
#include "python/binding.hpp"

namespace velatro::python {

class ResultWriter {
  public:
    ResultWriter();
    ~ResultWriter();
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    // New references, or nullptr with a Python error set.
    PyObject* clusters(const std::vector<engine::Cluster>& clusters);
    PyObject* golden_record(const engine::GoldenRecord& record);
    PyObject* decision(const engine::MatchDecision& d);

  private:
    PyObject* rule_result(const engine::RuleResult& r);
    PyObject* shared(const std::string& text);  // borrowed
    PyObject* shared_number(double v);          // new reference
    PyObject* uuid(const engine::Uuid& id);
    static PyObject* number(double v);

    enum Key {
        kBlockingKey,
        kConfidence,
        kDecision,
        kEntityA,
        kEntityB,
        kMatchedOn,
        kPosterior,
        kRuleResults,
        kTemporal,
        kExplanation,
        kMatched,
        kRuleName,
        kScore,
        kWeight,
        kKeyCount
    };
    PyObject* keys_[kKeyCount] = {};
    std::unordered_map<std::string, PyObject*> shared_;  // owned references
    // Weights and the common scores 0 and 1 repeat in every rule result.
    std::unordered_map<std::uint64_t, PyObject*> numbers_;  // owned references
};

}  // namespace velatro::python
