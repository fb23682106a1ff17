#include "engine/match/rule_kinds.hpp"

#include <cmath>

#include "document/float_text.hpp"
#include "engine/match/apply_normalizer.hpp"
#include "engine/match/double_metaphone.hpp"
#include "engine/match/float_syntax.hpp"
#include "engine/match/haversine.hpp"
#include "engine/match/jaro_winkler.hpp"
#include "engine/match/levenshtein.hpp"
#include "engine/match/score_text.hpp"
#include "engine/match/soundex.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

// ---------------------------------------------------------------- ExactMatch

ExactMatch::ExactMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                       double weight, bool case_insensitive, bool normalize)
    : MatchRule(std::move(name), weight),
      field_(std::move(field)),
      normalizer_(std::move(normalizer)),
      case_insensitive_(case_insensitive),
      normalize_(normalize),
      matched_text_("Exact match on field " + field_),
      unmatched_text_("No match on field " + field_) {}

void ExactMatch::prepare(const NormalizedEntity& entity, PreparedValue& out) const {
    const std::string* value = entity.field(field_);
    out.present = value != nullptr;
    if (!value) return;
    std::string text = normalizer_ ? apply_normalizer(*normalizer_, *value) : *value;
    if (normalize_) text = std::string(trim_white_space(text));
    if (case_insensitive_) text = to_lowercase(text);
    out.text = std::move(text);
}

RuleOutcome ExactMatch::compare(const PreparedValue& a, const PreparedValue& b) const {
    const bool matched = a.present && b.present && a.text == b.text;
    return {matched ? 1.0 : 0.0, matched};
}

std::string ExactMatch::explain(const RuleOutcome& outcome) const {
    return outcome.matched ? matched_text_ : unmatched_text_;
}

// ---------------------------------------------------------------- RangeMatch

RangeMatch::RangeMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                       double tolerance, double weight)
    : MatchRule(std::move(name), weight),
      field_(std::move(field)),
      normalizer_(std::move(normalizer)),
      tolerance_(tolerance),
      matched_text_("Range match on field " + field_ + " (diff within " +
                    document::plain_float(tolerance) + ")"),
      unmatched_text_("Range mismatch on field " + field_) {}

void RangeMatch::prepare(const NormalizedEntity& entity, PreparedValue& out) const {
    const std::string* value = entity.field(field_);
    out.present = value != nullptr;
    if (!value) return;
    const auto number = parse_float(*value);
    out.parsed = number.has_value();
    out.first = number.value_or(0.0);
}

RuleOutcome RangeMatch::compare(const PreparedValue& a, const PreparedValue& b) const {
    // NaN in either value or difference fails the comparison, as it should.
    const bool matched = a.present && b.present && a.parsed && b.parsed &&
                         tolerance_ >= std::fabs(a.first - b.first);
    return {matched ? 1.0 : 0.0, matched};
}

std::string RangeMatch::explain(const RuleOutcome& outcome) const {
    return outcome.matched ? matched_text_ : unmatched_text_;
}

// ---------------------------------------------------------------- ThresholdMatch

namespace {

// The kind's part of a prepared value; a present value always has it.
template <class T>
const T& part(const PreparedValue& value) {
    return *std::get_if<T>(&value.detail);
}

struct MeasureTexts {
    std::string_view matched;
    std::string_view unmatched;
};

// Indexed by Measure.
constexpr MeasureTexts kMeasureTexts[] = {
    {"Fuzzy match", "Insufficient fuzzy score"},
    {"Levenshtein match", "Insufficient Levenshtein score"},
    {"Soundex match", "Soundex mismatch"},
    {"Metaphone match", "Metaphone mismatch"},
    {"Cosine match", "Insufficient cosine score"},
};

}  // namespace

ThresholdMatch::ThresholdMatch(Measure measure, std::string name, std::string field,
                               std::optional<std::string> normalizer, double threshold,
                               double weight)
    : MatchRule(std::move(name), weight),
      measure_(measure),
      field_(std::move(field)),
      normalizer_(std::move(normalizer)),
      threshold_(threshold) {
    const MeasureTexts& texts = kMeasureTexts[static_cast<int>(measure)];
    matched_head_ = std::string(texts.matched) + " on field " + field_;
    unmatched_head_ = std::string(texts.unmatched) + " on field " + field_;
    if (measure == Measure::Soundex) {
        // Soundex does not print its score: the codes either agree or not.
        matched_head_ += " (codes match)";
        unmatched_head_ += " (codes differ)";
    } else {
        matched_head_ += " (score: ";
        unmatched_head_ += " (score: ";
    }
}

void ThresholdMatch::prepare(const NormalizedEntity& entity, PreparedValue& out) const {
    const std::string* value = entity.field(field_);
    out.present = value != nullptr;
    if (!value) return;
    switch (measure_) {
        case Measure::JaroWinkler:
        case Measure::Levenshtein:
            out.detail =
                normalizer_ ? CharText(apply_normalizer(*normalizer_, *value)) : CharText(*value);
            break;
        case Measure::Soundex:
            out.text = soundex(*value);
            break;
        case Measure::Metaphone: {
            MetaphoneCodes codes = double_metaphone(*value);
            out.text = std::move(codes.primary);
            out.detail = std::move(codes.alternate);
            break;
        }
        case Measure::Cosine:
            out.detail = BigramProfile(*value);
            break;
    }
}

