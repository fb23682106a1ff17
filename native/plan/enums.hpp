#pragma once
// Enumerations of the identity plan. Each value's lower snake-case name is both its
// YAML spelling in an identity spec and its JSON text in the plan, so the names live
// in one table per enumeration (in declaration order) and every conversion goes
// through those tables.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velatro::plan {

enum class BlockingStrategy : std::uint8_t { Single, Composite, Lsh, MlPredicted };

enum class BlockingTransformation : std::uint8_t {
    Lowercase,
    FirstInitial,
    Soundex,
    AreaCode,
    Last4,
    Trigrams,
    DoubleMetaphone,
    NormalizePhone,
    NormalizeEmail,
    NormalizeName,
    NormalizeDomain,
};

enum class SimilarityAlgorithm : std::uint8_t {
    JaroWinkler,
    Levenshtein,
    Soundex,
    Metaphone,
    Cosine,
    Haversine,
};

enum class CompositeOperator : std::uint8_t { And, Or };

enum class ScoringMethod : std::uint8_t { WeightedSum, MlEnsemble, Custom, FellegiSunter };

enum class FsComparatorType : std::uint8_t {
    Exact,
    JaroWinkler,
    Levenshtein,
    Soundex,
    Metaphone,
    Cosine,
};

// The condition of one comparison level of a Fellegi-Sunter field: one of the field
// comparators held against a threshold, or "else", the level that takes every pair the
// levels before it did not.
enum class FsLevelComparator : std::uint8_t {
    Exact,
    JaroWinkler,
    Levenshtein,
    Soundex,
    Metaphone,
    Cosine,
    Else,
};

enum class SurvivorshipStrategy : std::uint8_t {
    MostRecent,
    MostComplete,
    SourcePriority,
    Aggregate,
    Custom,
};

enum class ConflictStrategy : std::uint8_t { PreferHighConfidence, PreferRecent, ManualReview };

enum class TemporalStrategy : std::uint8_t { LatestOnly, PointInTime, BiTemporal };

enum class ReferenceIdType : std::uint8_t { External, Internal };

enum class Cardinality : std::uint8_t { OneToOne, OneToMany, ManyToOne, ManyToMany };

enum class TieBreaker : std::uint8_t { ExactMatchPriority, LowestEntityId, EarliestTimestamp };

// names[i] is the name of the value whose underlying number is i.
template <class E>
struct EnumNames;

template <>
struct EnumNames<BlockingStrategy> {
    static constexpr std::array<std::string_view, 4> names{"single", "composite", "lsh",
                                                           "ml_predicted"};
};
template <>
struct EnumNames<BlockingTransformation> {
    static constexpr std::array<std::string_view, 11> names{
        "lowercase",        "first_initial",   "soundex",         "area_code",
        "last4",            "trigrams",        "double_metaphone", "normalize_phone",
        "normalize_email",  "normalize_name",  "normalize_domain"};
};
template <>
struct EnumNames<SimilarityAlgorithm> {
    static constexpr std::array<std::string_view, 6> names{
        "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine", "haversine"};
};
template <>
struct EnumNames<CompositeOperator> {
    static constexpr std::array<std::string_view, 2> names{"and", "or"};
};
template <>
struct EnumNames<ScoringMethod> {
    static constexpr std::array<std::string_view, 4> names{"weighted_sum", "ml_ensemble",
                                                           "custom", "fellegi_sunter"};
};
template <>
struct EnumNames<FsComparatorType> {
    static constexpr std::array<std::string_view, 6> names{
        "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine"};
};
template <>
struct EnumNames<FsLevelComparator> {
    static constexpr std::array<std::string_view, 7> names{
        "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone", "cosine", "else"};
};
template <>
struct EnumNames<SurvivorshipStrategy> {
    static constexpr std::array<std::string_view, 5> names{
        "most_recent", "most_complete", "source_priority", "aggregate", "custom"};
};
template <>
struct EnumNames<ConflictStrategy> {
    static constexpr std::array<std::string_view, 3> names{
        "prefer_high_confidence", "prefer_recent", "manual_review"};
};
template <>
struct EnumNames<TemporalStrategy> {
    static constexpr std::array<std::string_view, 3> names{"latest_only", "point_in_time",
                                                           "bi_temporal"};
};
template <>
struct EnumNames<ReferenceIdType> {
    static constexpr std::array<std::string_view, 2> names{"external", "internal"};
};
template <>
struct EnumNames<Cardinality> {
    static constexpr std::array<std::string_view, 4> names{"one_to_one", "one_to_many",
                                                           "many_to_one", "many_to_many"};
};
template <>
struct EnumNames<TieBreaker> {
    static constexpr std::array<std::string_view, 3> names{
        "exact_match_priority", "lowest_entity_id", "earliest_timestamp"};
};

template <class E>
concept PlanEnum = requires { EnumNames<E>::names; };

template <PlanEnum E>
constexpr std::string_view enum_name(E value) {
    return EnumNames<E>::names[static_cast<std::size_t>(value)];
}

// The value with exactly this name (case-sensitive), or nothing.
template <PlanEnum E>
constexpr std::optional<E> enum_from_name(std::string_view name) {
    const auto& names = EnumNames<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<E>(i);
    return std::nullopt;
}

}  // namespace velatro::plan
