#include "engine/model/field_levels.hpp"

#include <cmath>
#include <optional>

#include "engine/match/apply_normalizer.hpp"
#include "engine/match/bigram_cosine.hpp"
#include "engine/match/double_metaphone.hpp"
#include "engine/match/jaro_winkler.hpp"
#include "engine/match/levenshtein.hpp"
#include "engine/match/soundex.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

using plan::FsLevelComparator;

namespace {

// Indexed by FsLevelComparator: the prepared part each comparator reads.
constexpr std::uint8_t kNeedOf[] = {0, 1, 1, 2, 4, 8, 0};
static_assert(std::size(kNeedOf) == plan::EnumNames<FsLevelComparator>::names.size());

}  // namespace

FieldLevels::FieldLevels(const plan::CompiledFsField& field)
    : field_(field.name),
      normalizer_(field.normalizer),
      levels_(field.levels ? *field.levels : std::vector<plan::CompiledFsLevel>{}) {
    for (const auto& level : levels_) needs_ |= kNeedOf[static_cast<int>(level.comparator)];
    if (needs_ & kSoundex) soundex_slot_ = slots_++;
    if (needs_ & kMetaphone) metaphone_slot_ = slots_++;
    if (needs_ & kBigrams) bigram_slot_ = slots_++;
}

bool FieldLevels::normalised(const NormalizedEntity& entity, std::string& out) const {
    const std::string* raw = entity.field(field_);
    if (!raw) return false;
    out = normalizer_ ? apply_normalizer(*normalizer_, *raw) : *raw;
    // An empty or blank value is as missing as an absent one: it says nothing about
    // whether the two records are the same entity.
    return !trim_white_space(out).empty();
}

void FieldLevels::prepare(const NormalizedEntity& entity, PreparedValue* out) const {
    PreparedValue& base = out[0];
    base.present = normalised(entity, base.text);
    if (!base.present) return;
    if (needs_ & kChars) base.detail = CharText(base.text);
    if (needs_ & kSoundex) out[soundex_slot_].text = soundex(base.text);
    if (needs_ & kMetaphone) {
        MetaphoneCodes codes = double_metaphone(base.text);
        out[metaphone_slot_].text = std::move(codes.primary);
        out[metaphone_slot_].detail = std::move(codes.alternate);
    }
    if (needs_ & kBigrams) out[bigram_slot_].detail = BigramProfile(base.text);
}

int FieldLevels::level(const PreparedValue* a, const PreparedValue* b) const {
    if (!a[0].present || !b[0].present) return kNullLevel;
    // Each measure once per pair, on first use.
    std::optional<double> jaro_winkler_score, levenshtein_score, metaphone_score, cosine_score;
    auto chars = [](const PreparedValue* p) -> const CharText& {
        return *std::get_if<CharText>(&p[0].detail);
    };
    auto score_of = [&](FsLevelComparator comparator) -> double {
        switch (comparator) {
            case FsLevelComparator::JaroWinkler:
                if (!jaro_winkler_score) jaro_winkler_score = jaro_winkler(chars(a), chars(b));
                return *jaro_winkler_score;
            case FsLevelComparator::Levenshtein:
                if (!levenshtein_score)
                    levenshtein_score = normalized_levenshtein(chars(a), chars(b));
                return *levenshtein_score;
            case FsLevelComparator::Soundex:
                return a[soundex_slot_].text == b[soundex_slot_].text ? 1.0 : 0.0;
            case FsLevelComparator::Metaphone:
                if (!metaphone_score) {
                    const PreparedValue& x = a[metaphone_slot_];
                    const PreparedValue& y = b[metaphone_slot_];
                    metaphone_score =
                        metaphone_agreement(x.text, *std::get_if<std::string>(&x.detail), y.text,
                                            *std::get_if<std::string>(&y.detail));
                }
                return *metaphone_score;
            case FsLevelComparator::Cosine:
                if (!cosine_score)
                    cosine_score =
                        bigram_cosine(*std::get_if<BigramProfile>(&a[bigram_slot_].detail),
                                      *std::get_if<BigramProfile>(&b[bigram_slot_].detail));
                return *cosine_score;
            case FsLevelComparator::Exact:
            case FsLevelComparator::Else: break;
        }
        return 0.0;
    };
    const int count = static_cast<int>(levels_.size());
    for (int i = 0; i < count; ++i) {
        const auto& level = levels_[static_cast<std::size_t>(i)];
        switch (level.comparator) {
            case FsLevelComparator::Exact:
                if (a[0].text == b[0].text) return i;
                break;
            case FsLevelComparator::Else: return i;
            default:
                if (score_of(level.comparator) >= level.threshold) return i;
        }
    }
    // The compiler always ends the levels with "else"; an empty list has no level.
    return count - 1;
}

}  // namespace velatro::engine
