#include "tooling/level_check.hpp"

#include <array>

#include "document/float_text.hpp"
#include "tooling/fs_levels.hpp"
#include "tooling/lookup.hpp"
#include "tooling/message.hpp"

namespace velatro::tooling {

namespace {

constexpr std::array<std::string_view, 7> kComparators{
    "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine", "else"};

bool known_comparator(const Value* comparator) {
    if (!comparator || !comparator->is_string()) return false;
    for (auto name : kComparators)
        if (comparator->as_string() == name) return true;
    return false;
}

// Probabilities in (0, 1]: a zero would make an infinite weight.
bool probability(double p) {
    return p > 0.0 && p <= 1.0;
}

std::string field_label(const Value& field) {
    return text_or(lookup(field, "name"), "unknown");
}

struct LevelSums {
    double m = 0.0, u = 0.0;
    bool untrained = false;
};

void check_level(const Value& level, const std::string& label, std::size_t index, bool last,
                 LevelSums& sums, std::vector<std::string>& out) {
    const std::string where =
        fill("Fellegi-Sunter field '{}' level {}", {label, std::to_string(index)});
    const Value* comparator = lookup(level, "comparator");
    if (!known_comparator(comparator)) {
        out.push_back(
            fill("{}: comparator must be one of exact, jaro_winkler, levenshtein, "
                 "soundex, metaphone, cosine, else",
                 {where}));
    } else if (comparator->as_string() == "else" && !last) {
        out.push_back(
            fill("{}: 'else' takes every remaining pair and must be the last level", {where}));
    }
    if (auto t = read_number(lookup(level, "threshold")); t && (*t < 0.0 || *t > 1.0))
        out.push_back(
            fill("{}: threshold {} must be between 0 and 1", {where, document::plain_float(*t)}));
    for (auto key : {"m_probability", "u_probability"}) {
        const Value* value = lookup(level, key);
        if (!value) {
            sums.untrained = true;
            continue;
        }
        auto p = read_number(value);
        if (!p || !probability(*p)) {
            out.push_back(fill("{}: {} must be a number above 0 and at most 1", {where, key}));
            continue;
        }
        (std::string_view(key) == "m_probability" ? sums.m : sums.u) += *p;
    }
}

void check_field(const Value& field, std::vector<std::string>& out) {
    const std::string label = field_label(field);
    if (const Value* tf = lookup(field, "term_frequency"); tf && !tf->is_bool())
        out.push_back(
            fill("Fellegi-Sunter field '{}': term_frequency must be true or false", {label}));
    if (const Value* min_u = lookup(field, "term_frequency_min_u")) {
        auto p = read_number(min_u);
        if (!p || !probability(*p))
            out.push_back(
                fill("Fellegi-Sunter field '{}': term_frequency_min_u must be a number "
                     "above 0 and at most 1",
                     {label}));
    }
    const Value* levels = lookup(field, "levels");
    if (!levels) return;
    const auto* list = array_of(levels);
    if (!list) {
        out.push_back(fill("Fellegi-Sunter field '{}': levels must be a list", {label}));
        return;
    }
    if (lookup(field, "m_probability") || lookup(field, "u_probability"))
        out.push_back(
            fill("Fellegi-Sunter field '{}': m_probability and u_probability are "
                 "ignored when levels are given",
                 {label}));
    LevelSums sums;
    for (std::size_t i = 0; i < list->size(); ++i)
        check_level((*list)[i], label, i, i + 1 == list->size(), sums, out);
    constexpr double kSlack = 1e-4;  // probabilities written with a few digits
    if (!sums.untrained) {
        if (sums.m > 1.0 + kSlack)
            out.push_back(
                fill("Fellegi-Sunter field '{}': the m_probability of its levels add "
                     "up to {}, more than 1",
                     {label, document::plain_float(sums.m)}));
        if (sums.u > 1.0 + kSlack)
            out.push_back(
                fill("Fellegi-Sunter field '{}': the u_probability of its levels add "
                     "up to {}, more than 1",
                     {label, document::plain_float(sums.u)}));
    } else {
        out.push_back(
            fill("Fellegi-Sunter field '{}' has levels without m_probability or "
                 "u_probability (they weigh 0); estimate them with velatro.train",
                 {label}));
    }
}

}  // namespace

void check_levels(const document::Value& tree, std::vector<std::string>& out) {
    if (!uses_levels(tree)) return;
    if (const Value* prior = lookup(scoring_of(tree), "prior")) {
        auto p = read_number(prior);
        if (!p || !(*p > 0.0 && *p < 1.0))
            out.push_back("Fellegi-Sunter prior must be a number between 0 and 1 (exclusive)");
    }
    if (const auto* fields = fs_fields_of(tree))
        for (const Value& field : *fields) check_field(field, out);
}

}  // namespace velatro::tooling
