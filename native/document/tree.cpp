#include "document/tree.hpp"

#include <cmath>

#include "document/scalar.hpp"

namespace velatro::document {

namespace {

Value scalar_value(const Node& n) {
    if (n.style == ScalarStyle::Quoted) return Value(n.text);
    Resolved r = resolve_plain(n.text);
    switch (r.kind) {
        case ScalarKind::Null: return Value();
        case ScalarKind::Bool: return Value(r.b);
        case ScalarKind::UInt: return Value(r.u);
        case ScalarKind::Int: return Value(r.i);
        case ScalarKind::Float:
            // The tree holds finite numbers only.
            if (!std::isfinite(r.f)) return Value();
            return Value(r.f);
        case ScalarKind::OutOfRange:
            throw ReadError(
                "integer `" + n.text + "` is out of the 64-bit range" + location_suffix(n.mark),
                n.mark);
        case ScalarKind::String: break;
    }
    return Value(n.text);
}

}  // namespace

Value to_value(const Node& n) {
    switch (n.kind) {
        case NodeKind::Scalar: return scalar_value(n);
        case NodeKind::Sequence: {
            Array a;
            a.reserve(n.items.size());
            for (const auto& item : n.items) a.push_back(to_value(item));
            return Value(std::move(a));
        }
        case NodeKind::Mapping: {
            Object o;
            for (std::size_t i = 0; i < n.mapping_size(); ++i)
                o.insert_or_assign(n.key(i).text, to_value(n.value(i)));
            return Value(std::move(o));
        }
    }
    return Value();
}

Value read_tree(std::string_view yaml_text) {
    return to_value(read_yaml(yaml_text));
}

}  // namespace velatro::document
