#include "engine/match/match_rule.hpp"

#include <variant>

#include "engine/match/rule_kinds.hpp"

namespace velatro::engine {

RuleResult MatchRule::evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const {
    PreparedValue pa, pb;
    prepare(a, pa);
    prepare(b, pb);
    return result(compare(pa, pb));
}

RuleResult MatchRule::result(const RuleOutcome& outcome) const {
    return RuleResult{name_, outcome.score, weight_, outcome.matched, explain(outcome)};
}

namespace {

std::unique_ptr<MatchRule> build(const std::string& name, const plan::CompiledExactRule& r) {
    return std::make_unique<ExactMatch>(name, r.field, r.normalizer, r.weight, r.case_insensitive,
                                        r.normalize);
}

std::unique_ptr<MatchRule> build(const std::string& name, const plan::CompiledSimilarityRule& r) {
    using plan::SimilarityAlgorithm;
    switch (r.algorithm) {
        case SimilarityAlgorithm::JaroWinkler:
            return std::make_unique<FuzzyStringMatch>(name, r.field, r.normalizer, r.threshold,
                                                      r.weight);
        case SimilarityAlgorithm::Levenshtein:
            return std::make_unique<LevenshteinMatch>(name, r.field, r.normalizer, r.threshold,
                                                      r.weight);
        case SimilarityAlgorithm::Soundex:
            return std::make_unique<SoundexMatch>(name, r.field, r.threshold, r.weight);
        case SimilarityAlgorithm::Metaphone:
            return std::make_unique<MetaphoneMatch>(name, r.field, r.threshold, r.weight);
        case SimilarityAlgorithm::Cosine:
            return std::make_unique<CosineMatch>(name, r.field, r.threshold, r.weight);
        case SimilarityAlgorithm::Haversine:
            break;
    }
    return std::make_unique<HaversineMatch>(name, r.field, r.threshold, r.weight);
}

std::unique_ptr<MatchRule> build(const std::string& name, const plan::CompiledRangeRule& r) {
    return std::make_unique<RangeMatch>(name, r.field, r.normalizer, r.tolerance, r.weight);
}

std::unique_ptr<MatchRule> build(const std::string& name, const plan::CompiledCompositeRule& r) {
    std::vector<std::unique_ptr<MatchRule>> children;
    children.reserve(r.children.size());
    for (const auto& child : r.children) children.push_back(build_match_rule(child));
    return std::make_unique<CompositeMatch>(name, std::move(children),
                                            r.op == plan::CompositeOperator::And);
}

std::unique_ptr<MatchRule> build(const std::string& name, const plan::CompiledMlRule& r) {
    return std::make_unique<MlMatch>(name, r.model_id, r.features, r.threshold, r.weight);
}

}  // namespace

std::unique_ptr<MatchRule> build_match_rule(const plan::CompiledRule& rule) {
    return std::visit([&](const auto& kind) { return build(rule.name, kind); }, rule.rule_type);
}

}  // namespace velatro::engine
