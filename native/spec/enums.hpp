#pragma once
// The enumerations of the identity spec with their YAML names. Each enumeration has
// an EnumInfo entry: the type name used in reading messages and the accepted names
// in declaration order (that order is also the order of the "expected" lists).
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "plan/enums.hpp"

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
// The enumerations the plan carries over unchanged are the plan's own types: one
// definition, one list of names.
using plan::BlockingStrategy;
using plan::Cardinality;
using plan::CompositeOperator;
using plan::ConflictStrategy;
using plan::ReferenceIdType;
using plan::ScoringMethod;
using plan::SimilarityAlgorithm;
using plan::SurvivorshipStrategy;
using plan::TemporalStrategy;
using plan::TieBreaker;
using FsComparator = plan::FsComparatorType;
using plan::FsLevelComparator;

enum class ScoringStrategy : std::uint8_t { FellegiSunter };
enum class AggregateFunction : std::uint8_t { Max, Min, Sum, Avg, Union, Intersection };

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
VELATRO_ENUM_INFO(ScoringStrategy, "fellegi_sunter")
VELATRO_ENUM_INFO(AggregateFunction, "max", "min", "sum", "avg", "union", "intersection")

// The shared enumerations read by their plan names, under the spec's type names.
#define VELATRO_PLAN_ENUM_INFO(E)                                       \
    template <>                                                         \
    struct EnumInfo<E> {                                                \
        static constexpr std::string_view type_name = #E;               \
        static constexpr const auto& names = plan::EnumNames<E>::names; \
    };

VELATRO_PLAN_ENUM_INFO(TemporalStrategy)
VELATRO_PLAN_ENUM_INFO(ReferenceIdType)
VELATRO_PLAN_ENUM_INFO(SimilarityAlgorithm)
VELATRO_PLAN_ENUM_INFO(CompositeOperator)
VELATRO_PLAN_ENUM_INFO(BlockingStrategy)
VELATRO_PLAN_ENUM_INFO(ConflictStrategy)
VELATRO_PLAN_ENUM_INFO(TieBreaker)
VELATRO_PLAN_ENUM_INFO(ScoringMethod)
VELATRO_PLAN_ENUM_INFO(FsComparator)
VELATRO_PLAN_ENUM_INFO(FsLevelComparator)
VELATRO_PLAN_ENUM_INFO(SurvivorshipStrategy)
VELATRO_PLAN_ENUM_INFO(Cardinality)

#undef VELATRO_PLAN_ENUM_INFO
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
