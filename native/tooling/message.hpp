#pragma once
// Message templates with "{}" placeholders, filled left to right. Keeping the
// templates whole makes every user-visible text readable in one place.
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velatro::tooling {

// Replaces each "{}" of `pattern` with the next argument; extra placeholders stay
// as they are, extra arguments are ignored.
inline std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(pattern.size() + 16 * args.size());
    auto next = args.begin();
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        std::size_t hole = pattern.find("{}", pos);
        if (hole == std::string_view::npos || next == args.end()) break;
        out.append(pattern, pos, hole - pos);
        out.append(*next++);
        pos = hole + 2;
    }
    out.append(pattern.substr(pos));
    return out;
}

}  // namespace velatro::tooling
