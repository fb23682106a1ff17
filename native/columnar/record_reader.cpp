#include "columnar/record_reader.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "columnar/record_id.hpp"
#include "document/error.hpp"

namespace velatro::columnar {
namespace {

using engine::NormalizedEntity;
using engine::UtcDateTime;
using engine::Uuid;

[[noreturn]] void fail(std::string message) {
    throw velatro::Error(std::move(message));
}

std::string at_row(std::string_view column, std::size_t row) {
    return "column '" + std::string(column) + "', row " + std::to_string(row);
}

bool bit(const void* bitmap, std::int64_t i) {
    return !bitmap || (static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

// A text column of one batch, read in place.
struct TextView {
    const void* validity = nullptr;
    const std::int32_t* offsets32 = nullptr;
    const std::int64_t* offsets64 = nullptr;
    const char* data = nullptr;
    std::int64_t offset = 0;

    [[nodiscard]] bool valid(std::int64_t row) const { return bit(validity, offset + row); }
    [[nodiscard]] std::string_view at(std::int64_t row) const {
        const std::int64_t i = offset + row;
        const std::int64_t begin = offsets32 ? offsets32[i] : offsets64[i];
        const std::int64_t end = offsets32 ? offsets32[i + 1] : offsets64[i + 1];
        return {data + begin, static_cast<std::size_t>(end - begin)};
    }
};

// A timestamp column of one batch: counts of a unit since the epoch, in UTC.
struct TimeView {
    const void* validity = nullptr;
    const std::int64_t* values = nullptr;
    std::int64_t offset = 0;
    std::int64_t per_second = 1;  // units per second

    [[nodiscard]] bool valid(std::int64_t row) const { return bit(validity, offset + row); }
    [[nodiscard]] UtcDateTime at(std::int64_t row) const {
        const std::int64_t v = values[offset + row];
        std::int64_t seconds = v / per_second;
        std::int64_t rest = v % per_second;
        if (rest < 0) {
            rest += per_second;
            --seconds;
        }
        UtcDateTime t;
        t.seconds = seconds;
        t.nanos = static_cast<std::uint32_t>(rest * (1000000000 / per_second));
        return t;
    }
};

enum class Role : std::uint8_t {
    Id,
    Tenant,
    ExternalId,
    EntityType,
    Source,
    LastUpdated,
    ValidFrom,
    ValidTo,
    Data
};

struct RoleName {
    std::string_view name;
    Role role;
    bool required;
};

constexpr std::array<RoleName, 8> kRoles{{
    {"id", Role::Id, false},
    {"tenant_id", Role::Tenant, true},
    {"external_id", Role::ExternalId, true},
    {"entity_type", Role::EntityType, true},
    {"source_name", Role::Source, true},
    {"last_updated", Role::LastUpdated, true},
    {"valid_from", Role::ValidFrom, false},
    {"valid_to", Role::ValidTo, false},
}};

bool is_time_role(Role r) {
    return r == Role::LastUpdated || r == Role::ValidFrom || r == Role::ValidTo;
}

struct ColumnPlan {
    std::string name;
    Role role = Role::Data;
    bool large = false;           // text: 64-bit offsets
    std::int64_t per_second = 1;  // timestamps
};

// Units per second of a timestamp format ("tss:", "tsm:", "tsu:", "tsn:" + zone).
std::optional<std::int64_t> timestamp_unit(std::string_view format) {
    if (format.size() < 4 || format.substr(0, 2) != "ts" || format[3] != ':') return std::nullopt;
    static constexpr std::array<std::pair<char, std::int64_t>, 4> kUnits{
        {{'s', 1}, {'m', 1000}, {'u', 1000000}, {'n', 1000000000}}};
    for (auto [c, n] : kUnits)
        if (format[2] == c) return n;
    return std::nullopt;
}

std::vector<ColumnPlan> plan_columns(const ArrowSchema& schema) {
    if (std::string_view(schema.format) != "+s")
        fail("record table: expected a stream of record batches (struct), got format '" +
             std::string(schema.format) + "'");
    std::vector<ColumnPlan> plan;
    std::array<bool, kRoles.size()> seen{};
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowSchema& child = *schema.children[c];
        ColumnPlan col;
        col.name = child.name ? child.name : "";
        const std::string_view format = child.format;
        for (std::size_t r = 0; r < kRoles.size(); ++r)
            if (kRoles[r].name == col.name) {
                col.role = kRoles[r].role;
                if (seen[r]) fail("record table: column '" + col.name + "' appears twice");
                seen[r] = true;
            }
        if (is_time_role(col.role)) {
            auto unit = timestamp_unit(format);
            if (!unit)
                fail("record table: column '" + col.name + "' must be a timestamp, got format '" +
                     std::string(format) + "'");
            col.per_second = *unit;
        } else if (format == "u" || format == "U") {
            col.large = format == "U";
        } else {
            fail("record table: column '" + col.name + "' must be text (utf8), got format '" +
                 std::string(format) + "'");
        }
        plan.push_back(std::move(col));
    }
    for (std::size_t r = 0; r < kRoles.size(); ++r)
        if (kRoles[r].required && !seen[r])
            fail("record table: required column '" + std::string(kRoles[r].name) + "' is missing");
    // Data columns in key order, so each record's field map is built already sorted.
    return plan;
}

struct BatchColumns {
    std::vector<TextView> text;  // by column; unused for timestamps
    std::vector<TimeView> time;
};

BatchColumns view_batch(const ArrowArray& batch, const std::vector<ColumnPlan>& plan) {
    if (batch.n_children != static_cast<std::int64_t>(plan.size()))
        fail("record table: a batch has " + std::to_string(batch.n_children) +
             " columns, the schema " + std::to_string(plan.size()));
    BatchColumns out;
    out.text.resize(plan.size());
    out.time.resize(plan.size());
    for (std::size_t c = 0; c < plan.size(); ++c) {
        const ArrowArray& a = *batch.children[c];
        if (a.length < batch.offset + batch.length)
            fail("record table: column '" + plan[c].name + "' is shorter than its batch");
        const std::int64_t offset = a.offset + batch.offset;
        if (is_time_role(plan[c].role)) {
            out.time[c] = {a.buffers[0], static_cast<const std::int64_t*>(a.buffers[1]), offset,
                           plan[c].per_second};
        } else {
            TextView& v = out.text[c];
            v.validity = a.null_count == 0 ? nullptr : a.buffers[0];
            if (plan[c].large)
                v.offsets64 = static_cast<const std::int64_t*>(a.buffers[1]);
            else
                v.offsets32 = static_cast<const std::int32_t*>(a.buffers[1]);
            v.data = static_cast<const char*>(a.buffers[2]);
            v.offset = offset;
        }
        if (a.null_count == 0) out.time[c].validity = nullptr;
    }
    return out;
}

Uuid parse_uuid(std::string_view text, std::string_view column, std::size_t row) {
    std::string reason;
    auto id = Uuid::parse(text, &reason);
    if (!id) fail(at_row(column, row) + ": invalid UUID `" + std::string(text) + "`: " + reason);
    return *id;
}

std::string_view required_text(const TextView& v, std::int64_t i, std::string_view column,
                               std::size_t row) {
    if (!v.valid(i)) fail(at_row(column, row) + ": a value is required");
    return v.at(i);
}

NormalizedEntity read_row(const BatchColumns& cols, const std::vector<ColumnPlan>& plan,
                          std::int64_t i, std::size_t row) {
    NormalizedEntity e;
    std::optional<std::string_view> id_text;
    std::vector<engine::FieldMap::Entry> data;
    for (std::size_t c = 0; c < plan.size(); ++c) {
        const ColumnPlan& col = plan[c];
        const TextView& t = cols.text[c];
        const TimeView& tm = cols.time[c];
        switch (col.role) {
            case Role::Id:
                if (t.valid(i)) id_text = t.at(i);
                break;
            case Role::Tenant:
                e.tenant_id = parse_uuid(required_text(t, i, col.name, row), col.name, row);
                break;
            case Role::ExternalId: e.external_id = required_text(t, i, col.name, row); break;
            case Role::EntityType: e.entity_type = required_text(t, i, col.name, row); break;
            case Role::Source: e.source_name = required_text(t, i, col.name, row); break;
            case Role::LastUpdated:
                if (!tm.valid(i)) fail(at_row(col.name, row) + ": a value is required");
                e.last_updated = tm.at(i);
                break;
            case Role::ValidFrom:
                if (tm.valid(i)) e.valid_from = tm.at(i);
                break;
            case Role::ValidTo:
                if (tm.valid(i)) e.valid_to = tm.at(i);
                break;
            case Role::Data:
                if (t.valid(i)) data.emplace_back(col.name, std::string(t.at(i)));
                break;
        }
    }
    e.id =
        id_text ? parse_uuid(*id_text, "id", row) : derived_record_id(e.source_name, e.external_id);
    e.data = engine::FieldMap(std::move(data));
    return e;
}

// The first failure by row, so the message does not depend on thread scheduling.
class FirstFailure {
  public:
    void offer(std::size_t row, std::string message) {
        std::lock_guard lock(mutex_);
        if (!row_ || row < *row_) {
            row_ = row;
            message_ = std::move(message);
        }
    }
    void raise_if_any() const {
        if (row_) fail(message_);
    }

  private:
    std::mutex mutex_;
    std::optional<std::size_t> row_;
    std::string message_;
};

void read_batch(const ArrowArray& batch, const std::vector<ColumnPlan>& plan, std::size_t first_row,
                std::vector<NormalizedEntity>& out) {
    const BatchColumns cols = view_batch(batch, plan);
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(batch.length));
    FirstFailure failure;
    tbb::parallel_for(tbb::blocked_range<std::int64_t>(0, batch.length, 1024), [&](const auto& r) {
        for (std::int64_t i = r.begin(); i < r.end(); ++i) {
            const std::size_t row = first_row + static_cast<std::size_t>(i);
            try {
                out[base + static_cast<std::size_t>(i)] = read_row(cols, plan, i, row);
            } catch (const velatro::Error& e) {
                failure.offer(row, e.what());
                return;
            }
        }
    });
    failure.raise_if_any();
}

}  // namespace

std::vector<NormalizedEntity> read_records(ArrowArrayStream* raw) {
    // Take the stream over so it is released however reading ends.
    Released<ArrowArrayStream> stream;
    *stream.get() = *raw;
    raw->release = nullptr;
    auto stream_error = [&](const char* what) {
        const char* detail =
            stream->get_last_error ? stream.get()->get_last_error(stream.get()) : nullptr;
        fail(std::string("record table: ") + what + (detail ? std::string(": ") + detail : ""));
    };

    Released<ArrowSchema> schema;
    if (stream.get()->get_schema(stream.get(), schema.get()) != 0)
        stream_error("reading the schema failed");
    const std::vector<ColumnPlan> plan = plan_columns(*schema.get());

    std::vector<NormalizedEntity> records;
    for (;;) {
        Released<ArrowArray> batch;
        if (stream.get()->get_next(stream.get(), batch.get()) != 0)
            stream_error("reading a batch failed");
        if (!batch.live()) break;
        read_batch(*batch.get(), plan, records.size(), records);
    }
    return records;
}

}  // namespace velatro::columnar
