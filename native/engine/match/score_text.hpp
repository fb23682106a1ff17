#pragma once
// Two-decimal text of a score or distance, as document::two_decimals writes it (the
// exact binary value rounded half to even), without going through printf: explanations
// are built for every evaluated pair.
#include <string>

namespace velatro::engine {

void append_two_decimals(std::string& out, double value);

}  // namespace velatro::engine
