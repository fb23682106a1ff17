#pragma once
// The spec a training produced: the original YAML text with the learned probabilities
// written in. Only the value of decision.scoring is rewritten (its keys in their order,
// every field given its levels with m and u, the prior and, when asked, the thresholds);
// everything before and after it stays byte for byte, comments included. Comments inside
// the scoring section itself are not kept.
#include <string>
#include <string_view>

#include "engine/training/trainer.hpp"

namespace velatro::engine::training {

// Throws velatro::Error when the text has no decision.scoring mapping, or the number of
// its fields differs from the training's.
std::string learned_spec(std::string_view yaml, const TrainingResult& result, bool set_thresholds);

// A probability or weight as the learned spec writes it: six significant digits, in
// positional notation (YAML 1.1 reads an exponent without a point as text).
std::string learned_number(double value);

}  // namespace velatro::engine::training
