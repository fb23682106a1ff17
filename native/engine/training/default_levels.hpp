#pragma once
// The levels training gives a Fellegi-Sunter field that lists none, by its comparator
// (exact; Jaro-Winkler >= 0.92, >= 0.80; else, and the like), and the m probabilities
// expectation-maximisation starts from when a level has none.
#include <vector>

#include "spec/matching_spec.hpp"

namespace velatro::engine::training {

std::vector<spec::FsLevelSpec> default_levels(spec::FsComparator comparator);

// Fills in default levels for every field without levels; returns whether any was added.
bool add_default_levels(std::vector<spec::FsFieldSpec>& fields);

// Starting m per level (the compiled levels, "else" last): the level's own m when every
// level has one, else most of the mass on the strongest levels, halving level by level,
// and 5% on "else".
std::vector<double> starting_m(const std::vector<spec::FsLevelSpec>& levels,
                               std::size_t compiled_count);

}  // namespace velatro::engine::training
