#pragma once
// The shared machinery of the typed reader. A record is described once, as a
// table of its keys in key order (RecordInfo<R>), and one generic routine reads
// every record from that table; values are read by one overload per value kind.
// The record tables themselves live in reader.cpp.
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "document/scalar.hpp"
#include "document/tree.hpp"
#include "spec/enums.hpp"
#include "spec/read_cursor.hpp"

namespace velatro::spec {

enum class Need : std::uint8_t {
    Required,
    // Absent keys keep the record's initial value (its default, or not set).
    Default,
};

template <typename R>
struct FieldDef {
    std::string_view key;
    std::string_view alias;  // a second spelling of the same key, or empty
    Need need;
    void (*read)(R&, const Cursor&);
};

// Specialised per record: `name` (as in "struct EntitySpec") and `fields`.
template <typename R>
struct RecordInfo;

template <typename R>
concept Described = requires {
    RecordInfo<R>::fields;
};

template <typename E>
concept SpecEnum = requires {
    EnumInfo<E>::names;
};

// Values that need more than their type to be read (the untagged and tagged forms)
// provide read_value overloads of their own in reader.cpp.
template <typename T>
void read_value(const Cursor& c, T& out);

// ---- scalars -----------------------------------------------------------------

inline document::Resolved resolved(const document::Node& n) {
    if (n.style == document::ScalarStyle::Quoted) return {};  // kind String
    return document::resolve_plain(n.text);
}

inline void read_text(const Cursor& c, std::string& out) {
    const auto& n = c.node();
    if (!n.is_scalar()) c.invalid_type("a string");
    if (c.mode() == ReadMode::Whole && resolved(n).kind != document::ScalarKind::String)
        c.invalid_type("a string");
    out = n.text;
}

inline void read_bool(const Cursor& c, bool& out) {
    const auto& n = c.node();
    if (!n.is_scalar()) c.invalid_type("a boolean");
    auto r = resolved(n);
    if (r.kind != document::ScalarKind::Bool) c.invalid_type("a boolean");
    out = r.b;
}

inline void read_float(const Cursor& c, double& out) {
    const auto& n = c.node();
    if (!n.is_scalar()) c.invalid_type("f64");
    auto r = resolved(n);
    switch (r.kind) {
        case document::ScalarKind::UInt:
            out = static_cast<double>(r.u);
            return;
        case document::ScalarKind::Int:
            out = static_cast<double>(r.i);
            return;
        case document::ScalarKind::Float:
            out = r.f;
            return;
        default:
            c.invalid_type("f64");
    }
}

template <typename U>
constexpr std::string_view unsigned_name() {
    if constexpr (std::is_same_v<U, std::uint8_t>) return "u8";
    if constexpr (std::is_same_v<U, std::uint16_t>) return "u16";
    if constexpr (std::is_same_v<U, std::uint32_t>) return "u32";
    return "u64";
}

template <typename U>
void read_unsigned(const Cursor& c, U& out) {
    constexpr std::string_view name = unsigned_name<U>();
    const auto& n = c.node();
    if (!n.is_scalar()) c.invalid_type(name);
    auto r = resolved(n);
    if (r.kind == document::ScalarKind::UInt) {
        if (r.u > std::numeric_limits<U>::max())
            c.invalid_value("integer `" + std::to_string(r.u) + "`", name);
        out = static_cast<U>(r.u);
        return;
    }
    if (r.kind == document::ScalarKind::Int)
        c.invalid_value("integer `" + std::to_string(r.i) + "`", name);
    c.invalid_type(name);
}

// Direct reading takes any scalar's text as the name. A value read whole must be a
// string, or a one-entry map naming the variant with an empty value.
template <SpecEnum E>
void read_enum(const Cursor& c, E& out) {
    const auto& info = EnumInfo<E>::names;
    const auto& n = c.node();
    const std::string* name = nullptr;
    if (c.mode() == ReadMode::Direct) {
        if (!n.is_scalar()) c.invalid_type("enum " + std::string(EnumInfo<E>::type_name));
        name = &n.text;
    } else if (n.is_scalar() && resolved(n).kind == document::ScalarKind::String) {
        name = &n.text;
    } else if (n.is_mapping()) {
        if (n.mapping_size() != 1) c.invalid_value("map", "map with a single key");
        const auto& key = n.key(0);
        if (resolved(key).kind != document::ScalarKind::String)
            c.with_node(key).invalid_type("variant identifier");
        if (!is_null(n.value(0))) c.with_node(n.value(0)).invalid_type("unit variant");
        name = &key.text;
    } else {
        c.invalid_type("string or map");
    }
    auto value = from_name<E>(*name);
    if (!value) c.unknown_variant(*name, info.data(), info.size());
    out = *value;
}

// ---- collections ---------------------------------------------------------------

// Direct reading lets an empty value stand for an empty collection.
inline bool is_empty_plain(const Cursor& c) {
    const auto& n = c.node();
    return c.mode() == ReadMode::Direct && n.is_scalar() &&
           n.style == document::ScalarStyle::Plain && n.text.empty();
}

template <typename T>
void read_list(const Cursor& c, std::vector<T>& out) {
    out.clear();
    const auto& n = c.node();
    if (is_empty_plain(c)) return;
    if (!n.is_sequence()) c.invalid_type("a sequence");
    out.reserve(n.items.size());
    for (std::size_t i = 0; i < n.items.size(); ++i) {
        T item{};
        read_value(c.index(i, n.items[i]), item);
        out.push_back(std::move(item));
    }
}

// Map keys are names: a later entry replaces an earlier one with the same name.
template <typename T>
void read_map(const Cursor& c, std::map<std::string, T>& out) {
    out.clear();
    const auto& n = c.node();
    if (is_empty_plain(c)) return;
    if (!n.is_mapping()) c.invalid_type("a map");
    for (std::size_t i = 0; i < n.mapping_size(); ++i) {
        std::string name;
        read_text(c.key(n.key(i).text, n.key(i)), name);
        T item{};
        read_value(c.key(n.key(i).text, n.value(i)), item);
        out.insert_or_assign(std::move(name), std::move(item));
    }
}

// ---- records -------------------------------------------------------------------

template <Described R>
std::string record_length_expectation() {
    std::size_t count = std::size(RecordInfo<R>::fields);
    return std::string(RecordInfo<R>::name) + " with " + std::to_string(count) +
           (count == 1 ? " element" : " elements");
}

template <Described R>
void read_record(const Cursor& c, R& out) {
    const auto& fields = RecordInfo<R>::fields;
    constexpr std::size_t count = std::size(RecordInfo<R>::fields);
    const auto& n = c.node();

    if (n.is_mapping() || is_empty_plain(c)) {
        bool seen[count] = {};
        for (std::size_t i = 0; i < n.mapping_size(); ++i) {
            std::string_view key = n.key(i).text;
            std::size_t f = 0;
            while (f < count && fields[f].key != key &&
                   (fields[f].alias.empty() || fields[f].alias != key))
                ++f;
            if (f == count) continue;  // keys a record does not know are ignored
            if (seen[f]) c.duplicate_field(fields[f].key);
            seen[f] = true;
            fields[f].read(out, c.key(key, n.value(i)));
        }
        for (std::size_t f = 0; f < count; ++f)
            if (!seen[f] && fields[f].need == Need::Required) c.missing_field(fields[f].key);
        return;
    }
    if (n.is_sequence() && c.mode() == ReadMode::Whole) {
        // The record written as its values in key order; trailing keys that have a
        // default may be left out.
        for (std::size_t f = 0; f < count; ++f) {
            if (f < n.items.size())
                fields[f].read(out, c.index(f, n.items[f]));
            else if (fields[f].need == Need::Required)
                c.invalid_length(n.items.size(), record_length_expectation<R>());
        }
        if (n.items.size() > count)
            c.invalid_length(n.items.size(), record_length_expectation<R>());
        return;
    }
    c.invalid_type(RecordInfo<R>::name);
}

// ---- dispatch by type ----------------------------------------------------------

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};
template <typename T>
struct is_vector : std::false_type {};
template <typename T>
struct is_vector<std::vector<T>> : std::true_type {};
template <typename T>
struct is_string_map : std::false_type {};
template <typename T>
struct is_string_map<std::map<std::string, T>> : std::true_type {};

