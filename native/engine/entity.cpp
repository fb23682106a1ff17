#include "engine/entity.hpp"

#include <algorithm>
#include <cmath>

namespace velatro::engine {
namespace {

bool entry_less(const FieldMap::Entry& a, const FieldMap::Entry& b) { return a.first < b.first; }

document::Value float_value(double v) {
    return std::isfinite(v) ? document::Value(v) : document::Value(nullptr);
}

}  // namespace

FieldMap::FieldMap(std::vector<Entry> entries) : entries_(std::move(entries)) {
    // A stable sort keeps repeats in input order, so the last of each run is the one to keep.
    std::stable_sort(entries_.begin(), entries_.end(), entry_less);
    auto out = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end();) {
        auto run_end = std::find_if(it + 1, entries_.end(),
                                    [&](const Entry& e) { return e.first != it->first; });
        if (out != run_end - 1) *out = std::move(*(run_end - 1));
        ++out;
        it = run_end;
    }
    entries_.erase(out, entries_.end());
}

const std::string* FieldMap::find(std::string_view key) const noexcept {
    // Records hold a dozen fields or so: a scan that compares lengths first rejects
    // almost every entry without touching its text, which beats a binary search of
    // full comparisons.
    if (entries_.size() <= 16) {
        if (key.empty()) {
            for (const Entry& e : entries_)
                if (e.first.empty()) return &e.second;
            return nullptr;
        }
        for (const Entry& e : entries_)
            if (e.first.size() == key.size() && e.first[0] == key[0] &&
                std::char_traits<char>::compare(e.first.data(), key.data(), key.size()) == 0)
                return &e.second;
        return nullptr;
    }
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                               [](const Entry& e, std::string_view k) { return e.first < k; });
    if (it == entries_.end() || it->first != key) return nullptr;
    return &it->second;
}

void FieldMap::set(std::string key, std::string value) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                               [](const Entry& e, const std::string& k) { return e.first < k; });
    if (it != entries_.end() && it->first == key)
        it->second = std::move(value);
    else
        entries_.emplace(it, std::move(key), std::move(value));
}

std::string_view decision_json_name(Decision decision) noexcept {
    static constexpr std::string_view kNames[] = {"merge", "review", "no_merge"};
    return kNames[static_cast<std::size_t>(decision)];
}

std::string_view decision_label(Decision decision) noexcept {
    static constexpr std::string_view kLabels[] = {"merge", "review", "nomerge"};
    return kLabels[static_cast<std::size_t>(decision)];
}

document::Value to_value(const RuleResult& result) {
    document::Object o;
    o.emplace("rule_name", result.rule_name);
    o.emplace("score", float_value(result.score));
    o.emplace("weight", float_value(result.weight));
    o.emplace("matched", result.matched);
    o.emplace("explanation", result.explanation);
    return o;
}

document::Value to_value(const MatchDecision& decision) {
    document::Object o;
    o.emplace("entity_a_id", decision.entity_a_id.to_string());
    o.emplace("entity_b_id", decision.entity_b_id.to_string());
    o.emplace("decision", decision_json_name(decision.decision));
    o.emplace("confidence", float_value(decision.confidence));
    if (decision.posterior_probability)
        o.emplace("posterior_probability", float_value(*decision.posterior_probability));
    document::Array results;
    results.reserve(decision.rule_results.size());
    for (const auto& r : decision.rule_results) results.push_back(to_value(r));
    o.emplace("rule_results", std::move(results));
    document::Array matched;
    matched.reserve(decision.matched_on.size());
    for (const auto& m : decision.matched_on) matched.emplace_back(m);
    o.emplace("matched_on", std::move(matched));
    o.emplace("blocking_key", decision.blocking_key ? document::Value(*decision.blocking_key)
                                                    : document::Value(nullptr));
    o.emplace("temporal_adjustment", decision.temporal_adjustment
                                         ? float_value(*decision.temporal_adjustment)
                                         : document::Value(nullptr));
    return o;
}

}  // namespace velatro::engine
