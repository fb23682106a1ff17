#include "engine/datetime.hpp"

#include <chrono>
#include <cstdio>

namespace velatro::engine {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// Days since 1970-01-01 of a proleptic Gregorian date (era-based, exact for any year).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(std::int64_t y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// The reasons a date-time text is refused.
constexpr const char* kInvalid = "input contains invalid characters";
constexpr const char* kPremature = "premature end of input";
constexpr const char* kTrailing = "trailing input";
constexpr const char* kOutOfRange = "input is out of range";

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    [[nodiscard]] bool at_end() const { return pos_ == text_.size(); }
    [[nodiscard]] char peek() const { return text_[pos_]; }
    void advance() { ++pos_; }

    // Exactly n ASCII digits.
    bool digits(unsigned n, unsigned& out) {
        out = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (at_end()) return fail(kPremature);
            char c = peek();
            if (c < '0' || c > '9') return fail(kInvalid);
            out = out * 10 + static_cast<unsigned>(c - '0');
            advance();
        }
        return true;
    }

    bool expect(char c) {
        if (at_end()) return fail(kPremature);
        if (peek() != c) return fail(kInvalid);
        advance();
        return true;
    }

    std::size_t skip_spaces() {
        std::size_t n = 0;
        while (!at_end() && peek() == ' ') {
            advance();
            ++n;
        }
        return n;
    }

    bool fail(const char* reason) {
        reason_ = reason;
        return false;
    }

    [[nodiscard]] const char* reason() const { return reason_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    const char* reason_ = nullptr;
};

bool ascii_upper_equals(char c, char upper) { return c == upper || c == upper + ('a' - 'A'); }

}  // namespace

UtcDateTime UtcDateTime::from_civil(std::int64_t year, unsigned month, unsigned day, unsigned hour,
                                    unsigned minute, unsigned second, std::uint32_t nanos) {
    return {days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second,
            nanos};
}

UtcDateTime UtcDateTime::now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    std::int64_t secs = ns / kNanosPerSecond;
    std::int64_t rem = ns % kNanosPerSecond;
    if (rem < 0) {
        rem += kNanosPerSecond;
        --secs;
    }
    return {secs, static_cast<std::uint32_t>(rem)};
}

std::string UtcDateTime::to_string() const {
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t sod = seconds % kSecondsPerDay;
    if (sod < 0) {
        sod += kSecondsPerDay;
        --days;
    }
    std::uint32_t ns = nanos;
    if (ns >= kNanosPerSecond) {  // leap second
        ns -= kNanosPerSecond;
        ++sod;
    }
    const Civil c = civil_from_days(days);
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                          static_cast<long long>(c.year), c.month, c.day,
                          static_cast<long long>(sod / 3600), static_cast<long long>(sod / 60 % 60),
                          static_cast<long long>(sod % 60));
    std::string out(buf, static_cast<std::size_t>(n));
    if (ns != 0) {
        std::snprintf(buf, sizeof buf, ".%09u", ns);
        std::string fraction(buf);
        while (fraction.back() == '0') fraction.pop_back();
        out += fraction;
    }
    out += 'Z';
    return out;
}

std::optional<UtcDateTime> UtcDateTime::parse(std::string_view text, std::string* reason) {
    Scanner s(text);
    auto refuse = [&](const char* why) -> std::optional<UtcDateTime> {
        if (reason != nullptr) *reason = why;
        return std::nullopt;
    };
    auto refused = [&]() { return refuse(s.reason()); };

    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!s.digits(4, year) || !s.expect('-') || !s.digits(2, month) || !s.expect('-') ||
        !s.digits(2, day))
        return refused();

    const std::size_t spaces = s.skip_spaces();
    if (s.at_end()) return refuse(kPremature);
    if (s.peek() == 'T' || s.peek() == 't') {
        s.advance();
        s.skip_spaces();
    } else if (spaces == 0) {
        return refuse(kInvalid);
    }

    if (!s.digits(2, hour) || !s.expect(':') || !s.digits(2, minute) || !s.expect(':') ||
        !s.digits(2, second))
        return refused();

    std::uint32_t nanos = 0;
    if (!s.at_end() && s.peek() == '.') {
        s.advance();
        unsigned count = 0;
        while (!s.at_end() && s.peek() >= '0' && s.peek() <= '9') {
            if (++count > 9) return refuse(kInvalid);
            nanos = nanos * 10 + static_cast<std::uint32_t>(s.peek() - '0');
            s.advance();
        }
        if (count == 0) return refuse(s.at_end() ? kPremature : kInvalid);
        for (; count < 9; ++count) nanos *= 10;
    }

    s.skip_spaces();
    if (s.at_end()) return refuse(kPremature);
    std::int64_t offset_seconds = 0;
    const char lead = s.peek();
    if (lead == 'Z' || lead == 'z') {
        s.advance();
    } else if (lead == '+' || lead == '-') {
        s.advance();
        unsigned oh = 0, om = 0;
        if (!s.digits(2, oh)) return refused();
        if (!s.at_end() && s.peek() == ':') s.advance();
        if (!s.digits(2, om)) return refused();
        if (oh > 23 || om > 59) return refuse(kOutOfRange);
        offset_seconds = (lead == '+' ? 1 : -1) * static_cast<std::int64_t>(oh * 3600 + om * 60);
    } else if (ascii_upper_equals(lead, 'U')) {
        s.advance();
        for (char upper : {'T', 'C'}) {
            if (s.at_end()) return refuse(kPremature);
            if (!ascii_upper_equals(s.peek(), upper)) return refuse(kInvalid);
            s.advance();
        }
    } else {
        return refuse(kInvalid);
    }
    if (!s.at_end()) return refuse(kTrailing);

    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
        minute > 59 || second > 60)
        return refuse(kOutOfRange);
    if (second == 60) {
        second = 59;
        nanos += kNanosPerSecond;
    }
    UtcDateTime local = from_civil(year, month, day, hour, minute, second, nanos);
    local.seconds -= offset_seconds;
    return local;
}

}  // namespace velatro::engine
