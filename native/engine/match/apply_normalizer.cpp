#include "engine/match/apply_normalizer.hpp"

#include "engine/normalize/normalizer.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

std::string apply_normalizer(std::string_view normalizer, std::string_view value) {
    if (const Normalizer* n = find_normalizer(normalizer))
        return n->normalize(value).text_or(value);
    return to_lowercase(trim_white_space(value));
}

}  // namespace velatro::engine
