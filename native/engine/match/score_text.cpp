#include "engine/match/score_text.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "document/float_text.hpp"

namespace velatro::engine {

// x86-64 long double has a 64-bit significand, so value * 100 (53 + 7 significant bits)
// is exact, and rounding it to an integer in the default mode is exactly the half-to-even
// rounding of the binary value at two decimals.
static_assert(std::numeric_limits<long double>::digits >= 60);

void append_two_decimals(std::string& out, double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 1e15) {
        out += document::two_decimals(value);
        return;
    }
    if (std::signbit(value)) out += '-';  // printf keeps the sign of -0.001 as "-0.00"
    const long double scaled = static_cast<long double>(std::fabs(value)) * 100.0L;
    const auto hundredths = static_cast<std::uint64_t>(std::nearbyintl(scaled));
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    std::uint64_t rest = hundredths;
    *--p = static_cast<char>('0' + rest % 10);
    rest /= 10;
    *--p = static_cast<char>('0' + rest % 10);
    rest /= 10;
    *--p = '.';
    do {
        *--p = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    out.append(p, end);
}

}  // namespace velatro::engine
