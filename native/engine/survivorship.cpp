#include "engine/survivorship.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "document/digest.hpp"
#include "document/float_text.hpp"
#include "engine/match/float_syntax.hpp"

namespace velatro::engine {
namespace {

using Members = std::span<const NormalizedEntity* const>;
using Values = std::vector<const std::string*>;

std::vector<const NormalizedEntity*> pointers_to(std::span<const NormalizedEntity> members) {
    std::vector<const NormalizedEntity*> out;
    out.reserve(members.size());
    for (const auto& m : members) out.push_back(&m);
    return out;
}

// ---- aggregates -------------------------------------------------------------------------

using Aggregate = std::optional<std::string> (*)(const Values&);

std::optional<std::string> aggregate_max(const Values& values) {
    return **std::max_element(values.begin(), values.end(),
                              [](const std::string* a, const std::string* b) { return *a < *b; });
}

std::optional<std::string> aggregate_min(const Values& values) {
    return **std::min_element(values.begin(), values.end(),
                              [](const std::string* a, const std::string* b) { return *a < *b; });
}

// Member order and a negative-zero start, so that the text is reproducible to the last bit
// and a field of only "-0" stays "-0".
std::pair<double, std::size_t> float_sum(const Values& values) {
    double sum = -0.0;
    std::size_t count = 0;
    for (const std::string* v : values) {
        if (auto f = parse_float(*v)) {
            sum += *f;
            ++count;
        }
    }
    return {sum, count};
}

std::optional<std::string> aggregate_sum(const Values& values) {
    return document::plain_float(float_sum(values).first);
}

std::optional<std::string> aggregate_avg(const Values& values) {
    auto [sum, count] = float_sum(values);
    if (count == 0) return std::nullopt;
    return document::plain_float(sum / static_cast<double>(count));
}

std::optional<std::string> aggregate_intersection(const Values& values) {
    const std::string& first = *values.front();
    for (const std::string* v : values)
        if (*v != first) return std::nullopt;
    return first;
}

std::optional<std::string> aggregate_union(const Values& values) {
    std::vector<std::string_view> distinct;
    distinct.reserve(values.size());
    for (const std::string* v : values) distinct.emplace_back(*v);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::string out;
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        if (i > 0) out += ',';
        out += distinct[i];
    }
    return out;
}

struct NamedAggregate {
    std::string_view name;
    Aggregate fn;
};

// Matched exactly; any other name, "Union" included, or no name at all means the union.
constexpr std::array<NamedAggregate, 5> kAggregates{{
    {"Max", aggregate_max},
    {"Min", aggregate_min},
    {"Sum", aggregate_sum},
    {"Avg", aggregate_avg},
    {"Intersection", aggregate_intersection},
}};

Aggregate find_aggregate(const std::optional<std::string>& name) {
    if (name)
        for (const auto& a : kAggregates)
            if (a.name == *name) return a.fn;
    return aggregate_union;
}

// ---- strategies -------------------------------------------------------------------------

const UtcDateTime& recency(const NormalizedEntity& m) {
    return m.valid_from ? *m.valid_from : m.last_updated;
}

bool less_recent(const NormalizedEntity& a, const NormalizedEntity& b) {
    return std::tie(recency(a), a.external_id) < std::tie(recency(b), b.external_id);
}

const std::string* most_recent(Members members, std::string_view field) {
    const NormalizedEntity* best = nullptr;
    const std::string* value = nullptr;
    for (const NormalizedEntity* m : members) {
        const std::string* v = m->field(field);
        if (!v) continue;
        // Not-less rather than greater: on a full tie the later member wins.
        if (!best || !less_recent(*m, *best)) {
            best = m;
            value = v;
        }
    }
    return value;
}

const std::string* most_complete(Members members, std::string_view field) {
    const std::string* best = nullptr;
    for (const NormalizedEntity* m : members) {
        const std::string* v = m->field(field);
        if (!v) continue;
        if (!best || v->size() > best->size() || (v->size() == best->size() && *v > *best))
            best = v;
    }
    return best;
}

const std::string* by_source_priority(Members members, std::string_view field,
                                      const std::vector<std::string>& priority) {
    const std::string* best = nullptr;
    std::size_t best_rank = priority.size();
    for (const NormalizedEntity* m : members) {
        const std::string* v = m->field(field);
        if (!v) continue;
        const auto rank = static_cast<std::size_t>(
            std::find(priority.begin(), priority.end(), m->source_name) - priority.begin());
        // Strictly better only: between members of one source the first one wins.
        if (rank < best_rank) {
            best_rank = rank;
            best = v;
        }
    }
    return best ? best : most_recent(members, field);
}

std::optional<std::string> copy_of(const std::string* v) {
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

using Strategy = std::optional<std::string> (*)(Members, std::string_view,
                                                const plan::FieldSurvivorshipPolicy*);

std::optional<std::string> strategy_most_recent(Members members, std::string_view field,
                                                const plan::FieldSurvivorshipPolicy*) {
    return copy_of(most_recent(members, field));
}

std::optional<std::string> strategy_most_complete(Members members, std::string_view field,
                                                  const plan::FieldSurvivorshipPolicy*) {
    return copy_of(most_complete(members, field));
}

std::optional<std::string> strategy_source_priority(Members members, std::string_view field,
                                                    const plan::FieldSurvivorshipPolicy* entry) {
    if (!entry || !entry->source_priority || entry->source_priority->empty())
        return copy_of(most_recent(members, field));
    return copy_of(by_source_priority(members, field, *entry->source_priority));
}

std::optional<std::string> strategy_aggregate(Members members, std::string_view field,
                                              const plan::FieldSurvivorshipPolicy* entry) {
    Values values;
    for (const NormalizedEntity* m : members)
        if (const std::string* v = m->field(field)) values.push_back(v);
    if (values.empty()) return std::nullopt;
    return find_aggregate(entry ? entry->aggregate_fn : std::nullopt)(values);
}

// Indexed by plan::SurvivorshipStrategy. A custom strategy has no hook to run, so it
// behaves as the most recent value.
constexpr std::array<Strategy, 5> kStrategies{
    strategy_most_recent,      // MostRecent
    strategy_most_complete,    // MostComplete
    strategy_source_priority,  // SourcePriority
    strategy_aggregate,        // Aggregate
    strategy_most_recent,      // Custom
};

}  // namespace

GoldenRecord SurvivorshipEngine::construct_golden_record(Members members,
                                                         const plan::SurvivorshipPolicy& policy) {
    GoldenRecord record;
    std::vector<std::string_view> fields;
    for (const NormalizedEntity* m : members)
        for (const auto& [name, value] : m->data) fields.push_back(name);
    std::sort(fields.begin(), fields.end());
    fields.erase(std::unique(fields.begin(), fields.end()), fields.end());

    for (std::string_view field : fields) {
        const plan::FieldSurvivorshipPolicy* entry = nullptr;
        plan::SurvivorshipStrategy strategy = policy.default_strategy;
        if (auto it = policy.field_policies.find(field); it != policy.field_policies.end()) {
            entry = &it->second;
            strategy = entry->strategy;
        }
        if (auto value = kStrategies.at(static_cast<std::size_t>(strategy))(members, field, entry))
            record.emplace(std::string(field), std::move(*value));
    }
    return record;
}

GoldenRecord SurvivorshipEngine::construct_golden_record(std::span<const NormalizedEntity> members,
                                                         const plan::SurvivorshipPolicy& policy) {
    const auto pointers = pointers_to(members);
    return construct_golden_record(Members(pointers), policy);
}

std::optional<std::string> SurvivorshipEngine::pick_by_most_recent(Members members,
                                                                   std::string_view field) {
    return copy_of(most_recent(members, field));
}

std::optional<std::string> SurvivorshipEngine::pick_by_most_recent(
    std::span<const NormalizedEntity> members, std::string_view field) {
    const auto pointers = pointers_to(members);
    return copy_of(most_recent(Members(pointers), field));
}

std::string velatro_id(std::span<const Uuid> ids) {
    // Byte order of the ids is the order of their fixed-width lower-case texts.
    std::vector<Uuid> sorted(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    std::string bytes;
    bytes.reserve(sorted.size() * 37);
    for (const Uuid& id : sorted) {
        id.append_to(bytes);
        bytes += '\0';
    }
    return "vlt_" + document::sha256_hex(bytes).substr(0, 12);
}

GoldenRecord golden_record(Members members, const plan::SurvivorshipPolicy& policy) {
    GoldenRecord record = SurvivorshipEngine::construct_golden_record(members, policy);
    std::vector<Uuid> ids;
    ids.reserve(members.size());
    for (const NormalizedEntity* m : members) ids.push_back(m->id);
    record.insert_or_assign("velatro_id", velatro_id(ids));
    record.insert_or_assign("member_count", std::to_string(members.size()));
    return record;
}

GoldenRecord golden_record(std::span<const NormalizedEntity> entities,
                           std::span<const std::size_t> positions,
                           const plan::SurvivorshipPolicy& policy) {
    std::vector<std::size_t> order(positions.begin(), positions.end());
    for (std::size_t p : order)
        if (p >= entities.size()) throw std::logic_error("cluster member position out of range");
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(entities[a].id, a) < std::tie(entities[b].id, b);
    });
    std::vector<const NormalizedEntity*> members;
    members.reserve(order.size());
    for (std::size_t p : order) members.push_back(&entities[p]);
    return golden_record(Members(members), policy);
}

document::Value golden_record_to_value(const GoldenRecord& record) {
    document::Object o;
    for (const auto& [name, value] : record) o.emplace(name, value);
    return o;
}

}  // namespace velatro::engine
