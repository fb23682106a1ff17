#include "engine/reconciliation_engine.hpp"

#include <cmath>
#include <variant>

#include "document/float_text.hpp"
#include "engine/blocking/lsh_blocking.hpp"
#include "engine/blocking/plan_blocking.hpp"
#include "engine/log.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

constexpr std::uint64_t kDefaultLshBands = 20;
constexpr std::uint64_t kDefaultLshRows = 5;

MatchDecision early(const NormalizedEntity& a, const NormalizedEntity& b, Decision decision,
                    double confidence, std::string marker, double f) {
    MatchDecision d;
    d.entity_a_id = a.id;
    d.entity_b_id = b.id;
    d.decision = decision;
    d.confidence = confidence;
    d.matched_on.push_back(std::move(marker));
    d.temporal_adjustment = f;
    return d;
}

double logistic(double x) { return std::min(1.0 / (1.0 + std::exp(-x)), 1.0); }

}  // namespace

ReconciliationEngine ReconciliationEngine::from_plan(const plan::IdentityPlan& plan) {
    ReconciliationEngine e;
    for (const auto& rule : plan.match_graph.rules) e.rules_.push_back(compile_rule(rule));

    const auto& blocking = plan.blocking;
    e.blocking_.push_back(std::make_unique<PlanBlocking>(blocking.keys));
    if (blocking.strategy == plan::BlockingStrategy::Lsh) {
        std::vector<std::string> fields;
        for (const auto& key : blocking.keys)
            for (const auto& field : key.fields) fields.push_back(field);
        e.blocking_.push_back(std::make_unique<LshBlocking>(
            std::move(fields), blocking.lsh_bands.value_or(kDefaultLshBands),
            blocking.lsh_rows.value_or(kDefaultLshRows)));
    }

    const auto& decision = plan.decision;
    if (decision.custom_scoring_config) {
        auto compiled = compile_expression(decision.custom_scoring_config->expression);
        if (compiled.ok()) {
            e.custom_expression_ = std::move(compiled.value());
        } else {
            log_lazy(LogLevel::Error, kEngineLogTarget, [&] {
                return "Failed to compile custom scoring expression: " +
                       compiled.error().display();
            });
        }
    }
    e.merge_threshold_ = decision.match_threshold;
    e.review_threshold_ = decision.review_threshold.value_or(decision.match_threshold);

    plan::TemporalStrategy strategy = plan::TemporalStrategy::LatestOnly;
    for (const auto& source : plan.sources) {
        if (source.temporal) {
            strategy = source.temporal->strategy;
            break;
        }
    }
    e.temporal_ = TemporalMatcher(strategy);
    e.log_probabilities_ = plan.governance && plan.governance->log_probabilities;

    e.neighborhood_window_ = blocking.neighborhood_window;
    e.sort_fields_ = blocking.sort_fields;
    e.reference_identifiers_ = plan.reference_identifiers;
    e.relations_ = plan.relations;
    e.exclusions_ = plan.exclusions;
    e.tie_breakers_ = decision.tie_breaking;
    e.fellegi_sunter_ = decision.fellegi_sunter;
    e.ml_ensemble_ = decision.ml_ensemble_config;
    e.scoring_method_ = decision.scoring_method;
    return e;
}

std::string ReconciliationEngine::lowercase(std::string_view text) { return to_lowercase(text); }

std::unique_ptr<MatchRule> ReconciliationEngine::compile_rule(const plan::CompiledRule& rule) {
    return build_match_rule(rule);
}

bool ReconciliationEngine::matches_exclusion(const NormalizedEntity& entity,
                                             const plan::CompiledExclusion& exclusion) {
    const auto* fv = std::get_if<plan::CompiledFieldValueExclusion>(&exclusion);
    if (!fv) return false;
    const std::string* v = entity.field(fv->field);
    const std::string_view op = fv->op;
    if (op == "is_empty") return !v || v->empty();
    if (!v || !fv->value.is_string()) return false;
    const std::string& x = fv->value.as_string();
    if (op == "eq" || op == "==") return x == *v;
    if (op == "ne" || op == "!=") return x != *v;
    if (op == "contains") return v->find(x) != std::string::npos;
    return false;
}

bool ReconciliationEngine::excluded_from_blocking(const NormalizedEntity& entity) const {
    for (const auto& exclusion : exclusions_)
        if (matches_exclusion(entity, exclusion)) return true;
    return false;
}

std::optional<MatchDecision> ReconciliationEngine::early_decision(
    const NormalizedEntity& a, const NormalizedEntity& b, const OverrideResolver& overrides,
    double f) const {
    for (const auto& exclusion : exclusions_) {
        bool excluded = false;
        if (std::holds_alternative<plan::CompiledFieldValueExclusion>(exclusion)) {
            excluded = matches_exclusion(a, exclusion) || matches_exclusion(b, exclusion);
        } else if (const auto* p = std::get_if<plan::CompiledExplicitPairExclusion>(&exclusion)) {
            excluded = (a.external_id == p->left_id && b.external_id == p->right_id) ||
                       (a.external_id == p->right_id && b.external_id == p->left_id);
        } else if (const auto* c = std::get_if<plan::CompiledCrossTenantExclusion>(&exclusion)) {
            excluded = c->enabled && a.tenant_id != b.tenant_id;
        }
        if (excluded) return early(a, b, Decision::NoMerge, 0.0, "EXCLUDED", f);
    }
    if (!overrides.empty()) {
        if (auto kind = overrides.resolve(a.id, b.id)) {
            switch (*kind) {
                case OverrideKind::Split:
                    return early(a, b, Decision::NoMerge, 0.0, "MANUAL_SPLIT", f);
                case OverrideKind::Lock:
                    return early(a, b, Decision::NoMerge, 0.0, "MANUAL_LOCK", f);
                case OverrideKind::Merge:
                    return early(a, b, Decision::Merge, 1.0, "MANUAL_MERGE", f);
            }
        }
    }
    for (const auto& ref : reference_identifiers_) {
        const std::string* va = a.field(ref.field);
        const std::string* vb = b.field(ref.field);
        if (va && vb && !va->empty() && *va == *vb) {
            MatchDecision d = early(a, b, Decision::Merge, 1.0, "REF_ID:" + ref.name, f);
            d.posterior_probability = 1.0;
            return d;
        }
    }
    return std::nullopt;
}