template <typename T>
void read_value(const Cursor& c, T& out) {
    if constexpr (std::is_same_v<T, std::string>) {
        read_text(c, out);
    } else if constexpr (std::is_same_v<T, bool>) {
        read_bool(c, out);
    } else if constexpr (std::is_same_v<T, double>) {
        read_float(c, out);
    } else if constexpr (std::is_unsigned_v<T>) {
        read_unsigned(c, out);
    } else if constexpr (SpecEnum<T>) {
        read_enum(c, out);
    } else if constexpr (std::is_same_v<T, document::Value>) {
        out = document::to_value(c.node());
    } else if constexpr (is_optional<T>::value) {
        // Null (or nothing at all) means not set.
        if (is_null(c.node())) {
            out.reset();
        } else {
            typename T::value_type inner{};
            read_value(c, inner);
            out = std::move(inner);
        }
    } else if constexpr (is_vector<T>::value) {
        read_list(c, out);
    } else if constexpr (is_string_map<T>::value) {
        read_map(c, out);
    } else {
        static_assert(Described<T>, "no reading for this value type");
        read_record(c, out);
    }
}

// ---- table entries -------------------------------------------------------------

template <typename M>
struct member_traits;
template <typename R, typename T>
struct member_traits<T R::*> {
    using record = R;
    using value = T;
};

// A table entry reading the key into a record member with the reading of its type.
template <auto Member>
constexpr FieldDef<typename member_traits<decltype(Member)>::record> field(
    std::string_view key, Need need = Need::Default, std::string_view alias = {}) {
    using R = typename member_traits<decltype(Member)>::record;
    return {key, alias, need, [](R& r, const Cursor& c) { read_value(c, r.*Member); }};
}

}  // namespace velatro::spec
