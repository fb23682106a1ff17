#include "engine/normalize/normalizer.hpp"

#include "engine/normalize/domain_normalizer.hpp"
#include "engine/normalize/email_normalizer.hpp"
#include "engine/normalize/name_normalizer.hpp"
#include "engine/normalize/nickname_normalizer.hpp"
#include "engine/normalize/phone_normalizer.hpp"

namespace velatro::engine {
namespace {

// The normalizers hold no state, so one shared instance of each serves every rule.
const NameNormalizer kName;
const EmailNormalizer kEmail;
const PhoneNormalizer kPhone;
const DomainNormalizer kDomain;
const NicknameNormalizer kNickname;

struct Registration {
    std::string_view name;
    const Normalizer* normalizer;
};

const Registration kRegistry[] = {
    {"name", &kName},     {"email", &kEmail},       {"phone", &kPhone},
    {"domain", &kDomain}, {"nickname", &kNickname},
};

}  // namespace

const Normalizer* find_normalizer(std::string_view name) noexcept {
    for (const auto& r : kRegistry)
        if (r.name == name) return r.normalizer;
    return nullptr;
}

}  // namespace velatro::engine
