#include "engine/reconciliation_engine.hpp"

#include <cmath>
#include <stdexcept>
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

double logistic(double x) {
    return std::min(1.0 / (1.0 + std::exp(-x)), 1.0);
}

constexpr std::size_t kNoRule = static_cast<std::size_t>(-1);

}  // namespace

ReconciliationEngine ReconciliationEngine::from_plan(const plan::IdentityPlan& plan) {
    CompiledExpression expression;
    if (const auto& custom = plan.decision.custom_scoring_config)
        expression = compile_expression(custom->expression);
    return from_plan(plan, std::move(expression));
}

ReconciliationEngine ReconciliationEngine::from_plan(const plan::IdentityPlan& plan,
                                                     CompiledExpression expression) {
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
    if (decision.custom_scoring_config && expression) {
        if (expression->ok()) {
            e.custom_expression_ = std::move(expression->value());
        } else {
            log_lazy(LogLevel::Error, kEngineLogTarget, [&] {
                return "Failed to compile custom scoring expression: " +
                       expression->error().display();
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
    for (const auto& ref : e.reference_identifiers_)
        e.reference_labels_.push_back("REF_ID:" + ref.name);
    e.relations_ = plan.relations;
    e.exclusions_ = plan.exclusions;
    e.tie_breakers_ = decision.tie_breaking;
    e.fellegi_sunter_ = decision.fellegi_sunter;
    if (e.fellegi_sunter_ && e.fellegi_sunter_->uses_levels())
        e.levels_.emplace(*e.fellegi_sunter_);
    e.ml_ensemble_ = decision.ml_ensemble_config;
    e.scoring_method_ = decision.scoring_method;

    for (const auto& rule : e.rules_) {
        double c = 0.0;
        if (e.ml_ensemble_) {
            auto it = e.ml_ensemble_->coefficients.find(rule->name());
            if (it != e.ml_ensemble_->coefficients.end()) c = it->second;
        }
        e.ml_coefficients_.push_back(c);
    }
    if (e.fellegi_sunter_) {
        for (const auto& field : e.fellegi_sunter_->fields) {
            std::size_t index = kNoRule;
            for (std::size_t r = 0; r < e.rules_.size(); ++r) {
                if (e.rules_[r]->name() == field.name) {
                    index = r;
                    break;
                }
            }
            e.fs_rule_index_.push_back(index);
        }
    }
    return e;
}

std::string ReconciliationEngine::lowercase(std::string_view text) {
    return to_lowercase(text);
}

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

ReconciliationEngine::EarlyOutcome ReconciliationEngine::early_outcome(
    const NormalizedEntity& a, const NormalizedEntity& b, const OverrideResolver& overrides) const {
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
        if (excluded) return {Early::Excluded};
    }
    if (!overrides.empty()) {
        if (auto kind = overrides.resolve(a.id, b.id)) {
            switch (*kind) {
                case OverrideKind::Split: return {Early::Split};
                case OverrideKind::Lock: return {Early::Lock};
                case OverrideKind::Merge: return {Early::ManualMerge};
            }
        }
    }
    for (std::size_t i = 0; i < reference_identifiers_.size(); ++i) {
        const auto& ref = reference_identifiers_[i];
        const std::string* va = a.field(ref.field);
        const std::string* vb = b.field(ref.field);
        if (va && vb && !va->empty() && *va == *vb)
            return {Early::ReferenceId, static_cast<std::uint32_t>(i)};
    }
    return {};
}

ReconciliationEngine::Verdict ReconciliationEngine::score(const RuleOutcome* outcomes,
                                                          double f) const {
    const std::size_t n = rules_.size();
    // Sums start from negative zero, as an empty floating-point sum is -0.0.
    double w = -0.0, s = -0.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double weight = rules_[r]->weight();
        w += weight;
        s += outcomes[r].score * weight;
    }
    const double weighted = w > 0.0 ? f * s / w : 0.0;

    Verdict out;
    out.confidence = weighted;
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
            for (std::size_t r = 0; r < n; ++r) sum += ml_coefficients_[r] * outcomes[r].score;
            out.confidence = f * logistic(ml_ensemble_->bias + sum);
            break;
        }
        case plan::ScoringMethod::Custom: {
            if (!custom_expression_) {
                log(LogLevel::Warn, kEngineLogTarget,
                    "Custom scoring selected but no expression configured, falling back to "
                    "weighted sum");
                break;
            }
            // A variable is a rule's score; with repeated names the later rule counts.
            struct Context {
                const ReconciliationEngine* engine;
                const RuleOutcome* outcomes;
            } context{this, outcomes};
            auto lookup = [](const void* c, const std::string& name, double& value) {
                const auto& ctx = *static_cast<const Context*>(c);
                const auto& rules = ctx.engine->rules_;
                for (std::size_t r = rules.size(); r-- > 0;) {
                    if (rules[r]->name() == name) {
                        value = ctx.outcomes[r].score;
                        return true;
                    }
                }
                return false;
            };
            auto v = evaluate(*custom_expression_, lookup, &context);
            if (!v.ok()) {
                log_lazy(LogLevel::Error, kEngineLogTarget, [&] {
                    return "Custom scoring expression evaluation failed: " + v.error().display() +
                           ", falling back to weighted sum";
                });
                break;
            }
            double x = v.value();
            x = x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
            out.confidence = f * x;
            break;
        }
        case plan::ScoringMethod::FellegiSunter: {
            if (!fellegi_sunter_) {
                log(LogLevel::Warn, kEngineLogTarget,
                    "Fellegi-Sunter scoring selected but no config provided, falling back to "
                    "weighted sum");
                break;
            }
            // The temporal factor does not apply to a Fellegi-Sunter score.
            if (levels_) {
                double total = levels_->prior_weight();
                for (std::size_t k = 0; k < levels_->fields().size(); ++k)
                    total += outcomes[n + k].score;
                out.confidence = total;
                fs_scored = true;
                break;
            }
            double total = -0.0;
            const auto& fields = fellegi_sunter_->fields;
            for (std::size_t k = 0; k < fields.size(); ++k) {
                const std::size_t r = fs_rule_index_[k];
                const double fs = r == kNoRule ? 0.0 : outcomes[r].score;
                total += fields[k].w_disagree + fs * (fields[k].w_agree - fields[k].w_disagree);
            }
            out.confidence = total;
            fs_scored = true;
            break;
        }
    }

    // A NaN score fails every comparison and is never merged or reviewed.
    if (fs_scored) {
        const auto& fs = *fellegi_sunter_;
        out.decision = out.confidence >= fs.match_threshold      ? Decision::Merge
                       : out.confidence >= fs.possible_threshold ? Decision::Review
                                                                 : Decision::NoMerge;
        // Under levels the score is a calibrated log2 odds; otherwise the logistic of an
        // uncalibrated sum, kept as it always was.
        out.posterior = levels_ ? LevelModel::posterior(out.confidence) : logistic(out.confidence);
    } else {
        out.decision = out.confidence >= merge_threshold_    ? Decision::Merge
                       : out.confidence >= review_threshold_ ? Decision::Review
                                                             : Decision::NoMerge;
    }
    return out;
}

