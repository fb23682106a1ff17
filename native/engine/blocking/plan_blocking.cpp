#include "engine/blocking/plan_blocking.hpp"

#include <utility>

#include "engine/blocking/block_transformation.hpp"
#include "engine/blocking/text_list.hpp"

namespace velatro::engine {
namespace {

// Per-thread working lists, reused from record to record (see TextList).
struct PlanScratch {
    TextList partial;
    TextList next_partial;
    TextList values;
    TextList next_values;
};

PlanScratch& scratch() {
    thread_local PlanScratch s;
    return s;
}

// Working texts kept per thread between records: enough for every ordinary key; more
// only arise from "trigrams" on long values and are released after that record.
constexpr std::size_t kRetainedTexts = 256;

void release_excess(PlanScratch& s) {
    s.partial.reset_retaining(kRetainedTexts);
    s.next_partial.reset_retaining(kRetainedTexts);
    s.values.reset_retaining(kRetainedTexts);
    s.next_values.reset_retaining(kRetainedTexts);
}

// The field's value through the transformations, in order, each result replacing its
// input in place in the list.
void transform(const std::string& value, const plan::BlockingKey& key, PlanScratch& s) {
    s.values.clear();
    s.values.push(value);
    for (const auto transformation : key.transformations) {
        s.next_values.clear();
        for (const std::string& v : s.values)
            apply_transformation(transformation, v, s.next_values);
        std::swap(s.values, s.next_values);
    }
}

// The partial keys of one blocking key, or false when the record lacks one of the
// fields that were reached.
bool partial_keys(const NormalizedEntity& entity, const plan::BlockingKey& key, PlanScratch& s) {
    s.partial.clear();
    s.partial.push();
    for (std::size_t k = 0; k < key.fields.size(); ++k) {
        const std::string* value = entity.field(key.fields[k]);
        if (value == nullptr) return false;
        transform(*value, key, s);

        // Old partial keys outer, values inner; only the first kMaxPartialKeys
        // combinations are ever kept, so the rest are not built.
        const bool capped = s.partial.size() * s.values.size() > PlanBlocking::kMaxPartialKeys;
        s.next_partial.clear();
        for (const std::string& prefix : s.partial) {
            for (const std::string& v : s.values) {
                if (s.next_partial.size() == PlanBlocking::kMaxPartialKeys) break;
                std::string& combined = s.next_partial.push();
                combined.reserve(prefix.size() + 1 + v.size());
                combined += prefix;
                if (k > 0) combined += '|';
                combined += v;
            }
        }
        std::swap(s.partial, s.next_partial);
        // Past the cap the remaining fields are not looked at, not even for presence.
        if (capped) break;
    }
    return true;
}

}  // namespace

void PlanBlocking::append_block_keys(const NormalizedEntity& entity,
                                     std::vector<std::string>& keys) const {
    PlanScratch& s = scratch();
    for (const auto& key : keys_) {
        if (!partial_keys(entity, key, s)) continue;
        keys.insert(keys.end(), s.partial.begin(), s.partial.end());
    }
    release_excess(s);
}

}  // namespace velatro::engine
