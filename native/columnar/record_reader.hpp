#pragma once
// Reads entity records from Arrow record batches (the C stream interface) in the
// canonical record layout:
//   id            text, nullable: a UUID; null derives one from source and key
//   tenant_id     text: a UUID
//   external_id, entity_type, source_name   text
//   last_updated  timestamp (any unit, UTC)
//   valid_from, valid_to   timestamp, nullable (optional columns)
//   every other column     text, nullable: a data field; null means the record lacks it
// Text columns may be utf8 or large_utf8; their buffers are read in place.
#include <string>
#include <vector>

#include "columnar/arrow_abi.hpp"
#include "engine/entity.hpp"

namespace velatro::columnar {

// Consumes the stream (releasing it when done). A fault throws velatro::Error naming
// the column and the row (counted from 0 across batches); nothing is returned partially.
std::vector<engine::NormalizedEntity> read_records(ArrowArrayStream* stream);

}  // namespace velatro::columnar
