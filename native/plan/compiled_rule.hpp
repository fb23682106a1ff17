#pragma once
// A match rule as the plan holds it: a name and one of five typed kinds. Composite
// rules own their children, so a rule is a tree; the engine builds one match-rule
// object per tree.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "plan/enums.hpp"

namespace velatro::plan {

struct CompiledRule;

struct CompiledExactRule {
    std::string field;
    double weight = 0.0;
    bool case_insensitive = false;
    bool normalize = false;
    // The identity spec rule's normalizer. Match rules use it, but it is deliberately
    // left out of the rule's JSON form (and therefore out of the plan hash).
    std::optional<std::string> normalizer;
};

struct CompiledSimilarityRule {
    std::string field;
    SimilarityAlgorithm algorithm = SimilarityAlgorithm::JaroWinkler;
    double threshold = 0.0;
    double weight = 0.0;
    std::optional<std::string> normalizer;
};

struct CompiledRangeRule {
    std::string field;
    double tolerance = 0.0;
    double weight = 0.0;
    std::optional<std::string> normalizer;
};

struct CompiledCompositeRule {
    CompositeOperator op = CompositeOperator::And;  // written as "operator"
    std::vector<CompiledRule> children;
};

struct CompiledMlRule {
    std::string model_id;
    std::vector<std::string> features;
    double threshold = 0.0;
    double weight = 0.0;
};

// Alternatives in the order of their JSON tags: exact, similarity, range, composite, ml.
using CompiledRuleType = std::variant<CompiledExactRule, CompiledSimilarityRule,
                                      CompiledRangeRule, CompiledCompositeRule, CompiledMlRule>;

struct CompiledRule {
    std::string name;
    CompiledRuleType rule_type;
};

// The JSON tag of a rule kind: "exact", "similarity", "range", "composite", "ml".
std::string_view rule_type_tag(const CompiledRuleType& rule_type);

}  // namespace velatro::plan
