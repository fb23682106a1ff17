#pragma once
// The enumerations of the identity spec with their YAML names. Each enumeration has
// an EnumInfo entry: the type name used in reading messages and the accepted names
// in declaration order (that order is also the order of the "expected" lists).
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velatro::spec {

enum class AdapterType : std::uint8_t {
    Snowflake,
    Bigquery,
    Redshift,
    Databricks,
    Postgres,
    Pandas,
    Csv,
    Dbt,
    File,
    Webhook,
    Api,
};
enum class SamplingStrategy : std::uint8_t { Random, Stratified, TimeBased };
enum class TemporalStrategy : std::uint8_t { LatestOnly, PointInTime, BiTemporal };
enum class ReferenceIdType : std::uint8_t { External, Internal };
enum class SimilarityAlgorithm : std::uint8_t {
    JaroWinkler,
    Levenshtein,
    Soundex,
    Metaphone,
    Cosine,
    Haversine,
};
enum class CompositeOperator : std::uint8_t { And, Or };
enum class BlockingStrategy : std::uint8_t { Single, Composite, Lsh, MlPredicted };
enum class ConflictStrategy : std::uint8_t { PreferHighConfidence, PreferRecent, ManualReview };
enum class TieBreaker : std::uint8_t { ExactMatchPriority, LowestEntityId, EarliestTimestamp };
enum class ScoringMethod : std::uint8_t { WeightedSum, MlEnsemble, Custom, FellegiSunter };
enum class ScoringStrategy : std::uint8_t { FellegiSunter };
enum class FsComparator : std::uint8_t {
    Exact,
    JaroWinkler,
    Levenshtein,
    Soundex,
    Metaphone,
    Cosine,
};
enum class SurvivorshipStrategy : std::uint8_t {
    MostRecent,
    MostComplete,
    SourcePriority,
    Aggregate,
    Custom,
};
enum class AggregateFunction : std::uint8_t { Max, Min, Sum, Avg, Union, Intersection };
enum class Cardinality : std::uint8_t { OneToOne, OneToMany, ManyToOne, ManyToMany };

template <typename E>
struct EnumInfo;

#define VELATRO_ENUM_INFO(E, ...)                                                           \
    template <>                                                                             \
    struct EnumInfo<E> {                                                                    \
        static constexpr std::string_view type_name = #E;                                   \
        static constexpr std::array names = std::to_array<std::string_view>({__VA_ARGS__}); \
    };

VELATRO_ENUM_INFO(AdapterType, "snowflake", "bigquery", "redshift", "databricks", "postgres",
                  "pandas", "csv", "dbt", "file", "webhook", "api")
VELATRO_ENUM_INFO(SamplingStrategy, "random", "stratified", "time_based")
VELATRO_ENUM_INFO(TemporalStrategy, "latest_only", "point_in_time", "bi_temporal")
VELATRO_ENUM_INFO(ReferenceIdType, "external", "internal")
VELATRO_ENUM_INFO(SimilarityAlgorithm, "jaro_winkler", "levenshtein", "soundex", "metaphone",
                  "cosine", "haversine")
VELATRO_ENUM_INFO(CompositeOperator, "and", "or")
VELATRO_ENUM_INFO(BlockingStrategy, "single", "composite", "lsh", "ml_predicted")
VELATRO_ENUM_INFO(ConflictStrategy, "prefer_high_confidence", "prefer_recent", "manual_review")
VELATRO_ENUM_INFO(TieBreaker, "exact_match_priority", "lowest_entity_id", "earliest_timestamp")
VELATRO_ENUM_INFO(ScoringMethod, "weighted_sum", "ml_ensemble", "custom", "fellegi_sunter")
VELATRO_ENUM_INFO(ScoringStrategy, "fellegi_sunter")
VELATRO_ENUM_INFO(FsComparator, "exact", "jaro_winkler", "levenshtein", "soundex", "metaphone",
                  "cosine")
VELATRO_ENUM_INFO(SurvivorshipStrategy, "most_recent", "most_complete", "source_priority",
                  "aggregate", "custom")
VELATRO_ENUM_INFO(AggregateFunction, "max", "min", "sum", "avg", "union", "intersection")
VELATRO_ENUM_INFO(Cardinality, "one_to_one", "one_to_many", "many_to_one", "many_to_many")

#undef VELATRO_ENUM_INFO

// The YAML name of an enumeration value ("time_based").
template <typename E>
constexpr std::string_view to_name(E value) {
    return EnumInfo<E>::names[static_cast<std::size_t>(value)];
}

// The value whose YAML name is exactly `name`, compared byte for byte.
template <typename E>
constexpr std::optional<E> from_name(std::string_view name) {
    const auto& names = EnumInfo<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<E>(i);
    return std::nullopt;
}

}  // namespace velatro::spec
