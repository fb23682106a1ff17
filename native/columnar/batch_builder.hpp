#pragma once
// Builds record batches in Arrow's columnar layout and hands them out through the Arrow
// C stream interface. A table is a schema plus batches; each batch is built row by row
// by one thread, so the batches of a large table can be built in parallel and joined
// in order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/arrow_abi.hpp"

namespace velatro::columnar {

enum class ColumnType : std::uint8_t { Utf8, Float64, Int64, Utf8List };

struct ColumnSpec {
    std::string name;
    ColumnType type = ColumnType::Utf8;
    bool nullable = true;
};

using Schema = std::vector<ColumnSpec>;

// The buffers of one column of one batch.
class Column {
  public:
    explicit Column(ColumnType type) : type_(type) { offsets_.push_back(0); }

    void text(std::string_view value);
    void number(double value);
    void integer(std::int64_t value);
    void null();
    // A list value: items go to the child column; end_list closes the row.
    void list_item(std::string_view item);
    void end_list();

    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] ColumnType type() const noexcept { return type_; }

  private:
    friend struct ExportedColumn;
    void mark_valid(bool valid);

    ColumnType type_;
    std::size_t rows_ = 0;
    std::int64_t null_count_ = 0;
    std::vector<std::uint8_t> validity_;      // bit per row, set when valid
    std::vector<std::int32_t> offsets_;       // Utf8 and Utf8List
    std::string bytes_;                       // Utf8 values, Utf8List items
    std::vector<std::int32_t> item_offsets_;  // Utf8List: offsets into bytes_
    std::vector<double> doubles_;
    std::vector<std::int64_t> integers_;
};

class BatchBuilder {
  public:
    explicit BatchBuilder(const Schema& schema);
    Column& operator[](std::size_t c) { return columns_[c]; }
    [[nodiscard]] std::size_t rows() const noexcept {
        return columns_.empty() ? 0 : columns_.front().rows();
    }
    [[nodiscard]] std::size_t width() const noexcept { return columns_.size(); }
    // Moves the built rows into a struct array; every column must have the same rows.
    void finish(ArrowArray* out);

  private:
    std::vector<Column> columns_;
};

// A finished table waiting to be streamed: owns its batches until a consumer takes
// them. Exporting moves everything into the stream.
class Table {
  public:
    explicit Table(Schema schema) : schema_(std::move(schema)) {}
    Table(Table&&) noexcept;
    Table& operator=(Table&&) noexcept;
    ~Table();

    [[nodiscard]] const Schema& schema() const noexcept { return schema_; }
    // Takes ownership of a finished batch (its release callback becomes ours to call).
    void add_batch(ArrowArray* batch);
    [[nodiscard]] std::size_t batch_count() const noexcept { return batches_.size(); }

    // Fills out with a stream that yields the batches in order; the table is empty after.
    void export_stream(ArrowArrayStream* out) &&;

  private:
    Schema schema_;
    std::vector<std::unique_ptr<ArrowArray>> batches_;
};

// Rows per batch of the result tables: small enough that 32-bit string offsets never
// overflow for ordinary values, large enough that per-batch overhead vanishes.
inline constexpr std::size_t kBatchRows = 65536;

}  // namespace velatro::columnar
