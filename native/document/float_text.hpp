#pragma once
// The float texts that reach users and hashes. All of them start from the shortest
// decimal digit string that reads back to the same double.
#include <string>

namespace velatro::document {

// Compact-JSON form: 2.0, 12.5, 0.05, 1e+16, 1.5e-7; non-finite becomes null.
void append_json_float(std::string& out, double value);
std::string json_float(double value);

// Plain positional form used in messages and aggregates: 1.5, 2, -0.25,
// 1000000000000000000000, 0.0000001; NaN and infinities as NaN, inf, -inf.
std::string plain_float(double value);

// Two decimals of the exact binary value, ties to even (0.125 gives 0.12).
std::string two_decimals(double value);

// Four decimals, same rounding.
std::string four_decimals(double value);

}  // namespace velatro::document
