#pragma once
// Record ids for tables that carry none: a name-based (version 5) UUID of the source
// name and the record's key, so rerunning on the same data gives the same ids, and so
// the same golden-record ids.
#include <string_view>

#include "engine/uuid.hpp"

namespace velatro::columnar {

// The namespace of record ids; the Python package exposes the same value.
inline constexpr std::string_view kRecordIdNamespace = "93a4ca3b-5dd2-4059-846e-d53e269a0c28";

// uuid5(namespace, source_name + U+001F + external_id): the unit separator cannot be
// confused with text inside either part.
engine::Uuid derived_record_id(std::string_view source_name, std::string_view external_id);

}  // namespace velatro::columnar
