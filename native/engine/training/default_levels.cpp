#include "engine/training/default_levels.hpp"

#include <cmath>

namespace velatro::engine::training {

namespace {

using C = spec::FsLevelComparator;

spec::FsLevelSpec level(C comparator, std::optional<double> threshold = std::nullopt) {
    return spec::FsLevelSpec{std::nullopt, comparator, threshold, std::nullopt, std::nullopt};
}

struct Ladder {
    spec::FsComparator comparator;
    C measure;
    std::vector<double> thresholds;  // below exact, strongest first
};

// Indexed like spec::FsComparator.
const Ladder kLadders[] = {
    {spec::FsComparator::Exact, C::Exact, {}},
    {spec::FsComparator::JaroWinkler, C::JaroWinkler, {0.92, 0.8}},
    {spec::FsComparator::Levenshtein, C::Levenshtein, {0.8, 0.6}},
    {spec::FsComparator::Soundex, C::Soundex, {1.0}},
    {spec::FsComparator::Metaphone, C::Metaphone, {1.0, 0.5}},
    {spec::FsComparator::Cosine, C::Cosine, {0.9, 0.7}},
};

constexpr double kElseShare = 0.05;

}  // namespace

std::vector<spec::FsLevelSpec> default_levels(spec::FsComparator comparator) {
    const Ladder& ladder = kLadders[static_cast<int>(comparator)];
    std::vector<spec::FsLevelSpec> out{level(C::Exact)};
    for (double t : ladder.thresholds) out.push_back(level(ladder.measure, t));
    out.push_back(level(C::Else));
    return out;
}

bool add_default_levels(std::vector<spec::FsFieldSpec>& fields) {
    bool added = false;
    for (auto& field : fields) {
        if (field.levels) continue;
        field.levels = default_levels(field.comparator);
        added = true;
    }
    return added;
}

std::vector<double> starting_m(const std::vector<spec::FsLevelSpec>& levels,
                               std::size_t compiled_count) {
    std::vector<double> out;
    bool all_given = levels.size() == compiled_count;
    for (const auto& l : levels) all_given = all_given && l.m_probability.has_value();
    if (all_given) {
        for (const auto& l : levels) out.push_back(*l.m_probability);
        return out;
    }
    // compiled_count - 1 levels before "else", halving.
    double total = 0.0;
    for (std::size_t i = 0; i + 1 < compiled_count; ++i)
        total += std::ldexp(1.0, -static_cast<int>(i));
    for (std::size_t i = 0; i + 1 < compiled_count; ++i)
        out.push_back((1.0 - kElseShare) * std::ldexp(1.0, -static_cast<int>(i)) / total);
    out.push_back(compiled_count == 1 ? 1.0 : kElseShare);
    return out;
}

}  // namespace velatro::engine::training
