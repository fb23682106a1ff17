#include "engine/match/score_text.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "document/float_text.hpp"

namespace velatro::engine {

namespace {

// The value times 100, rounded half to even, computed exactly from the binary value
// m * 2^e: m < 2^53, so m * 100 fits 64 bits and the shift splits off the fraction.
std::uint64_t hundredths_of(double magnitude) {
    const auto bits = std::bit_cast<std::uint64_t>(magnitude);
    const auto exp_bits = static_cast<int>(bits >> 52);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    const std::uint64_t m = exp_bits == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
    const int e = (exp_bits == 0 ? 1 : exp_bits) - 1075;
    const std::uint64_t scaled = m * 100;
    if (e >= 0) return scaled << e;  // the caller keeps magnitudes below 1e15
    if (e <= -64) return 0;          // below 2^-11: far under half a hundredth
    const int shift = -e;
    const std::uint64_t whole = scaled >> shift;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    return rest > half || (rest == half && (whole & 1)) ? whole + 1 : whole;
}

}  // namespace

void append_two_decimals(std::string& out, double value) {
    if (!std::isfinite(value) || std::fabs(value) >= 1e15) {
        out += document::two_decimals(value);
        return;
    }
    if (std::signbit(value)) out += '-';  // printf keeps the sign of -0.001 as "-0.00"
    const std::uint64_t hundredths = hundredths_of(std::fabs(value));
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