void ReconciliationEngine::prepare(const NormalizedEntity& entity, PreparedValue* out) const {
    for (std::size_t r = 0; r < rules_.size(); ++r) rules_[r]->prepare(entity, out[r]);
    if (levels_) levels_->prepare(entity, out + rules_.size());
}

void ReconciliationEngine::weigh_levels(const PreparedValue* pa, const PreparedValue* pb,
                                        const TermFrequencies* term_frequencies,
                                        RuleOutcome* outcomes) const {
    const std::size_t n = rules_.size();
    for (std::size_t k = 0; k < levels_->fields().size(); ++k) {
        const FieldWeight w = levels_->weigh(k, pa + n, pb + n, term_frequencies);
        RuleOutcome& o = outcomes[n + k];
        o = RuleOutcome{};
        o.score = w.weight;
        o.matched = w.level != kNullLevel;
        o.level = static_cast<std::uint8_t>(w.level + 1);
        o.distance = w.tf_adjustment;
    }
}

ReconciliationEngine::Waterfall ReconciliationEngine::waterfall(
    const NormalizedEntity& a, const NormalizedEntity& b,
    const TermFrequencies* term_frequencies) const {
    Waterfall out;
    if (!levels_) return out;
    std::vector<PreparedValue> pa(levels_->slots()), pb(levels_->slots());
    levels_->prepare(a, pa.data());
    levels_->prepare(b, pb.data());
    out.fields.resize(levels_->fields().size());
    out.prior_weight = levels_->prior_weight();
    out.score = levels_->score(pa.data(), pb.data(), term_frequencies, out.fields.data());
    out.posterior = LevelModel::posterior(out.score);
    return out;
}

std::string ReconciliationEngine::level_explanation(std::size_t k,
                                                    const RuleOutcome& outcome) const {
    const auto& field = levels_->plan_field(k);
    std::string text = field.name + ": level=";
    text += outcome.level == 0 ? std::string("null") : (*field.levels)[outcome.level - 1u].name;
    text += ", w=" + document::two_decimals(outcome.score);
    if (outcome.distance != 0.0) text += " (tf=" + document::two_decimals(outcome.distance) + ")";
    return text;
}