RuleOutcome ThresholdMatch::compare(const PreparedValue& a, const PreparedValue& b) const {
    double score = 0.0;
    if (a.present && b.present) {
        switch (measure_) {
            case Measure::JaroWinkler:
                score = jaro_winkler(part<CharText>(a), part<CharText>(b));
                break;
            case Measure::Levenshtein:
                score = normalized_levenshtein(part<CharText>(a), part<CharText>(b));
                break;
            case Measure::Soundex:
                score = a.text == b.text ? 1.0 : 0.0;
                break;
            case Measure::Metaphone:
                score = a.text == b.text                                                   ? 1.0
                        : a.text == part<std::string>(b) || part<std::string>(a) == b.text ? 0.5
                                                                                           : 0.0;
                break;
            case Measure::Cosine:
                score = bigram_cosine(part<BigramProfile>(a), part<BigramProfile>(b));
                break;
        }
    }
    // A missing value scores 0.0 and still matches a threshold of 0 or less.
    return {score, score >= threshold_};
}

std::string ThresholdMatch::explain(const RuleOutcome& outcome) const {
    const std::string& head = outcome.matched ? matched_head_ : unmatched_head_;
    if (measure_ == Measure::Soundex) return head;
    std::string text;
    text.reserve(head.size() + 8);
    text += head;
    append_two_decimals(text, outcome.score);
    text += ')';
    return text;
}

// ---------------------------------------------------------------- HaversineMatch

HaversineMatch::HaversineMatch(std::string name, std::string field, double threshold, double weight)
    : MatchRule(std::move(name), weight),
      field_(std::move(field)),
      tolerance_(threshold),
      tolerance_text_(document::two_decimals(threshold)),
      unparsed_text_("Haversine: could not parse coordinates from field " + field_) {}

void HaversineMatch::prepare(const NormalizedEntity& entity, PreparedValue& out) const {
    const std::string* value = entity.field(field_);
    out.present = value != nullptr;
    if (!value) return;
    const auto point = parse_latlon(*value);
    out.parsed = point.has_value();
    if (point) {
        out.first = point->lat;
        out.second = point->lon;
    }
}

RuleOutcome HaversineMatch::compare(const PreparedValue& a, const PreparedValue& b) const {
    if (!a.present || !b.present || !a.parsed || !b.parsed) return {0.0, false, false};
    const double d = haversine_km({a.first, a.second}, {b.first, b.second});
    const double t = tolerance_;
    const bool matched = t >= d;
    double score = 0.0;
    if (matched)
        score = 1.0;
    else if (d <= 2.0 * t)
        score = 1.0 - (d - t) / t;
    return {.score = score, .matched = matched, .parsed = true, .distance = d};
}

std::string HaversineMatch::explain(const RuleOutcome& outcome) const {
    if (!outcome.parsed) return unparsed_text_;
    std::string text =
        outcome.matched ? "Haversine match on field " : "Haversine mismatch on field ";
    text += field_;
    text += " (distance: ";
    append_two_decimals(text, outcome.distance);
    text += outcome.matched ? " km, within " : " km, exceeds ";
    text += tolerance_text_;
    text += " km tolerance)";
    return text;
}

// ---------------------------------------------------------------- CompositeMatch

CompositeMatch::CompositeMatch(std::string name, std::vector<std::unique_ptr<MatchRule>> children,
                               bool require_all)
    : MatchRule(std::move(name), 1.0), children_(std::move(children)), require_all_(require_all) {}

void CompositeMatch::prepare(const NormalizedEntity& entity, PreparedValue& out) const {
    out.present = true;
    auto& prepared = out.detail.emplace<std::vector<PreparedValue>>(children_.size());
    for (std::size_t i = 0; i < children_.size(); ++i) children_[i]->prepare(entity, prepared[i]);
}

RuleOutcome CompositeMatch::compare(const PreparedValue& a, const PreparedValue& b) const {
    // No short-circuit: the mean needs every child's score.
    const auto& as = part<std::vector<PreparedValue>>(a);
    const auto& bs = part<std::vector<PreparedValue>>(b);
    bool all = true, any = false;
    double sum = 0.0;
    for (std::size_t i = 0; i < children_.size(); ++i) {
        const RuleOutcome child = children_[i]->compare(as[i], bs[i]);
        all = all && child.matched;
        any = any || child.matched;
        sum += child.score;
    }
    const double score = children_.empty() ? 0.0 : sum / static_cast<double>(children_.size());
    return {score, require_all_ ? all : any};
}

std::string CompositeMatch::explain(const RuleOutcome& outcome) const {
    return "Composite match (" + std::to_string(children_.size()) +
           " component rules, matched: " + (outcome.matched ? "true" : "false") + ")";
}

// ---------------------------------------------------------------- MlMatch

MlMatch::MlMatch(std::string name, std::string model_id, std::vector<std::string> features,
                 double threshold, double weight)
    : MatchRule(std::move(name), weight),
      model_id_(std::move(model_id)),
      features_(std::move(features)),
      threshold_(threshold) {}

std::string MlMatch::explain(const RuleOutcome&) const {
    return "ML matching not fully implemented currently";
}

}  // namespace velatro::engine
