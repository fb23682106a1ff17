#include "columnar/batch_builder.hpp"

#include <cstring>
#include <limits>

#include "document/error.hpp"

namespace velatro::columnar {
namespace {

constexpr std::size_t kMaxOffset =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

std::int32_t checked_offset(std::size_t end) {
    if (end > kMaxOffset)
        throw velatro::Error("a text column of one result batch would exceed 2 GiB");
    return static_cast<std::int32_t>(end);
}

// The buffers an exported array points into, owned until the consumer releases it.
struct ArrayHolder {
    std::vector<std::uint8_t> validity;
    std::vector<std::int32_t> offsets;
    std::string bytes;
    std::vector<double> doubles;
    std::vector<std::int64_t> integers;
    std::vector<const void*> buffers;
    std::vector<std::unique_ptr<ArrowArray>> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* holder = static_cast<ArrayHolder*>(array->private_data);
    // A consumer may have moved a child out and released it on its own.
    for (auto& child : holder->children)
        if (child->release) child->release(child.get());
    delete holder;
    array->release = nullptr;
}

void fill(ArrowArray* out, ArrayHolder* holder, std::int64_t length, std::int64_t null_count) {
    for (auto& child : holder->children) holder->child_pointers.push_back(child.get());
    *out = ArrowArray{};
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = static_cast<std::int64_t>(holder->buffers.size());
    out->buffers = holder->buffers.data();
    out->n_children = static_cast<std::int64_t>(holder->children.size());
    out->children = holder->child_pointers.empty() ? nullptr : holder->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = holder;
}

const char* format_of(ColumnType type) {
    static constexpr const char* kFormats[] = {"u", "g", "l", "+l"};
    return kFormats[static_cast<std::size_t>(type)];
}

struct SchemaHolder {
    std::string format;
    std::string name;
    std::vector<std::unique_ptr<ArrowSchema>> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
    auto* holder = static_cast<SchemaHolder*>(schema->private_data);
    for (auto& child : holder->children)
        if (child->release) child->release(child.get());
    delete holder;
    schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name, bool nullable,
                 std::vector<std::unique_ptr<ArrowSchema>> children) {
    auto* holder = new SchemaHolder{std::move(format), std::move(name), std::move(children), {}};
    for (auto& child : holder->children) holder->child_pointers.push_back(child.get());
    *out = ArrowSchema{};
    out->format = holder->format.c_str();
    out->name = holder->name.c_str();
    out->metadata = nullptr;
    out->flags = nullable ? ARROW_FLAG_NULLABLE : 0;
    out->n_children = static_cast<std::int64_t>(holder->children.size());
    out->children = holder->child_pointers.empty() ? nullptr : holder->child_pointers.data();
    out->dictionary = nullptr;
    out->release = release_schema;
    out->private_data = holder;
}

std::unique_ptr<ArrowSchema> column_schema(const ColumnSpec& spec) {
    auto out = std::make_unique<ArrowSchema>();
    std::vector<std::unique_ptr<ArrowSchema>> children;
    if (spec.type == ColumnType::Utf8List) {
        children.push_back(std::make_unique<ArrowSchema>());
        fill_schema(children.back().get(), "u", "item", false, {});
    }
    fill_schema(out.get(), format_of(spec.type), spec.name, spec.nullable, std::move(children));
    return out;
}

void export_schema(const Schema& schema, ArrowSchema* out) {
    std::vector<std::unique_ptr<ArrowSchema>> children;
    children.reserve(schema.size());
    for (const ColumnSpec& spec : schema) children.push_back(column_schema(spec));
    fill_schema(out, "+s", "", false, std::move(children));
}

}  // namespace

void Column::mark_valid(bool valid) {
    if (rows_ % 8 == 0) validity_.push_back(0);
    if (valid)
        validity_.back() |= static_cast<std::uint8_t>(1u << (rows_ % 8));
    else
        ++null_count_;
    ++rows_;
}

void Column::text(std::string_view value) {
    bytes_.append(value);
    offsets_.push_back(checked_offset(bytes_.size()));
    mark_valid(true);
}

void Column::number(double value) {
    doubles_.push_back(value);
    mark_valid(true);
}

void Column::integer(std::int64_t value) {
    integers_.push_back(value);
    mark_valid(true);
}

void Column::null() {
    switch (type_) {
        case ColumnType::Utf8: offsets_.push_back(offsets_.back()); break;
        case ColumnType::Float64: doubles_.push_back(0.0); break;
        case ColumnType::Int64: integers_.push_back(0); break;
        case ColumnType::Utf8List: offsets_.push_back(offsets_.back()); break;
    }
    mark_valid(false);
}

void Column::list_item(std::string_view item) {
    if (item_offsets_.empty()) item_offsets_.push_back(0);
    bytes_.append(item);
    item_offsets_.push_back(checked_offset(bytes_.size()));
}

void Column::end_list() {
    const std::size_t items = item_offsets_.empty() ? 0 : item_offsets_.size() - 1;
    offsets_.push_back(checked_offset(items));
    mark_valid(true);
}

// Turns a column into an exported array, moving its buffers into the holder.
struct ExportedColumn {
    static void make(Column& column, ArrowArray* out) {
        auto* holder = new ArrayHolder;
        holder->validity = std::move(column.validity_);
        const void* validity = column.null_count_ ? holder->validity.data() : nullptr;
        switch (column.type_) {
            case ColumnType::Utf8:
                holder->offsets = std::move(column.offsets_);
                holder->bytes = std::move(column.bytes_);
                holder->buffers = {validity, holder->offsets.data(), holder->bytes.data()};
                break;
            case ColumnType::Float64:
                holder->doubles = std::move(column.doubles_);
                holder->buffers = {validity, holder->doubles.data()};
                break;
            case ColumnType::Int64:
                holder->integers = std::move(column.integers_);
                holder->buffers = {validity, holder->integers.data()};
                break;
            case ColumnType::Utf8List: {
                holder->offsets = std::move(column.offsets_);
                holder->buffers = {validity, holder->offsets.data()};
                auto* items = new ArrayHolder;
                items->offsets = std::move(column.item_offsets_);
                if (items->offsets.empty()) items->offsets.push_back(0);
                items->bytes = std::move(column.bytes_);
                items->buffers = {nullptr, items->offsets.data(), items->bytes.data()};
                holder->children.push_back(std::make_unique<ArrowArray>());
                fill(holder->children.back().get(), items,
                     static_cast<std::int64_t>(items->offsets.size() - 1), 0);
                break;
            }
        }
        fill(out, holder, static_cast<std::int64_t>(column.rows_), column.null_count_);
        column = Column(column.type_);
    }
};

BatchBuilder::BatchBuilder(const Schema& schema) {
    columns_.reserve(schema.size());
    for (const ColumnSpec& spec : schema) columns_.emplace_back(spec.type);
}

void BatchBuilder::finish(ArrowArray* out) {
    const std::size_t rows = this->rows();
    for (const Column& c : columns_)
        if (c.rows() != rows) throw velatro::Error("result batch columns differ in length");
    auto* holder = new ArrayHolder;
    holder->buffers = {nullptr};
    for (Column& c : columns_) {
        holder->children.push_back(std::make_unique<ArrowArray>());
        ExportedColumn::make(c, holder->children.back().get());
    }
    fill(out, holder, static_cast<std::int64_t>(rows), 0);
}

Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;

Table::~Table() {
    for (auto& batch : batches_)
        if (batch && batch->release) batch->release(batch.get());
}

void Table::add_batch(ArrowArray* batch) {
    auto owned = std::make_unique<ArrowArray>(*batch);
    batch->release = nullptr;
    batches_.push_back(std::move(owned));
}

namespace {

struct StreamState {
    Schema schema;
    std::vector<std::unique_ptr<ArrowArray>> batches;
    std::size_t next = 0;
    std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    try {
        export_schema(state->schema, out);
        return 0;
    } catch (const std::exception& e) {
        state->last_error = e.what();
        return 12;  // ENOMEM: the only way building a schema fails
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->next == state->batches.size()) {
        *out = ArrowArray{};
        out->release = nullptr;  // end of stream
        return 0;
    }
    ArrowArray* batch = state->batches[state->next++].get();
    *out = *batch;
    batch->release = nullptr;
    return 0;
}

const char* stream_last_error(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    for (auto& batch : state->batches)
        if (batch->release) batch->release(batch.get());
    delete state;
    stream->release = nullptr;
}

}  // namespace

void Table::export_stream(ArrowArrayStream* out) && {
    auto* state = new StreamState{std::move(schema_), std::move(batches_), 0, {}};
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_last_error;
    out->release = stream_release;
    out->private_data = state;
}

}  // namespace velatro::columnar
