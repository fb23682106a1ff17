#include "tooling/fs_levels.hpp"

#include "document/float_text.hpp"
#include "tooling/lookup.hpp"

namespace velatro::tooling {

const document::Value* scoring_of(const document::Value& tree) {
    return lookup(lookup(tree, "decision"), "scoring");
}

const document::Array* fs_fields_of(const document::Value& tree) {
    return array_of(lookup(scoring_of(tree), "fields"));
}

bool uses_levels(const document::Value& tree) {
    if (lookup(scoring_of(tree), "prior")) return true;
    if (const auto* fields = fs_fields_of(tree))
        for (const Value& field : *fields)
            for (auto key : {"levels", "term_frequency", "term_frequency_min_u"})
                if (lookup(field, key)) return true;
    return false;
}

std::string level_name(const document::Value& level) {
    if (const Value* name = lookup(level, "name"); name && name->is_string())
        return name->as_string();
    const Value* comparator = lookup(level, "comparator");
    if (!comparator || !comparator->is_string()) return "unknown";
    std::string out = comparator->as_string();
    if (out == "exact" || out == "else") return out;
    return out +
           " >= " + document::plain_float(read_number(lookup(level, "threshold")).value_or(1.0));
}

}  // namespace velatro::tooling
