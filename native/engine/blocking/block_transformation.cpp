#include "engine/blocking/block_transformation.hpp"

#include <array>

#include "engine/blocking/key_text.hpp"
#include "engine/match/double_metaphone.hpp"
#include "engine/match/soundex.hpp"
#include "engine/normalize/domain_normalizer.hpp"
#include "engine/normalize/email_normalizer.hpp"
#include "engine/normalize/name_normalizer.hpp"
#include "engine/normalize/phone_normalizer.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

using Apply = void (*)(std::string_view, TextList&);

// A normalizer as a transformation: a rejected value goes on as it was.
template <class N>
void normalized(std::string_view value, TextList& out) {
    static const N normalizer{};
    auto result = normalizer.normalize(value);
    out.push() = std::move(result).text_or(value);
}

// Indexed by the transformation's value, in declaration order.
constexpr std::array<Apply, plan::EnumNames<plan::BlockingTransformation>::names.size()> kApply{
    // lowercase
    [](std::string_view v, TextList& out) { out.push() = to_lowercase(v); },
    // first_initial
    [](std::string_view v, TextList& out) { out.push(first_initial(v)); },
    // soundex
    [](std::string_view v, TextList& out) { out.push() = soundex(v); },
    // area_code
    [](std::string_view v, TextList& out) { area_code(v, out.push()); },
    // last4
    [](std::string_view v, TextList& out) { last4(v, out.push()); },
    // trigrams
    [](std::string_view v, TextList& out) { append_trigrams(v, out); },
    // double_metaphone: the primary code only
    [](std::string_view v, TextList& out) { out.push() = std::move(double_metaphone(v).primary); },
    &normalized<PhoneNormalizer>,
    &normalized<EmailNormalizer>,
    &normalized<NameNormalizer>,
    &normalized<DomainNormalizer>,
};

static_assert(static_cast<std::size_t>(plan::BlockingTransformation::NormalizePhone) == 7 &&
              static_cast<std::size_t>(plan::BlockingTransformation::NormalizeDomain) == 10);

}  // namespace

void apply_transformation(plan::BlockingTransformation transformation, std::string_view value,
                          TextList& out) {
    kApply[static_cast<std::size_t>(transformation)](value, out);
}

}  // namespace velatro::engine
