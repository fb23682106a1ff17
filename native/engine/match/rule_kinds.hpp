#pragma once
// The ten kinds of match rule. Explanation texts that do not depend on the pair are
// built once, when the rule is constructed.
#include <optional>
#include <string>
#include <vector>

#include "engine/match/match_rule.hpp"

namespace velatro::engine {

class ExactMatch final : public MatchRule {
  public:
    ExactMatch(std::string name, std::string field, std::optional<std::string> normalizer,
               double weight, bool case_insensitive, bool normalize);
    void prepare(const NormalizedEntity& entity, PreparedValue& out) const override;
    RuleOutcome compare(const PreparedValue& a, const PreparedValue& b) const override;

  private:
    std::string explain(const RuleOutcome& outcome) const override;
    std::string field_;
    std::optional<std::string> normalizer_;
    bool case_insensitive_, normalize_;
    std::string matched_text_, unmatched_text_;
};

// The normalizer is kept with the rule but never applied: numbers are read as given.
class RangeMatch final : public MatchRule {
  public:
    RangeMatch(std::string name, std::string field, std::optional<std::string> normalizer,
               double tolerance, double weight);
    void prepare(const NormalizedEntity& entity, PreparedValue& out) const override;
    RuleOutcome compare(const PreparedValue& a, const PreparedValue& b) const override;

  private:
    std::string explain(const RuleOutcome& outcome) const override;
    std::string field_;
    std::optional<std::string> normalizer_;
    double tolerance_;
    std::string matched_text_, unmatched_text_;
};

// The similarity kinds: a measure of the two values (0.0 when one is missing) held
// against a threshold.
enum class Measure : std::uint8_t { JaroWinkler, Levenshtein, Soundex, Metaphone, Cosine };

class ThresholdMatch : public MatchRule {
  public:
    void prepare(const NormalizedEntity& entity, PreparedValue& out) const override;
    RuleOutcome compare(const PreparedValue& a, const PreparedValue& b) const override;
    [[nodiscard]] Measure measure() const noexcept { return measure_; }

  protected:
    ThresholdMatch(Measure measure, std::string name, std::string field,
                   std::optional<std::string> normalizer, double threshold, double weight);

  private:
    std::string explain(const RuleOutcome& outcome) const override;
    Measure measure_;
    std::string field_;
    std::optional<std::string> normalizer_;  // only the two edit measures apply it
    double threshold_;
    std::string matched_head_, unmatched_head_;
};

class FuzzyStringMatch final : public ThresholdMatch {
  public:
    FuzzyStringMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                     double threshold, double weight)
        : ThresholdMatch(Measure::JaroWinkler, std::move(name), std::move(field),
                         std::move(normalizer), threshold, weight) {}
};

class LevenshteinMatch final : public ThresholdMatch {
  public:
    LevenshteinMatch(std::string name, std::string field, std::optional<std::string> normalizer,
                     double threshold, double weight)
        : ThresholdMatch(Measure::Levenshtein, std::move(name), std::move(field),
                         std::move(normalizer), threshold, weight) {}
};

class SoundexMatch final : public ThresholdMatch {
  public:
    SoundexMatch(std::string name, std::string field, double threshold, double weight)
        : ThresholdMatch(Measure::Soundex, std::move(name), std::move(field), std::nullopt,
                         threshold, weight) {}
};

class MetaphoneMatch final : public ThresholdMatch {
  public:
    MetaphoneMatch(std::string name, std::string field, double threshold, double weight)
        : ThresholdMatch(Measure::Metaphone, std::move(name), std::move(field), std::nullopt,
                         threshold, weight) {}
};

class CosineMatch final : public ThresholdMatch {
  public:
    CosineMatch(std::string name, std::string field, double threshold, double weight)
        : ThresholdMatch(Measure::Cosine, std::move(name), std::move(field), std::nullopt,
                         threshold, weight) {}
};

// The threshold is the distance tolerance in kilometres.
class HaversineMatch final : public MatchRule {
  public:
    HaversineMatch(std::string name, std::string field, double threshold, double weight);
    void prepare(const NormalizedEntity& entity, PreparedValue& out) const override;
    RuleOutcome compare(const PreparedValue& a, const PreparedValue& b) const override;

  private:
    std::string explain(const RuleOutcome& outcome) const override;
    std::string field_;
    double tolerance_;
    std::string tolerance_text_, unparsed_text_;
};

// Every child is evaluated; the score is their mean and the weight is always 1.0.
class CompositeMatch final : public MatchRule {
  public:
    CompositeMatch(std::string name, std::vector<std::unique_ptr<MatchRule>> children,
                   bool require_all);
    void prepare(const NormalizedEntity& entity, PreparedValue& out) const override;
    RuleOutcome compare(const PreparedValue& a, const PreparedValue& b) const override;

  private:
    std::string explain(const RuleOutcome& outcome) const override;
    std::vector<std::unique_ptr<MatchRule>> children_;
    bool require_all_;
};

// A placeholder for model-based matching: never matches and reads no values.
class MlMatch final : public MatchRule {
  public:
    MlMatch(std::string name, std::string model_id, std::vector<std::string> features,
            double threshold, double weight);
    void prepare(const NormalizedEntity&, PreparedValue&) const override {}
    RuleOutcome compare(const PreparedValue&, const PreparedValue&) const override { return {}; }

  private:
    std::string explain(const RuleOutcome&) const override;
    std::string model_id_;
    std::vector<std::string> features_;
    double threshold_;
};

}  // namespace velatro::engine
