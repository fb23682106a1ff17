#pragma once
// Failure values of the core. A velatro::Error is an ordinary failure (bad input)
// and becomes ValueError at the module boundary; anything else that escapes the
// core is a broken invariant and becomes PanicException.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velatro {

class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace document {

// A position in the YAML text, both counted from 1; line 0 means unknown.
struct Mark {
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    [[nodiscard]] bool known() const { return line != 0; }
    friend bool operator==(const Mark&, const Mark&) = default;
};

// " at line L column C", or nothing when the position is unknown.
std::string location_suffix(Mark mark);

// A reading error: the full message (already carrying its location suffix) and the
// position it points at, which strict validation turns into a line hint.
class ReadError : public Error {
  public:
    ReadError(std::string message, Mark mark) : Error(std::move(message)), mark_(mark) {}
    [[nodiscard]] Mark mark() const { return mark_; }

  private:
    Mark mark_;
};

}  // namespace document
}  // namespace velatro