void ReconciliationEngine::score_and_decide(MatchDecision& d, double f) const {
    // Sums start from negative zero, as an empty floating-point sum is -0.0.
    const auto& results = d.rule_results;
    double w = -0.0, s = -0.0;
    for (const auto& r : results) {
        w += r.weight;
        s += r.score * r.weight;
    }
    const double weighted = w > 0.0 ? f * s / w : 0.0;

    double score = weighted;
    bool fs_scored = false;
    switch (scoring_method_) {
        case plan::ScoringMethod::WeightedSum: break;
        case plan::ScoringMethod::MlEnsemble: {
            if (!ml_ensemble_) {
                log(LogLevel::Warn, kEngineLogTarget,
                    "ML ensemble scoring selected but no ml_ensemble config provided, falling "
                    "back to weighted sum");
                break;
            }
            double sum = -0.0;
            for (const auto& r : results) {
                auto it = ml_ensemble_->coefficients.find(r.rule_name);
                sum += (it == ml_ensemble_->coefficients.end() ? 0.0 : it->second) * r.score;
            }
            score = f * logistic(ml_ensemble_->bias + sum);
            break;
        }
        case plan::ScoringMethod::Custom: {
            if (!custom_expression_) {
                log(LogLevel::Warn, kEngineLogTarget,
                    "Custom scoring selected but no expression configured, falling back to "
                    "weighted sum");
                break;
            }
            // A variable is a rule's score; with repeated names the later result counts.
            auto lookup = [](const void* context, const std::string& name, double& value) {
                const auto& rs = *static_cast<const std::vector<RuleResult>*>(context);
                for (auto it = rs.rbegin(); it != rs.rend(); ++it) {
                    if (it->rule_name == name) {
                        value = it->score;
                        return true;
                    }
                }
                return false;
            };
            auto v = evaluate(*custom_expression_, lookup, &results);
            if (!v.ok()) {
                log_lazy(LogLevel::Error, kEngineLogTarget, [&] {
                    return "Custom scoring expression evaluation failed: " + v.error().display() +
                           ", falling back to weighted sum";
                });
                break;
            }
            double x = v.value();
            x = x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
            score = f * x;
            break;
        }
        case plan::ScoringMethod::FellegiSunter: {
            if (!fellegi_sunter_) {
                log(LogLevel::Warn, kEngineLogTarget,
                    "Fellegi-Sunter scoring selected but no config provided, falling back to "
                    "weighted sum");
                break;
            }
            score = -0.0;
            for (const auto& field : fellegi_sunter_->fields) {
                double fs = 0.0;
                for (const auto& r : results) {
                    if (r.rule_name == field.name) {
                        fs = r.score;
                        break;
                    }
                }
                score += field.w_disagree + fs * (field.w_agree - field.w_disagree);
            }
            fs_scored = true;
            break;
        }
    }

    if (log_probabilities_ && fellegi_sunter_) {
        for (const auto& field : fellegi_sunter_->fields) {
            for (auto& r : d.rule_results) {
                if (r.rule_name != field.name) continue;
                const double contribution =
                    field.w_disagree + r.score * (field.w_agree - field.w_disagree);
                r.explanation = field.name + ": score=" + document::two_decimals(r.score) +
                                ", w=" + document::two_decimals(contribution) +
                                " (agree=" + document::two_decimals(field.w_agree) +
                                ", disagree=" + document::two_decimals(field.w_disagree) + ")";
                break;
            }
        }
    }

    d.confidence = score;
    if (fs_scored) {
        const auto& fs = *fellegi_sunter_;
        d.decision = score >= fs.match_threshold      ? Decision::Merge
                     : score >= fs.possible_threshold ? Decision::Review
                                                      : Decision::NoMerge;
        d.posterior_probability = logistic(score);
    } else {
        d.decision = score >= merge_threshold_    ? Decision::Merge
                     : score >= review_threshold_ ? Decision::Review
                                                  : Decision::NoMerge;
    }
}

MatchDecision ReconciliationEngine::evaluate_pair(const NormalizedEntity& a,
                                                  const NormalizedEntity& b,
                                                  const OverrideResolver& overrides,
                                                  double f) const {
    if (auto d = early_decision(a, b, overrides, f)) return std::move(*d);
    MatchDecision d;
    d.entity_a_id = a.id;
    d.entity_b_id = b.id;
    d.temporal_adjustment = f;
    d.rule_results.reserve(rules_.size());
    for (const auto& rule : rules_) {
        d.rule_results.push_back(rule->evaluate(a, b));
        if (d.rule_results.back().matched) d.matched_on.push_back(d.rule_results.back().rule_name);
    }
    score_and_decide(d, f);
    return d;
}

std::optional<MatchDecision> ReconciliationEngine::evaluate_pair_recorded(
    const NormalizedEntity& a, const NormalizedEntity& b, const OverrideResolver& overrides,
    double f, TelemetryCollector& telemetry) const {
    MatchDecision d = evaluate_pair(a, b, overrides, f);
    telemetry.record_pair(d.rule_results, decision_label(d.decision));
    if (d.decision == Decision::NoMerge) return std::nullopt;
    return d;
}

}  // namespace velatro::engine
