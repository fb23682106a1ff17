#pragma once
// The comparison-level keys of a spec tree, as the checks, the plan report and the diff
// read them: the Fellegi-Sunter fields under decision.scoring.fields, their levels and
// the scoring's prior. A spec that uses none of these keys is never touched by what
// builds on this.
#include <string>

#include "document/value.hpp"

namespace velatro::tooling {

// decision.scoring, or nullptr.
const document::Value* scoring_of(const document::Value& tree);
// decision.scoring.fields as an array, or nullptr.
const document::Array* fs_fields_of(const document::Value& tree);

// Whether the spec opts into comparison levels: a field with levels, term_frequency or
// term_frequency_min_u, or a prior in the scoring section.
bool uses_levels(const document::Value& tree);

// A level's name: its own, or the one the engine gives it ("exact", "else",
// "jaro_winkler >= 0.92"); "unknown" for a level without a usable comparator.
std::string level_name(const document::Value& level);

}  // namespace velatro::tooling
