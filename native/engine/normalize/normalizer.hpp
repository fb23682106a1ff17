#pragma once
// Normalizers bring a field value to a canonical form before it is compared or turned
// into a block key. They are stateless and shared by all worker threads.
#include <string>
#include <string_view>
#include <utility>

namespace velatro::engine {

// The normalised text, or one of the fixed failure messages.
class NormalizeResult {
public:
    static NormalizeResult success(std::string text) { return NormalizeResult(std::move(text), {}); }
    // `message` must have static storage: failures are fixed texts.
    static NormalizeResult failure(std::string_view message) { return NormalizeResult({}, message); }

    [[nodiscard]] bool ok() const noexcept { return error_.empty(); }
    [[nodiscard]] const std::string& text() const noexcept { return text_; }
    [[nodiscard]] std::string_view error() const noexcept { return error_; }

    // The normalised text, or `original` unchanged when normalisation failed: what every
    // caller that falls back to the raw value wants.
    [[nodiscard]] std::string text_or(std::string_view original) && {
        return ok() ? std::move(text_) : std::string(original);
    }

private:
    NormalizeResult(std::string text, std::string_view error)
        : text_(std::move(text)), error_(error) {}

    std::string text_;
    std::string_view error_;
};

class Normalizer {
public:
    virtual ~Normalizer() = default;
    [[nodiscard]] virtual NormalizeResult normalize(std::string_view text) const = 0;
};

// The normalizer registered under `name` ("name", "email", "phone", "domain",
// "nickname"; exact and case-sensitive), or nullptr for any other name.
[[nodiscard]] const Normalizer* find_normalizer(std::string_view name) noexcept;

}  // namespace velatro::engine
