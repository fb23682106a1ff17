#include "document/value.hpp"

namespace velatro::document {

double Value::number_as_double() const {
    switch (kind()) {
        case Kind::UInt: return static_cast<double>(as_uint());
        case Kind::Int: return static_cast<double>(as_int());
        case Kind::Float: return as_float();
        default: return 0.0;
    }
}

const Value* Value::find(std::string_view key) const {
    if (!is_object()) return nullptr;
    const auto& obj = as_object();
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &it->second;
}

}  // namespace velatro::document