ReconciliationEngine::Verdict ReconciliationEngine::judge(
    const NormalizedEntity& a, const NormalizedEntity& b, const PreparedValue* pa,
    const PreparedValue* pb, const OverrideResolver& overrides, double f, RuleOutcome* outcomes,
    TelemetryCollector* telemetry, std::uint64_t copies,
    const TermFrequencies* term_frequencies) const {
    const EarlyOutcome e = early_outcome(a, b, overrides);
    if (e.kind != Early::None) {
        Verdict v;
        v.early = e.kind;
        v.reference = e.reference;
        switch (e.kind) {
            case Early::ManualMerge: v.decision = Decision::Merge, v.confidence = 1.0; break;
            case Early::ReferenceId:
                v.decision = Decision::Merge, v.confidence = 1.0, v.posterior = 1.0;
                break;
            default: break;  // excluded, split and lock: no merge at confidence 0
        }
        if (telemetry) telemetry->record_decision(decision_label(v.decision), copies);
        return v;
    }
    const std::size_t n = rules_.size();
    for (std::size_t r = 0; r < n; ++r) outcomes[r] = rules_[r]->compare(pa[r], pb[r]);
    if (levels_) weigh_levels(pa, pb, term_frequencies, outcomes);
    const Verdict v = score(outcomes, f);
    if (telemetry) {
        telemetry->record_decision(decision_label(v.decision), copies);
        const bool fs = scoring_method_ == plan::ScoringMethod::FellegiSunter && fellegi_sunter_;
        telemetry->record_score(fs ? ScoreScale::MatchWeight : ScoreScale::Probability,
                                v.confidence, levels_ ? v.posterior : std::nullopt, v.decision,
                                copies);
        for (std::size_t r = 0; r < n; ++r)
            telemetry->record_rule(rules_[r]->name(), r, outcomes[r].score, outcomes[r].matched,
                                   copies);
    }
    return v;
}

std::string_view ReconciliationEngine::early_label(const Verdict& v) const {
    switch (v.early) {
        case Early::Excluded: return "EXCLUDED";
        case Early::Split: return "MANUAL_SPLIT";
        case Early::Lock: return "MANUAL_LOCK";
        case Early::ManualMerge: return "MANUAL_MERGE";
        case Early::ReferenceId: return reference_labels_[v.reference];
        case Early::None: break;
    }
    return {};
}

MatchDecision ReconciliationEngine::decision_of(const NormalizedEntity& a,
                                                const NormalizedEntity& b, const Verdict& v,
                                                const RuleOutcome* outcomes, double f) const {
    MatchDecision d;
    d.entity_a_id = a.id;
    d.entity_b_id = b.id;
    d.decision = v.decision;
    d.confidence = v.confidence;
    d.posterior_probability = v.posterior;
    d.temporal_adjustment = f;
    if (v.early != Early::None) {
        d.matched_on.emplace_back(early_label(v));
        return d;
    }
    d.rule_results.reserve(rules_.size());
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        d.rule_results.push_back(rules_[r]->result(outcomes[r]));
        if (outcomes[r].matched) d.matched_on.push_back(rules_[r]->name());
    }
    if (log_probabilities_ && levels_) {
        // Each field's level and weight replace its rule's explanation.
        const auto& fields = fellegi_sunter_->fields;
        for (std::size_t k = 0; k < fields.size(); ++k) {
            const std::size_t r = fs_rule_index_[k];
            if (r != kNoRule)
                d.rule_results[r].explanation = level_explanation(k, outcomes[rules_.size() + k]);
        }
    } else if (log_probabilities_ && fellegi_sunter_) {
        const auto& fields = fellegi_sunter_->fields;
        for (std::size_t k = 0; k < fields.size(); ++k) {
            const std::size_t r = fs_rule_index_[k];
            if (r == kNoRule) continue;
            const auto& field = fields[k];
            RuleResult& result = d.rule_results[r];
            const double contribution =
                field.w_disagree + result.score * (field.w_agree - field.w_disagree);
            result.explanation = field.name + ": score=" + document::two_decimals(result.score) +
                                 ", w=" + document::two_decimals(contribution) +
                                 " (agree=" + document::two_decimals(field.w_agree) +
                                 ", disagree=" + document::two_decimals(field.w_disagree) + ")";
        }
    }
    return d;
}

MatchDecision ReconciliationEngine::evaluate_pair(const NormalizedEntity& a,
                                                  const NormalizedEntity& b,
                                                  const OverrideResolver& overrides,
                                                  double f) const {
    std::vector<PreparedValue> pa(prepared_slots()), pb(prepared_slots());
    std::vector<RuleOutcome> outcomes(outcome_slots());
    prepare(a, pa.data());
    prepare(b, pb.data());
    const Verdict v = judge(a, b, pa.data(), pb.data(), overrides, f, outcomes.data(), nullptr);
    return decision_of(a, b, v, outcomes.data(), f);
}

}  // namespace velatro::engine
