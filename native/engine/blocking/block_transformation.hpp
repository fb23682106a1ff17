#pragma once
#include <string_view>

#include "engine/blocking/text_list.hpp"
#include "plan/enums.hpp"

namespace velatro::engine {

// Appends the results of one block-key transformation of value to out: one result, or
// one per window for "trigrams". Never fails: a normalizer that rejects the value
// passes it on unchanged. value must not refer into out.
void apply_transformation(plan::BlockingTransformation transformation, std::string_view value,
                          TextList& out);

}  // namespace velatro::engine
