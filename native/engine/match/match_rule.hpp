#pragma once
// A match rule compares one field of two entity records. Each rule works in two steps
// so a run can hoist the per-record work out of the pair loop: `prepare` turns one
// record into the rule's PreparedValue (normalised text, decoded characters, phonetic
// codes, bigram counts, parsed numbers or coordinates), and `compare` scores two
// prepared values without allocating. `evaluate` is both steps on the spot; the two
// routes give identical results.
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/entity.hpp"
#include "engine/match/bigram_cosine.hpp"
#include "engine/match/char_text.hpp"
#include "plan/compiled_rule.hpp"

namespace velatro::engine {

// One record's value of one rule's field, ready for comparison. Each kind fills only
// what it compares; the per-kind parts share one slot to keep a run's table of prepared
// values small.
struct PreparedValue {
    bool present = false;  // the record has the field
    bool parsed = false;   // number or coordinates read
    double first = 0.0;    // range: the number; haversine: latitude
    double second = 0.0;   // haversine: longitude
    std::string text;      // exact: final text; soundex: code; metaphone: primary code
    std::variant<std::monostate,
                 CharText,                    // string measures: the value's characters
                 std::string,                 // metaphone: alternate code
                 BigramProfile,               // cosine
                 std::vector<PreparedValue>>  // composite: one per child rule
        detail;
};

// What a comparison decided, before any text is built.
struct RuleOutcome {
    double score = 0.0;
    bool matched = false;
    bool parsed = true;  // haversine: both values held coordinates
    // The engine also keeps one outcome per comparison-level field after the rules'
    // ones: score is the field's weight, distance its term-frequency part and level
    // the level + 1 (0: a value was missing). It fits in the padding, so rules' outcomes
    // cost nothing more.
    std::uint8_t level = 0;
    double distance = 0.0;  // haversine: kilometres between them
};

class MatchRule {
  public:
    MatchRule(std::string name, double weight) : name_(std::move(name)), weight_(weight) {}
    virtual ~MatchRule() = default;
    MatchRule(const MatchRule&) = delete;
    MatchRule& operator=(const MatchRule&) = delete;

    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    [[nodiscard]] double weight() const noexcept { return weight_; }

    [[nodiscard]] RuleResult evaluate(const NormalizedEntity& a, const NormalizedEntity& b) const;

    virtual void prepare(const NormalizedEntity& entity, PreparedValue& out) const = 0;
    [[nodiscard]] PreparedValue prepare(const NormalizedEntity& entity) const {
        PreparedValue out;
        prepare(entity, out);
        return out;
    }
    [[nodiscard]] virtual RuleOutcome compare(const PreparedValue& a,
                                              const PreparedValue& b) const = 0;
    // The full result of an outcome: name, weight, score, flag and explanation.
    [[nodiscard]] RuleResult result(const RuleOutcome& outcome) const;

  protected:
    [[nodiscard]] virtual std::string explain(const RuleOutcome& outcome) const = 0;

  private:
    std::string name_;
    double weight_;
};

// The executable rule of a plan rule (a composite with its children).
[[nodiscard]] std::unique_ptr<MatchRule> build_match_rule(const plan::CompiledRule& rule);

}  // namespace velatro::engine
